#pragma once
// The one seam between the store's writers and the file system.
//
// Every operation whose order or outcome decides whether a store file survives a kill, a full
// disk or a power cut goes through the process's Env: opening, reading and writing at an offset,
// truncating, syncing (file data, whole file, folder), renaming, linking, unlinking and locking. The real
// Env makes one system call per operation; a test installs one that fails any chosen operation
// (ENOSPC, EIO, EINTR, a short write) or records every operation, so that the disk a power cut
// could leave behind can be rebuilt from the record (tests/support/recording_env.*).
//
// Each operation returns 0 or the errno that describes its failure ([[nodiscard]]: a caller that
// has nothing to do about a failure says so where it calls) and is noexcept: the HDF5
// file driver calls them from C callbacks. The helpers below add the loops (short transfers,
// EINTR) and the exceptions the rest of the library wants.
//
// REQUIRES: set_env() only while no other thread uses the seam (tests set it up front).
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace tarnwick::bundle::fs {

enum class Lock { Shared, Exclusive, Unlock };
enum class Sync { Data, All };  // fdatasync, fsync

class Env {
public:
    virtual ~Env() = default;
    [[nodiscard]] virtual int open(const std::string& path, int flags, mode_t mode, int& fd) noexcept = 0;
    [[nodiscard]] virtual int close(int fd) noexcept = 0;
    // At most `size` bytes; `done` says how many (0 at the end of the file).
    [[nodiscard]] virtual int pread(int fd, void* data, std::size_t size, std::uint64_t offset, std::size_t& done) noexcept = 0;
    [[nodiscard]] virtual int pwrite(int fd, const void* data, std::size_t size, std::uint64_t offset,
                       std::size_t& done) noexcept = 0;
    [[nodiscard]] virtual int truncate(int fd, std::uint64_t size) noexcept = 0;
    [[nodiscard]] virtual int sync(int fd, Sync what) noexcept = 0;
    // Makes the names created, renamed or removed in `dir` survive a power cut.
    [[nodiscard]] virtual int sync_dir(const std::string& dir) noexcept = 0;
    // Syncs everything of the file system that holds `fd` (syncfs): one flush for the changes
    // of many files. ENOSYS where that would not reach the disk (FUSE, network file systems) or
    // is refused (also EPERM: a container's system-call filter): the caller syncs each file.
    [[nodiscard]] virtual int sync_fs(int fd) noexcept = 0;
    // replace == false fails with EEXIST when `to` exists (atomically, also where the file
    // system has no no-replace rename: a hard link refuses an existing name too).
    [[nodiscard]] virtual int rename(const std::string& from, const std::string& to, bool replace) noexcept = 0;
    [[nodiscard]] virtual int unlink(const std::string& path) noexcept = 0;
    // A second name `to` for the file `from` (a hard link); EEXIST when `to` exists.
    [[nodiscard]] virtual int link(const std::string& from, const std::string& to) noexcept = 0;
    // flock, never waiting: EWOULDBLOCK when another open file description holds it.
    [[nodiscard]] virtual int lock(int fd, Lock how) noexcept = 0;
    // A lock on the one byte at `offset` (an open-file-description lock, fcntl F_OFD_SETLK),
    // never waiting: EWOULDBLOCK when another open file description holds a conflicting one.
    // On a local file system these and flock() do not see each other, so the two can be
    // layered (see h5/store_lock.hpp). The byte need not exist.
    [[nodiscard]] virtual int lock_byte(int fd, std::uint64_t offset, Lock how) noexcept;
    // Whether another open file description holds a lock on that byte that a lock of kind
    // `how` would conflict with (F_OFD_GETLK); takes nothing.
    [[nodiscard]] virtual int byte_locked(int fd, std::uint64_t offset, Lock how, bool& held) noexcept;
};

// The real file system.
Env& posix_env();
// The Env every store operation uses: posix_env() unless a test installed another.
Env& env();
// Installs `replacement` (nullptr: the real one again); returns the one it replaces.
Env* set_env(Env* replacement);

// Whether the real Env syncs (on unless switched off). Off, nothing is synced: a killed run
// still loses nothing (the journal works as before), but a power cut or kernel crash during or
// up to a minute after a run can damage the files it wrote. Meant for a first bulk download that
// can be run again; switched off once, at the start, for the whole process and its workers.
void set_syncing(bool on);
bool syncing();

// Installs an Env for one scope.
class ScopedEnv {
public:
    explicit ScopedEnv(Env& replacement) : previous_(set_env(&replacement)) {}
    ~ScopedEnv() { set_env(previous_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    Env* previous_;
};

// ---- helpers over env() ------------------------------------------------------------------

// All of `size` bytes at `offset` (retrying short writes and EINTR); 0 or errno.
[[nodiscard]] int write_all(int fd, const void* data, std::size_t size, std::uint64_t offset) noexcept;
// Up to `size` bytes at `offset`; `got` is less only at the end of the file. 0 or errno.
[[nodiscard]] int read_full(int fd, void* data, std::size_t size, std::uint64_t offset, std::size_t& got) noexcept;
// The folder that holds `path` ("." for a bare name).
std::string parent_dir(const std::string& path);
// sync_dir() of `dir`; a file system that cannot sync folders (EINVAL) counts as done: its
// renames are then as safe as they get.
[[nodiscard]] int sync_folder(const std::string& dir) noexcept;
// sync_folder() of the folder holding `path`.
[[nodiscard]] int sync_parent_dir(const std::string& path) noexcept;
// Opens `path` and syncs all of it (fsync): for files other code wrote.
[[nodiscard]] int sync_file(const std::string& path) noexcept;

// The one way a lock is waited for: calls `attempt` until it returns anything but
// EWOULDBLOCK/EAGAIN or `bound` has passed (pauses growing from 1 ms to 50 ms). Returns the last
// result. flock() and fcntl() have no wait with a deadline of their own.
[[nodiscard]] int retry_lock(const std::function<int()>& attempt, std::chrono::milliseconds bound);

// Whether flock() on this file system is only emulated (by POSIX locks over the whole file, as
// on NFS and SMB) or otherwise not independent of byte-range locks (FUSE): shared updates are
// not safe there, and the store keeps its exclusive locking (h5/store_lock.hpp).
bool flock_is_emulated(int fd) noexcept;
// Whether a file system of this statfs type is a network or cluster one, or FUSE: there a sync
// of the whole file system need not reach the disk and flock may be emulated, so each file is
// synced alone and the store keeps its exclusive locking.
bool remote_or_fuse(unsigned long statfs_type) noexcept;

// Throws OsError built from `err`: "<action> \"<path>\" failed: <strerror>".
[[noreturn]] void throw_errno(int err, const std::string& action, const std::string& path);
// Throws OsError built from `err`: "<what>: <strerror>".
[[noreturn]] void throw_errno(int err, const std::string& what);

// A descriptor opened through the seam, closed through it when its owner goes.
class Descriptor {
public:
    Descriptor() = default;
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    // 0 or errno; on failure the descriptor stays empty.
    [[nodiscard]] static int open(const std::string& path, int flags, mode_t mode, Descriptor& out) noexcept;
    // Throwing form, for callers outside the file driver.
    static Descriptor open_or_throw(const std::string& path, int flags, mode_t mode = 0644);

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept;
    // Closes now and reports what close() said: some file systems (NFS, a full disk) report
    // deferred write errors there, so a writer checks it.
    [[nodiscard]] int close() noexcept;

private:
    int fd_ = -1;
};

}  // namespace tarnwick::bundle::fs
