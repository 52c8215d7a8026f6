#pragma once
// The sample bundle's archive: a bzip2-compressed tar whose member paths are relative to the
// bundle folder. Unpacking and packing go through libarchive.
//
// Unpacking never writes outside the destination folder. A member is refused (ValueError naming
// the archive and the member) before anything of it is written when
//   - its path is absolute or has a ".." component;
//   - it is a symbolic link whose target is absolute or has a ".." component: a relative target
//     without ".." stays below the link's own folder, however the archive's links chain;
//   - it is a hard link whose target is not a member path of that same kind;
//   - it is neither a file, a folder nor a link (a device, a FIFO).
// libarchive in addition refuses to write through a symbolic link that is already on disk; a
// link already at a member's own path is replaced, not followed. A refused member ends the
// unpacking: members before it stay unpacked.
//
// Neither function holds an archive or a member in memory: both stream in blocks.
#include <cstddef>
#include <string>

namespace tarnwick::bundle::commands {

// Unpacks the bzip2-compressed tar at `archive_path` into the folder `dest_dir`, which must
// exist. Members overwrite files of the same path; modification times are restored, modes are
// those of the archive less the umask. Returns the number of members unpacked (a "./" entry for
// the folder itself is not counted).
// Throws OsError when the archive cannot be read from disk or a member cannot be written, and
// ValueError when the file is not a bzip2-compressed tar, is damaged, or holds a refused member.
std::size_t extract_archive(const std::string& archive_path, const std::string& dest_dir);

// Packs every file, folder and symbolic link below the folder `bundle_dir` (links are stored as
// links, not followed) into a bzip2-compressed tar at `out_path`, member paths relative to
// `bundle_dir`, in sorted order so that folders precede their contents. `out_path` is left out
// when it lies inside `bundle_dir`. The archive is written under `out_path` + ".tmp" and renamed
// into place, so `out_path` is never a half-written archive.
// Throws OsError for file-system failures, ValueError for `bundle_dir` not being a folder, a
// file of another kind below it, or a file that changes size while it is packed.
void make_archive(const std::string& bundle_dir, const std::string& out_path);

}  // namespace tarnwick::bundle::commands
