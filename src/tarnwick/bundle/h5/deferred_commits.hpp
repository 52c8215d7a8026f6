#pragma once
// Commits of many store files made durable together (a pool worker's run). Internal to h5/.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

#include "tarnwick/bundle/h5/undo_journal.hpp"

namespace tarnwick::bundle::h5::detail {

// The outcome of the last close of a journaled file on this thread: HDF5 forgets a file whose
// driver close reports an error only in part (its id stays, and ends the process badly at
// exit), so the driver's close always succeeds and leaves its error here for File::close.
extern thread_local int last_settle_error;

// Commits made durable in groups: a worker that updates file after file would otherwise wait
// for three syncs a file. A file committed while deferral is on keeps its overwrites of stored
// bytes in memory and, at its close, stays open and locked here. The group is settled when it
// is full, when its first commit has waited MAX_WAIT (checked as files join and whenever the
// owner asks), when a file of it is opened again, and when the owner ends:
//   1. one sync of each file system makes all journals durable (their records and names),
//   2. within each file's commit window (h5/store_lock.hpp: readers are kept out only then),
//      its overwrites go in, that file is synced and its journal cleared (its commit point);
//      the windows are taken from several threads, so that their syncs reach the disk together,
//   3. a last sync makes the commit points durable;
//      only then are they removed, and only then does a commit count as made.
// Where a file system cannot be synced as a whole (refused: ENOSYS, EPERM; or declined by the
// seam: FUSE, network file systems) and where its sync reports an error (which may belong to
// any program's file on it), each file's own sync does that step: a failure is then the
// failing file's alone. A file whose steps fail is rolled back and reported to `on_failure`.
class DeferredCommits {
public:
    // How long a commit may wait for its group: a worker's report of an updated instrument
    // follows the group, so this bounds how far the report lags behind the work.
    static constexpr std::chrono::milliseconds MAX_WAIT{2000};

    // Each waiting file holds two descriptors (the file and its journal).
    static std::size_t max_files();

    bool enabled = false;
    std::size_t limit = 0;  // files per group; 0 for max_files() (tests make groups small)
    std::size_t owner = 0;  // the item of work that commits deferred from now on belong to
    std::function<void(const std::string& path, int err, std::size_t owner)> on_failure;

    void add(std::string path, int fd, dev_t device, ino_t inode, std::unique_ptr<UndoJournal> journal);
    bool holds(dev_t device, ino_t inode) const;
    bool empty() const { return members_.empty(); }
    // Full, or its first commit has waited long enough.
    bool due() const;
    // Makes every waiting commit durable (or rolls it back and reports it).
    void settle() noexcept;

private:
    struct Member {
        std::string path;
        int fd;
        dev_t device;
        ino_t inode;
        std::unique_ptr<UndoJournal> journal;
        std::size_t owner;
        int err = 0;
    };
    enum class Step { Journals, CommitPoints };

    static constexpr std::size_t MAX_SYNC_THREADS = 16;

    void make_durable(Step step) noexcept;
    // Each file's overwrites, its own sync and its commit point within its commit window (the
    // only time readers are kept out), all windows under one deadline; a file whose readers
    // stay past it fails with EWOULDBLOCK and is rolled back like any other failure.
    void commit_each_in_window() noexcept;
    void sync_each_alone(const std::vector<Member*>& members, Step step) noexcept;
    // Runs work(0) .. work(count - 1), each once, from up to MAX_SYNC_THREADS threads on the
    // real file system (a disk takes many syncs at once about as fast as one); the test seams
    // see them one after another, in order.
    static void run_concurrently(std::size_t count, const std::function<void(std::size_t)>& work) noexcept;
    int sync_alone(Member& m, Step step) noexcept;

    std::vector<Member> members_;
    std::chrono::steady_clock::time_point first_added_{};
};

// The process's one group.
DeferredCommits& deferred_commits();

}  // namespace tarnwick::bundle::h5::detail
