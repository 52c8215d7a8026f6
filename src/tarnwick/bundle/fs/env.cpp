#include "tarnwick/bundle/fs/env.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::fs {
namespace {

int errno_of(bool ok) { return ok ? 0 : errno; }

// Whether a sync of the whole file system holding `fd` reaches the disk. FUSE passes syncfs on
// only where its daemon asked for it (and otherwise reports success); network file systems
// flush to the server file by file. Each file's own sync is passed on by all of them.
bool syncs_as_a_whole(int fd) {
    // For measuring one way against the other (bench/sync_cost.sh): every file synced alone.
    static const bool files_alone = std::getenv("TARNWICK_SYNC_FILES_ALONE") != nullptr;
    if (files_alone) return false;
    struct statfs info {};
    if (::fstatfs(fd, &info) != 0) return false;
    return !remote_or_fuse(static_cast<unsigned long>(info.f_type));
}

class PosixEnv final : public Env {
public:
    int open(const std::string& path, int flags, mode_t mode, int& fd) noexcept override {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
        return errno_of(fd >= 0);
    }
    int close(int fd) noexcept override { return errno_of(::close(fd) == 0); }
    int pread(int fd, void* data, std::size_t size, std::uint64_t offset, std::size_t& done) noexcept override {
        const ssize_t n = ::pread(fd, data, size, static_cast<off_t>(offset));
        done = n > 0 ? static_cast<std::size_t>(n) : 0;
        return errno_of(n >= 0);
    }
    int pwrite(int fd, const void* data, std::size_t size, std::uint64_t offset, std::size_t& done) noexcept override {
        const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        done = n > 0 ? static_cast<std::size_t>(n) : 0;
        return errno_of(n >= 0);
    }
    int truncate(int fd, std::uint64_t size) noexcept override {
        return errno_of(::ftruncate(fd, static_cast<off_t>(size)) == 0);
    }
    int sync(int fd, Sync what) noexcept override {
        if (!syncing()) return 0;
        return errno_of((what == Sync::Data ? ::fdatasync(fd) : ::fsync(fd)) == 0);
    }
    int sync_dir(const std::string& dir) noexcept override {
        if (!syncing()) return 0;
        const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return errno;
        const int err = errno_of(::fsync(fd) == 0);
        ::close(fd);
        return err;
    }
    int sync_fs(int fd) noexcept override {
        if (!syncing()) return 0;
        if (!syncs_as_a_whole(fd)) return ENOSYS;
        return errno_of(::syncfs(fd) == 0);
    }
    int rename(const std::string& from, const std::string& to, bool replace) noexcept override {
        if (replace) return errno_of(::rename(from.c_str(), to.c_str()) == 0);
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
        if (errno != EINVAL && errno != ENOSYS) return errno;
        // A file system without no-replace renames: a hard link refuses an existing name too.
        if (::link(from.c_str(), to.c_str()) != 0) return errno;
        ::unlink(from.c_str());
        return 0;
    }
    int unlink(const std::string& path) noexcept override { return errno_of(::unlink(path.c_str()) == 0); }
    int link(const std::string& from, const std::string& to) noexcept override {
        return errno_of(::link(from.c_str(), to.c_str()) == 0);
    }
    int lock(int fd, Lock how) noexcept override {
        const int operation = how == Lock::Unlock ? LOCK_UN : (how == Lock::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
        return errno_of(::flock(fd, operation) == 0);
    }
};

// An open-file-description lock of one byte: F_SETLK/F_GETLK shaped, without the per-process
// semantics of classic POSIX locks (which any close() of the file in this process would drop).
struct flock one_byte(std::uint64_t offset, short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(offset);
    range.l_len = 1;
    return range;
}

short fcntl_type(Lock how) { return how == Lock::Unlock ? F_UNLCK : (how == Lock::Shared ? F_RDLCK : F_WRLCK); }

std::atomic<Env*> installed{nullptr};
std::atomic<bool> sync_on{true};

}  // namespace

// statfs f_type values (linux/magic.h and the file systems' own sources).
bool remote_or_fuse(unsigned long type) noexcept {
    switch (type) {
        case 0x65735546UL:  // FUSE
        case 0x6969UL:      // NFS
        case 0x517BUL:      // SMB
        case 0xFF534D42UL:  // CIFS
        case 0xFE534D42UL:  // SMB2
        case 0x00C36400UL:  // Ceph
        case 0x01021997UL:  // 9p
        case 0x5346414FUL:  // AFS
        case 0x73757245UL:  // Coda
        case 0x0BD00BD0UL:  // Lustre
        case 0x01161970UL:  // GFS2
        case 0x7461636FUL:  // OCFS2
            return true;
        default:
            return false;
    }
}

int Env::lock_byte(int fd, std::uint64_t offset, Lock how) noexcept {
    struct flock range = one_byte(offset, fcntl_type(how));
    if (::fcntl(fd, F_OFD_SETLK, &range) == 0) return 0;
    return errno == EAGAIN || errno == EACCES ? EWOULDBLOCK : errno;
}

int Env::byte_locked(int fd, std::uint64_t offset, Lock how, bool& held) noexcept {
    struct flock range = one_byte(offset, fcntl_type(how));
    held = false;
    if (::fcntl(fd, F_OFD_GETLK, &range) != 0) return errno;
    held = range.l_type != F_UNLCK;
    return 0;
}

int retry_lock(const std::function<int()>& attempt, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        const int err = attempt();
        if (err != EWOULDBLOCK && err != EAGAIN) return err;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return err;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

bool flock_is_emulated(int fd) noexcept {
    // For tests and for file systems this list does not know: TARNWICK_EXCLUSIVE_LOCKING=1.
    if (const char* forced = std::getenv("TARNWICK_EXCLUSIVE_LOCKING"); forced && *forced == '1') return true;
    struct statfs info {};
    if (::fstatfs(fd, &info) != 0) return false;
    return remote_or_fuse(static_cast<unsigned long>(info.f_type));
}

void set_syncing(bool on) { sync_on.store(on, std::memory_order_relaxed); }
bool syncing() { return sync_on.load(std::memory_order_relaxed); }

Env& posix_env() {
    static PosixEnv real;
    return real;
}

Env& env() {
    Env* current = installed.load(std::memory_order_acquire);
    return current ? *current : posix_env();
}

Env* set_env(Env* replacement) { return installed.exchange(replacement, std::memory_order_acq_rel); }

int write_all(int fd, const void* data, std::size_t size, std::uint64_t offset) noexcept {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        std::size_t done = 0;
        const int err = env().pwrite(fd, p, size, offset, done);
        if (err == EINTR) continue;
        if (err) return err;
        if (done == 0) return EIO;
        p += done;
        size -= done;
        offset += done;
    }
    return 0;
}

int read_full(int fd, void* data, std::size_t size, std::uint64_t offset, std::size_t& got) noexcept {
    char* p = static_cast<char*>(data);
    got = 0;
    while (got < size) {
        std::size_t done = 0;
        const int err = env().pread(fd, p + got, size - got, offset + got, done);
        if (err == EINTR) continue;
        if (err) return err;
        if (done == 0) break;
        got += done;
    }
    return 0;
}

std::string parent_dir(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

int sync_folder(const std::string& dir) noexcept {
    const int err = env().sync_dir(dir);
    return err == EINVAL ? 0 : err;
}

int sync_parent_dir(const std::string& path) noexcept {
    try {
        return sync_folder(parent_dir(path));
    } catch (...) {  // only an allocation can throw here
        return ENOMEM;
    }
}

int sync_file(const std::string& path) noexcept {
    Descriptor fd;
    if (const int err = Descriptor::open(path, O_RDONLY, 0, fd)) return err;
    return env().sync(fd.get(), Sync::All);
}

void throw_errno(int err, const std::string& action, const std::string& path) {
    throw OsError::from_errno(err, action + " \"" + path + "\" failed: " + std::strerror(err));
}

void throw_errno(int err, const std::string& what) {
    throw OsError::from_errno(err, what + ": " + std::strerror(err));
}

int Descriptor::open(const std::string& path, int flags, mode_t mode, Descriptor& out) noexcept {
    int fd = -1;
    const int err = env().open(path, flags, mode, fd);
    out.reset(err ? -1 : fd);
    return err;
}

Descriptor Descriptor::open_or_throw(const std::string& path, int flags, mode_t mode) {
    Descriptor fd;
    if (const int err = open(path, flags, mode, fd)) throw_errno(err, "opening", path);
    return fd;
}

void Descriptor::reset(int fd) noexcept {
    // Dropped without a word: a writer that must know what close() says calls close().
    if (fd_ >= 0) static_cast<void>(env().close(fd_));
    fd_ = fd;
}

int Descriptor::close() noexcept {
    if (fd_ < 0) return 0;
    return env().close(std::exchange(fd_, -1));
}

}  // namespace tarnwick::bundle::fs
