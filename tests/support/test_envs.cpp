#include "support/test_envs.hpp"

#include <cerrno>

namespace tarnwick::bundle::test {
namespace {
fs::Env& real() { return fs::posix_env(); }
}  // namespace

// ---- FaultEnv -------------------------------------------------------------------------------

int FaultEnv::strike(Op op, const std::string& path) {
    if (op != fault_.op || path.find(fault_.path_part) == std::string::npos) return 0;
    const int index = seen_++;
    if (index == fault_.nth || (fault_.sticky && index > fault_.nth)) {
        fired_ = true;
        return fault_.short_write ? -1 : fault_.err;
    }
    return 0;
}

int FaultEnv::open(const std::string& path, int flags, mode_t mode, int& fd) noexcept {
    if (const int err = strike(Op::Open, path); err > 0) return err;
    const int err = real().open(path, flags, mode, fd);
    if (!err) paths_[fd] = path;
    return err;
}
int FaultEnv::close(int fd) noexcept {
    const std::string path = paths_[fd];
    paths_.erase(fd);
    if (const int err = strike(Op::Close, path); err > 0) {
        real().close(fd);  // a failed close still releases the descriptor
        return err;
    }
    return real().close(fd);
}
int FaultEnv::pread(int fd, void* data, std::size_t size, std::uint64_t offset, std::size_t& done) noexcept {
    if (const int err = strike(Op::Read, paths_[fd]); err > 0) return err;
    return real().pread(fd, data, size, offset, done);
}
int FaultEnv::pwrite(int fd, const void* data, std::size_t size, std::uint64_t offset, std::size_t& done) noexcept {
    const int err = strike(Op::Write, paths_[fd]);
    if (err > 0) return err;
    // A short write: half of it (at least one byte) goes in.
    if (err < 0) return real().pwrite(fd, data, size > 1 ? size / 2 : size, offset, done);
    return real().pwrite(fd, data, size, offset, done);
}
int FaultEnv::truncate(int fd, std::uint64_t size) noexcept {
    if (const int err = strike(Op::Truncate, paths_[fd]); err > 0) return err;
    return real().truncate(fd, size);
}
int FaultEnv::sync(int fd, fs::Sync what) noexcept {
    if (const int err = strike(Op::Sync, paths_[fd]); err > 0) return err;
    return real().sync(fd, what);
}
int FaultEnv::sync_dir(const std::string& dir) noexcept {
    if (const int err = strike(Op::SyncDir, dir); err > 0) return err;
    return real().sync_dir(dir);
}
int FaultEnv::sync_fs(int fd) noexcept {
    if (const int err = strike(Op::SyncFs, paths_[fd]); err > 0) return err;
    return real().sync_fs(fd);
}
int FaultEnv::rename(const std::string& from, const std::string& to, bool replace) noexcept {
    if (const int err = strike(Op::Rename, from + "\n" + to); err > 0) return err;
    return real().rename(from, to, replace);
}
int FaultEnv::unlink(const std::string& path) noexcept {
    if (const int err = strike(Op::Unlink, path); err > 0) return err;
    return real().unlink(path);
}
int FaultEnv::lock(int fd, fs::Lock how) noexcept {
    if (const int err = strike(Op::Lock, paths_[fd]); err > 0) return err;
    return real().lock(fd, how);
}

// ---- RecordingEnv ---------------------------------------------------------------------------

int RecordingEnv::open(const std::string& path, int flags, mode_t mode, int& fd) noexcept {
    const int err = real().open(path, flags, mode, fd);
    if (!err) log_.push_back({.op = Op::Open, .path = path, .fd = fd, .flags = flags});
    return err;
}
int RecordingEnv::close(int fd) noexcept {
    log_.push_back({.op = Op::Close, .fd = fd});
    return real().close(fd);
}
int RecordingEnv::pread(int fd, void* data, std::size_t size, std::uint64_t offset, std::size_t& done) noexcept {
    return real().pread(fd, data, size, offset, done);
}
int RecordingEnv::pwrite(int fd, const void* data, std::size_t size, std::uint64_t offset, std::size_t& done) noexcept {
    const int err = real().pwrite(fd, data, size, offset, done);
    if (!err && done > 0)
        log_.push_back(
            {.op = Op::Write, .fd = fd, .offset = offset, .data = std::string(static_cast<const char*>(data), done)});
    return err;
}
int RecordingEnv::truncate(int fd, std::uint64_t size) noexcept {
    const int err = real().truncate(fd, size);
    if (!err) log_.push_back({.op = Op::Truncate, .fd = fd, .size = size});
    return err;
}
int RecordingEnv::sync(int fd, fs::Sync what) noexcept {
    const int err = real().sync(fd, what);
    if (!err) log_.push_back({.op = Op::Sync, .fd = fd});
    return err;
}
int RecordingEnv::sync_dir(const std::string& dir) noexcept {
    const int err = real().sync_dir(dir);
    if (!err) log_.push_back({.op = Op::SyncDir, .path = dir});
    return err;
}
int RecordingEnv::sync_fs(int fd) noexcept {
    const int err = real().sync_fs(fd);
    if (!err) log_.push_back({.op = Op::SyncFs, .fd = fd});
    return err;
}
int RecordingEnv::rename(const std::string& from, const std::string& to, bool replace) noexcept {
    const int err = real().rename(from, to, replace);
    if (!err) log_.push_back({.op = Op::Rename, .path = from, .to = to, .replace = replace});
    return err;
}
int RecordingEnv::unlink(const std::string& path) noexcept {
    const int err = real().unlink(path);
    if (!err) log_.push_back({.op = Op::Unlink, .path = path});
    return err;
}
int RecordingEnv::lock(int fd, fs::Lock how) noexcept { return real().lock(fd, how); }

}  // namespace tarnwick::bundle::test
