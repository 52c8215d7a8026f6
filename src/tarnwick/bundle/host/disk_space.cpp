#include "tarnwick/bundle/host/disk_space.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/statvfs.h>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::host {
namespace {

constexpr std::uint64_t KIB = 1024;
constexpr std::uint64_t MIB = 1024 * KIB;
constexpr std::uint64_t BLOCK = 4 * KIB;

std::string in_mib(std::uint64_t bytes) { return fmt::format("{:.1f} MiB", static_cast<double>(bytes) / MIB); }

}  // namespace

DiskSpace disk_space(const std::string& path) {
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) {
        const int err = errno;
        throw OsError::from_errno(err, fmt::format("cannot tell the free space at {}: {}", path, std::strerror(err)));
    }
    const std::uint64_t unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
    return {static_cast<std::uint64_t>(info.f_bavail) * unit, static_cast<std::uint64_t>(info.f_blocks) * unit};
}

std::uint64_t reserve_for(std::uint64_t total) { return std::clamp<std::uint64_t>(total / 100, 256 * KIB, 64 * MIB); }

std::uint64_t blocks_for(std::uint64_t size) { return (size + BLOCK - 1) / BLOCK * BLOCK + BLOCK; }

void require_free_space(const std::string& path, std::uint64_t bytes, const std::string& what) {
    const DiskSpace space = disk_space(path);
    const std::uint64_t reserve = reserve_for(space.total);
    if (space.available >= reserve && space.available - reserve >= bytes) return;
    throw OsError::from_errno(
        ENOSPC, fmt::format("{} needs {} at {} but only {} are free there ({} are kept free): {}", what, in_mib(bytes),
                            path, in_mib(space.available), in_mib(reserve), std::strerror(ENOSPC)));
}

}  // namespace tarnwick::bundle::host
