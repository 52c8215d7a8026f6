#pragma once
// File-system seams for tests: one that fails a chosen operation, one that records every
// operation so that the disk a power cut could leave behind can be rebuilt (power_cut.hpp).
// Both pass everything else to the real file system.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.hpp"
#include "tarnwick/bundle/fs/env.hpp"

namespace tarnwick::bundle::test {

enum class Op { Open, Close, Read, Write, Truncate, Sync, SyncDir, SyncFs, Rename, Unlink, Link, Lock };

// One operation. Paths are as the process named them.
struct Recorded {
    Op op;
    std::string path{};   // the file's (also of its descriptor's operations), the folder's, a rename's source
    std::string to{};     // Rename's and Link's target
    int fd = -1;          // the descriptor it was done through
    int flags = 0;        // Open
    bool replace = true;  // Rename
    std::uint64_t offset = 0;
    std::string data{};      // Write
    std::uint64_t size = 0;  // Truncate
};

// Passes every operation to the real file system between two hooks: `before` may fail it (its
// errno; -1 makes a write short: half of it, at least one byte, goes in), `after` sees each
// one that succeeded.
class ForwardingEnv : public fs::Env {
public:
    int open(const std::string& path, int flags, mode_t mode, int& fd) noexcept override;
    int close(int fd) noexcept override;
    int pread(int fd, void* data, std::size_t size, std::uint64_t offset, std::size_t& done) noexcept override;
    int pwrite(int fd, const void* data, std::size_t size, std::uint64_t offset, std::size_t& done) noexcept override;
    int truncate(int fd, std::uint64_t size) noexcept override;
    int sync(int fd, fs::Sync what) noexcept override;
    int sync_dir(const std::string& dir) noexcept override;
    int sync_fs(int fd) noexcept override;
    int rename(const std::string& from, const std::string& to, bool replace) noexcept override;
    int unlink(const std::string& path) noexcept override;
    int link(const std::string& from, const std::string& to) noexcept override;
    int lock(int fd, fs::Lock how) noexcept override;

protected:
    virtual int before(const Recorded&) noexcept { return 0; }
    virtual void after(Recorded&&) noexcept {}

private:
    // The path a descriptor was opened with ("" for one opened elsewhere).
    std::string path_of(int fd) const;
    std::map<int, std::string> paths_;
};

// Fails the `nth` operation (counting from 0) of kind `op` whose path contains `path_part`
// (a rename's or link's "<from>\n<to>"; "" matches all), with `err`; `short_write` makes a
// write do half of what was asked instead. Later operations run normally unless `sticky`.
class FaultEnv final : public ForwardingEnv {
public:
    struct Fault {
        Op op;
        int nth = 0;
        int err = EIO;
        bool short_write = false;
        bool sticky = false;
        std::string path_part{};
    };
    explicit FaultEnv(Fault fault) : fault_(std::move(fault)) {}
    bool fired() const { return fired_; }
    // Operations of the fault's kind (and path) seen so far.
    int seen() const { return seen_; }

private:
    int before(const Recorded& op) noexcept override;
    Fault fault_;
    int seen_ = 0;
    bool fired_ = false;
};

// Keeps a log of the operations that change what a disk holds (opens, closes, writes,
// truncations, syncs, renames, links, unlinks).
class RecordingEnv final : public ForwardingEnv {
public:
    const std::vector<Recorded>& log() const { return log_; }

private:
    void after(Recorded&& op) noexcept override;
    std::vector<Recorded> log_;
};

// Stops the process at its first sync of `file`, where a writer's commit makes its overwrites of
// stored bytes durable (their originals only in its journal then): tells `self` it is ready and
// waits to be killed.
class StopInWindow final : public ForwardingEnv {
public:
    StopInWindow(std::string file, ChildProcess& self) : file_(std::move(file)), self_(self) {}

private:
    int before(const Recorded& op) noexcept override;
    std::string file_;
    ChildProcess& self_;
};

}  // namespace tarnwick::bundle::test
