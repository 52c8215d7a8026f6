#pragma once
// Commits of many store files made durable together (a pool worker's run). Internal to h5/.
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

#include "tarnwick/bundle/fs/env.hpp"
#include "tarnwick/bundle/h5/undo_journal.hpp"

namespace tarnwick::bundle::h5::detail {

// The outcome of the last close of a journaled file on this thread: HDF5 forgets a file whose
// driver close reports an error only in part (its id stays, and ends the process badly at
// exit), so the driver's close always succeeds and leaves its error here for File::close.
extern thread_local int last_settle_error;

// Commits made durable in groups: a worker that updates file after file would otherwise wait
// for three syncs a file. A file committed while deferral is on keeps its overwrites of stored
// bytes in memory and, at its close, stays open and locked here; once enough files wait (or
// when the worker ends), one sync of the file system makes all their journals durable, the
// overwrites go in, a second sync makes the files durable, the journals are cleared and a third
// sync makes that last. A file whose steps fail is rolled back and reported to the handler.
class DeferredCommits {
public:
    // Each waiting file holds two descriptors (the file and its journal).
    static std::size_t max_files() {
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 64;
        return std::clamp<std::size_t>((static_cast<std::size_t>(limit.rlim_cur) - 128) / 2, 16, 512);
    }

    bool enabled = false;
    std::function<void(const std::string& path, int err)> on_failure;

    void add(std::string path, int fd, dev_t device, ino_t inode, std::unique_ptr<UndoJournal> journal) {
        if (!folders_.contains(device)) {
            // Kept to sync this file system once more at the end, when no file of it waits.
            Folder folder{fs::parent_dir(path), {}};
            if (fs::Descriptor::open(folder.path, O_RDONLY | O_DIRECTORY, 0, folder.fd) == 0)
                folders_.emplace(device, std::move(folder));
        }
        members_.push_back({std::move(path), fd, device, inode, std::move(journal), 0});
        if (members_.size() >= max_files()) settle(false);
    }
    bool holds(dev_t device, ino_t inode) const {
        return std::any_of(members_.begin(), members_.end(),
                           [&](const Member& m) { return m.device == device && m.inode == inode; });
    }

    // `last`: the owner is about to report its run; the commit points must be durable too.
    // Otherwise they become durable with the next group's first sync.
    void settle(bool last) noexcept {
        if (members_.empty()) {
            if (last) sync_remembered_file_systems();
            return;
        }
        sync_each_file_system();  // the journals (and their names), the last group's commit points
        for (Member& m : members_)
            if (!m.err) m.err = m.journal->write_pending(m.fd);
        sync_each_file_system();  // the files in their new state
        for (Member& m : members_)
            if (!m.err) m.err = m.journal->finish_deferred_commit();
        if (last) sync_each_file_system();  // the commit points
        for (Member& m : members_) {
            int err = m.err;
            if (err) {
                const int rollback = m.journal->roll_back(m.fd);
                if (rollback && rollback != ESTALE) last_settle_error = rollback;
            } else {
                err = m.journal->remove_unsynced();
            }
            fs::env().close(m.fd);
            if (err && on_failure) {
                try {
                    on_failure(m.path, err);
                } catch (...) {
                    // Reporting must not stop the others from being settled.
                }
            }
        }
        members_.clear();
        if (last) folders_.clear();
    }

private:
    void sync_remembered_file_systems() noexcept {
        for (const auto& [device, folder] : folders_) {
            const int err = fs::env().sync_fs(folder.fd.get());
            if (err && on_failure) {
                try {
                    on_failure(folder.path, err);
                } catch (...) {
                    // As in settle(): the others still get their sync.
                }
            }
        }
        folders_.clear();
    }

    struct Member {
        std::string path;
        int fd;
        dev_t device;
        ino_t inode;
        std::unique_ptr<UndoJournal> journal;
        int err;
    };

    // One sync per file system the waiting files live on; a failure fails its files.
    void sync_each_file_system() {
        std::map<dev_t, int> outcome;
        for (Member& m : members_) {
            if (m.err) continue;
            auto [it, first] = outcome.try_emplace(m.device, 0);
            if (first) it->second = fs::env().sync_fs(m.fd);
            if (it->second) m.err = it->second;
        }
    }

    std::vector<Member> members_;
    struct Folder {
        std::string path;
        fs::Descriptor fd;
    };
    std::map<dev_t, Folder> folders_;  // one per file system with commits to sync
};

// The process's one group.
DeferredCommits& deferred_commits();

}  // namespace tarnwick::bundle::h5::detail
