#include "support/fault_fs.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace tarnwick::bundle::test {
namespace fs = std::filesystem;

Tmpfs::Tmpfs(const fs::path& where, const std::string& options) : path_(where) {
    if (::geteuid() != 0) {
        why_not_ = "mounting a tmpfs needs root";
        return;
    }
    fs::create_directories(path_);
    if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        why_not_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
        return;
    }
    mounted_ = true;
}

Tmpfs::~Tmpfs() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
}

BindMount::BindMount(const fs::path& from, const fs::path& at, bool read_only) : at_(at) {
    if (::geteuid() != 0) {
        why_not_ = "a bind mount needs root";
        return;
    }
    if (::mount(from.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        why_not_ = std::string("cannot bind-mount: ") + std::strerror(errno);
        return;
    }
    mounted_ = true;
    // Read-only takes a second call: the first one ignores MS_RDONLY together with MS_BIND.
    if (read_only && ::mount(nullptr, at.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        why_not_ = std::string("cannot make the bind mount read-only: ") + std::strerror(errno);
}

BindMount::~BindMount() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
}

void Tmpfs::remount(const std::string& options) {
    if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT, options.c_str()) != 0)
        throw std::runtime_error(std::string("cannot remount the tmpfs: ") + std::strerror(errno));
}

std::uintmax_t used_inodes(const fs::path& dir) {
    struct statvfs info {};
    if (::statvfs(dir.c_str(), &info) != 0) throw std::runtime_error("statvfs failed");
    return info.f_files - info.f_ffree;
}

ScopedFileSizeLimit::ScopedFileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = previous_;
    limit.rlim_cur = bytes;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("setrlimit failed");
}

ScopedFileSizeLimit::~ScopedFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previous_handler_);
}

}  // namespace tarnwick::bundle::test
