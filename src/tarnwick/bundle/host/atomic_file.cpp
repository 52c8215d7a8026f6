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
#include "tarnwick/bundle/host/file_descriptor.hpp"

namespace tarnwick::bundle::host {
namespace {

[[noreturn]] void throw_errno(int err, const std::string& action, const std::string& path) {
    throw OsError::from_errno(err, fmt::format("{} \"{}\" failed: {}", action, path, std::strerror(err)));
}

void sync_fd(int fd, const std::string& path) {
    if (::fsync(fd) != 0) throw_errno(errno, "syncing", path);
}

void sync_parent_directory(const std::string& path) {
    // Built in one go: assigning "." afterwards trips GCC 12's false -Wrestrict (its bug 105329).
    const std::string parent = std::filesystem::path(path).parent_path().string();
    const std::string dir = parent.empty() ? std::string(".") : parent;
    FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems cannot sync directories; the rename has happened either way.
    if (fd.get() >= 0) (void)::fsync(fd.get());
}

}  // namespace

std::string temporary_path_for(const std::string& path) { return path + ".tmp"; }

void write_file_atomically(const std::string& path, std::string_view bytes) {
    const std::string temporary = temporary_path_for(path);
    try {
        FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0) throw_errno(errno, "creating", temporary);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw_errno(errno, "writing", temporary);
            }
            done += static_cast<std::size_t>(n);
        }
        sync_fd(fd.get(), temporary);
        if (const int err = fd.close()) throw_errno(err, "closing", temporary);
        if (::rename(temporary.c_str(), path.c_str()) != 0) throw_errno(errno, "renaming into", path);
    } catch (...) {
        discard_temporary_file(temporary);
        throw;
    }
    sync_parent_directory(path);
}

void commit_temporary_file(const std::string& temporary, const std::string& path) {
    {
        FileDescriptor fd(::open(temporary.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) throw_errno(errno, "opening", temporary);
        sync_fd(fd.get(), temporary);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) throw_errno(errno, "renaming into", path);
    sync_parent_directory(path);
}

void discard_temporary_file(const std::string& temporary) noexcept { (void)::unlink(temporary.c_str()); }

std::string read_whole_file(const std::string& path, std::size_t max_bytes) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw_errno(errno, "opening", path);
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
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw_errno(errno, "reading", path);
        }
        if (n == 0) break;
        if (out.size() + static_cast<std::size_t>(n) > max_bytes)
            throw ValueError(fmt::format("\"{}\" grew past {} bytes while being read", path, max_bytes));
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace tarnwick::bundle::host
