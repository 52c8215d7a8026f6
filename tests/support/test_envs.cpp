#include "support/test_envs.hpp"

#include <unistd.h>

#include <cerrno>

namespace tarnwick::bundle::test {
namespace {
fs::Env& real() { return fs::posix_env(); }
}  // namespace

// ---- ForwardingEnv --------------------------------------------------------------------------

std::string ForwardingEnv::path_of(int fd) const {
    const auto it = paths_.find(fd);
    return it == paths_.end() ? std::string() : it->second;
}

int ForwardingEnv::open(const std::string& path, int flags, mode_t mode, int& fd) noexcept {
    Recorded op{.op = Op::Open, .path = path, .flags = flags};
    if (const int err = before(op); err > 0) return err;
    const int err = real().open(path, flags, mode, fd);
    if (err) return err;
    paths_[fd] = path;
    op.fd = fd;
    after(std::move(op));
    return 0;
}
int ForwardingEnv::close(int fd) noexcept {
    Recorded op{.op = Op::Close, .path = path_of(fd), .fd = fd};
    paths_.erase(fd);
    const int failed = before(op);
    const int err = real().close(fd);  // a failed close still releases the descriptor
    after(std::move(op));
    return failed > 0 ? failed : err;
}
int ForwardingEnv::pread(int fd, void* data, std::size_t size, std::uint64_t offset, std::size_t& done) noexcept {
    if (const int err = before({.op = Op::Read, .path = path_of(fd), .fd = fd}); err > 0) return err;
    return real().pread(fd, data, size, offset, done);
}
int ForwardingEnv::pwrite(int fd, const void* data, std::size_t size, std::uint64_t offset,
                          std::size_t& done) noexcept {
    const int fault = before({.op = Op::Write, .path = path_of(fd), .fd = fd, .offset = offset});
    if (fault > 0) return fault;
    const int err = real().pwrite(fd, data, fault < 0 && size > 1 ? size / 2 : size, offset, done);
    if (!err && done > 0)
        after({.op = Op::Write,
               .path = path_of(fd),
               .fd = fd,
               .offset = offset,
               .data = std::string(static_cast<const char*>(data), done)});
    return err;
}
int ForwardingEnv::truncate(int fd, std::uint64_t size) noexcept {
    Recorded op{.op = Op::Truncate, .path = path_of(fd), .fd = fd, .size = size};
    if (const int err = before(op); err > 0) return err;
    const int err = real().truncate(fd, size);
    if (!err) after(std::move(op));
    return err;
}
int ForwardingEnv::sync(int fd, fs::Sync what) noexcept {
    Recorded op{.op = Op::Sync, .path = path_of(fd), .fd = fd};
    if (const int err = before(op); err > 0) return err;
    const int err = real().sync(fd, what);
    if (!err) after(std::move(op));
    return err;
}
int ForwardingEnv::sync_dir(const std::string& dir) noexcept {
    Recorded op{.op = Op::SyncDir, .path = dir};
    if (const int err = before(op); err > 0) return err;
    const int err = real().sync_dir(dir);
    if (!err) after(std::move(op));
    return err;
}
int ForwardingEnv::sync_fs(int fd) noexcept {
    Recorded op{.op = Op::SyncFs, .path = path_of(fd), .fd = fd};
    if (const int err = before(op); err > 0) return err;
    const int err = real().sync_fs(fd);
    if (!err) after(std::move(op));
    return err;
}
int ForwardingEnv::rename(const std::string& from, const std::string& to, bool replace) noexcept {
    Recorded op{.op = Op::Rename, .path = from, .to = to, .replace = replace};
    if (const int err = before(op); err > 0) return err;
    const int err = real().rename(from, to, replace);
    if (!err) after(std::move(op));
    return err;
}
int ForwardingEnv::unlink(const std::string& path) noexcept {
    Recorded op{.op = Op::Unlink, .path = path};
    if (const int err = before(op); err > 0) return err;
    const int err = real().unlink(path);
    if (!err) after(std::move(op));
    return err;
}
int ForwardingEnv::link(const std::string& from, const std::string& to) noexcept {
    Recorded op{.op = Op::Link, .path = from, .to = to};
    if (const int err = before(op); err > 0) return err;
    const int err = real().link(from, to);
    if (!err) after(std::move(op));
    return err;
}
int ForwardingEnv::lock(int fd, fs::Lock how) noexcept {
    if (const int err = before({.op = Op::Lock, .path = path_of(fd), .fd = fd}); err > 0) return err;
    return real().lock(fd, how);
}

// ---- FaultEnv -------------------------------------------------------------------------------

int FaultEnv::before(const Recorded& op) noexcept {
    const std::string path = op.to.empty() ? op.path : op.path + "\n" + op.to;
    if (op.op != fault_.op || path.find(fault_.path_part) == std::string::npos) return 0;
    const int index = seen_++;
    if (index == fault_.nth || (fault_.sticky && index > fault_.nth)) {
        fired_ = true;
        return fault_.short_write ? -1 : fault_.err;
    }
    return 0;
}

// ---- RecordingEnv ---------------------------------------------------------------------------

void RecordingEnv::after(Recorded&& op) noexcept { log_.push_back(std::move(op)); }

int StopInWindow::before(const Recorded& op) noexcept {
    if (op.op == Op::Sync && op.path == file_) {
        self_.ready();
        ::pause();
    }
    return 0;
}

}  // namespace tarnwick::bundle::test
