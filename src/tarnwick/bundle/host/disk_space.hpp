#pragma once
// Free space of a file system, and the check that a write of known size will fit before it
// starts. The sample installation and the store updates use it so that a full disk, or an
// archive that unpacks to far more than it weighs, is refused with a clear message instead of
// failing half-way (where a store update would at best be rolled back).
//
// The figure is what an unprivileged process may use (statvfs f_bavail), so blocks reserved for
// root are never counted on. A reserve is kept free on top of the request: a file system filled
// to the last block makes every other program on it fail as well.
#include <cstdint>
#include <string>

namespace tarnwick::bundle::host {

struct DiskSpace {
    std::uint64_t available = 0;  // bytes an unprivileged process may still write
    std::uint64_t total = 0;      // size of the file system in bytes
};

// The file system holding `path` (which must exist). Throws OsError naming `path`.
DiskSpace disk_space(const std::string& path);

// What is kept free on a file system of `total` bytes: 1 % of it, at least 256 KiB and at most
// 64 MiB.
std::uint64_t reserve_for(std::uint64_t total);

// Bytes that `size` bytes of file data take on disk, counting whole 4 KiB blocks and one more
// for the file's own metadata.
std::uint64_t blocks_for(std::uint64_t size);

// Throws OsError (ENOSPC) naming `what`, `path` and both figures unless `bytes` plus the reserve
// fit into the free space of the file system holding `path`.
void require_free_space(const std::string& path, std::uint64_t bytes, const std::string& what);

}  // namespace tarnwick::bundle::host
