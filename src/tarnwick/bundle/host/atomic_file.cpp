#include "tarnwick/bundle/host/atomic_file.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/fs/env.hpp"

namespace tarnwick::bundle::host {
namespace {

using fs::throw_errno;

void sync_parent_directory(const std::string& path) {
    if (const int err = fs::sync_parent_dir(path)) throw_errno(err, "syncing the folder of", path);
}

}  // namespace

std::string temporary_path_for(const std::string& path) { return path + ".tmp"; }

void write_file_atomically(const std::string& path, std::string_view bytes) {
    const std::string temporary = temporary_path_for(path);
    try {
        fs::Descriptor fd = fs::Descriptor::open_or_throw(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (const int err = fs::write_all(fd.get(), bytes.data(), bytes.size(), 0))
            throw_errno(err, "writing", temporary);
        if (const int err = fs::env().sync(fd.get(), fs::Sync::All)) throw_errno(err, "syncing", temporary);
        if (const int err = fd.close()) throw_errno(err, "closing", temporary);
        if (const int err = fs::env().rename(temporary, path, /*replace=*/true))
            throw_errno(err, "renaming into", path);
    } catch (...) {
        discard_temporary_file(temporary);
        throw;
    }
    sync_parent_directory(path);
}

void commit_temporary_file(const std::string& temporary, const std::string& path) {
    {
        fs::Descriptor fd = fs::Descriptor::open_or_throw(temporary, O_RDONLY);
        if (const int err = fs::env().sync(fd.get(), fs::Sync::All)) throw_errno(err, "syncing", temporary);
    }
    if (const int err = fs::env().rename(temporary, path, /*replace=*/true)) throw_errno(err, "renaming into", path);
    sync_parent_directory(path);
}

void discard_temporary_file(const std::string& temporary) noexcept { fs::env().unlink(temporary); }

std::string read_whole_file(const std::string& path, std::size_t max_bytes) {
    // Non-blocking, so that a FIFO or a terminal put where a file belongs is refused below
    // instead of hanging open(); a regular file reads the same either way.
    const fs::Descriptor fd = fs::Descriptor::open_or_throw(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw_errno(errno, "reading", path);
    if (!S_ISREG(st.st_mode)) throw ValueError(fmt::format("\"{}\" is not a regular file", path));
    if (static_cast<std::uint64_t>(st.st_size) > max_bytes)
        throw ValueError(
            fmt::format("\"{}\" is too large to read ({} bytes, at most {})", path, st.st_size, max_bytes));
    std::string out;
    out.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        std::size_t n = 0;
        if (const int err = fs::read_full(fd.get(), buffer, sizeof buffer, out.size(), n))
            throw_errno(err, "reading", path);
        if (n == 0) break;
        if (out.size() + n > max_bytes)
            throw ValueError(fmt::format("\"{}\" grew past {} bytes while being read", path, max_bytes));
        out.append(buffer, n);
    }
    return out;
}

}  // namespace tarnwick::bundle::host
