#pragma once
// File-system seams for tests: one that fails a chosen operation, one that records every
// operation so that the disk a power cut could leave behind can be rebuilt (power_cut.hpp).
// Both pass everything else to the real file system.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tarnwick/bundle/fs/env.hpp"

namespace tarnwick::bundle::test {

enum class Op { Open, Close, Read, Write, Truncate, Sync, SyncDir, SyncFs, Rename, Unlink, Lock };

// Fails the `nth` operation (counting from 0) of kind `op` whose path contains `path_part`
// (the path of the operation's file; "" matches all), with `err`; `short_write` makes a write
// do half of what was asked instead. Later operations run normally unless `sticky`.
class FaultEnv final : public fs::Env {
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
    int lock(int fd, fs::Lock how) noexcept override;

private:
    // The error to return now for an operation of `op` on `path`, or 0.
    int strike(Op op, const std::string& path);
    Fault fault_;
    int seen_ = 0;
    bool fired_ = false;
    std::map<int, std::string> paths_;  // open descriptors
};

// One recorded operation. Paths are as the process named them.
struct Recorded {
    Op op;
    std::string path{};   // the file's (at open), the folder's (SyncDir), the source (Rename)
    std::string to{};     // Rename's target
    int fd = -1;          // the descriptor it was done through
    int flags = 0;        // Open
    bool replace = true;  // Rename
    std::uint64_t offset = 0;
    std::string data{};      // Write
    std::uint64_t size = 0;  // Truncate
};

// Passes every operation to the real file system and keeps a log of those that change what a
// disk holds (opens that create or truncate, writes, truncations, syncs, renames, unlinks).
class RecordingEnv final : public fs::Env {
public:
    const std::vector<Recorded>& log() const { return log_; }

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
    int lock(int fd, fs::Lock how) noexcept override;

private:
    std::vector<Recorded> log_;
};

}  // namespace tarnwick::bundle::test
