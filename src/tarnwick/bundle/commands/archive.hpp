#pragma once
// The sample bundle's archive: a bzip2-compressed tar whose member paths are relative to the
// bundle folder. Unpacking and packing go through libarchive.
//
// Unpacking never writes outside the destination folder. A member is refused (ValueError naming
// the archive and the member) when
//   - its path is absolute or has a ".." component;
//   - it is a symbolic link whose target is absolute or has a ".." component: a relative target
//     without ".." stays below the link's own folder, however the archive's links chain;
//   - it is a hard link whose target is not a member path of that same kind;
//   - it is neither a file, a folder nor a link (a device, a FIFO);
//   - it lies in the staging folder's name (below), or is the install record.
// libarchive in addition refuses to write through a symbolic link that the archive itself made.
//
// Unpacking is all or nothing. The members are first unpacked into the staging folder
// STAGING_FOLDER_NAME inside the destination (created afresh, removed on every way out), and
// moved into place (commands/install_tree.hpp) only when the whole archive has been read and
// written: a refused member, a damaged or truncated archive, a write error or a full disk leave
// the destination as it was. Unpacking holds the destination's install lock, and first settles
// what a killed install left there (layout/install_record.hpp). Before a member's data is written, its size from the
// header (which also bounds the data) must fit into the free space with a reserve (host/disk_space.hpp), so an archive
// that unpacks to far more than the disk holds is refused early. Folders of the destination, symbolic links to folders
// included, are used as they are; a link at a file's own path is replaced, not followed.
//
// Neither function holds an archive or a member in memory: both stream in blocks.
#include <cstddef>
#include <string>

#include "tarnwick/bundle/layout/install_record.hpp"

namespace tarnwick::bundle::commands {

using layout::STAGING_FOLDER_NAME;

// Unpacks the bzip2-compressed tar at `archive_path` into the folder `dest_dir`, which must
// exist. Members replace files of the same path (by rename); modification times are restored,
// modes are those of the archive less the umask. Returns the number of members unpacked (a "./"
// entry for the folder itself is not counted). Members below the records folder ".tarnwick" are
// passed over: the destination's own record of its selection stays as it is.
// Throws OsError when the archive cannot be read from disk, a member cannot be written or does
// not fit (the text carries the system's reason, "No space left on device"), and ValueError when
// the file is not a bzip2-compressed tar, is damaged or truncated, or holds a refused member.
// Either way `dest_dir` is left as it was.
std::size_t extract_archive(const std::string& archive_path, const std::string& dest_dir);

// Packs every file, folder and symbolic link below the folder `bundle_dir` (links are stored as
// links, not followed) into a bzip2-compressed tar at `out_path`, member paths relative to
// `bundle_dir`, in sorted order so that folders precede their contents. `out_path` is left out
// when it lies inside `bundle_dir`, and so are a staging folder of an install and the records folder
// ".tarnwick" (what that bundle was asked to hold is not the sample's). The archive is written under `out_path` +
// ".tmp" and renamed into place, so `out_path` is never a half-written archive. Throws OsError for file-system
// failures, ValueError for `bundle_dir` not being a folder, a file of another kind below it, or a file that changes
// size while it is packed.
void make_archive(const std::string& bundle_dir, const std::string& out_path);

}  // namespace tarnwick::bundle::commands
