#pragma once
// Whole-file replacement for the host's base files ("trading_dates.npy", "instruments.pk",
// "suspended_days.h5"): a reader, or a run that is killed half-way, sees either the old file or
// the complete new one, never a part.
//
// The new content is written under temporary_path_for(path), synced to disk, and renamed over
// `path`; the directory is synced afterwards so that the rename itself survives a crash. The
// temporary name is fixed (not per process), so a crashed run leaves at most one stale temporary
// file per target, which the next run overwrites. No temporary name ends in ".h5".
//
// Errors: OsError naming the file (would-block / permission denied / other from errno).
#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwick::bundle::host {

// "<path>.tmp".
std::string temporary_path_for(const std::string& path);

// Writes `bytes` to the temporary file and renames it over `path`.
void write_file_atomically(const std::string& path, std::string_view bytes);

// For files built by another writer (the HDF5 library): syncs `temporary` to disk and renames it
// over `path`. REQUIRES: `temporary` is complete and closed.
void commit_temporary_file(const std::string& temporary, const std::string& path);

// Removes a temporary file left by a failed write; never throws.
void discard_temporary_file(const std::string& temporary) noexcept;

// Reads a whole file. Files larger than `max_bytes` are refused with a ValueError that names the
// file (the readers of the host's files must not allocate without bound).
std::string read_whole_file(const std::string& path, std::size_t max_bytes);

}  // namespace tarnwick::bundle::host
