#include "tarnwick/bundle/h5/deferred_commits.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <new>
#include <set>
#include <thread>

#include <sys/resource.h>

#include "tarnwick/bundle/fs/env.hpp"
#include "tarnwick/bundle/h5/store_lock.hpp"

namespace tarnwick::bundle::h5::detail {

thread_local int last_settle_error = 0;

DeferredCommits& deferred_commits() {
    static DeferredCommits group;
    return group;
}

std::size_t DeferredCommits::max_files() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 64;
    return std::clamp<std::size_t>((static_cast<std::size_t>(limit.rlim_cur) - 128) / 2, 16, 2048);
}

void DeferredCommits::add(std::string path, int fd, dev_t device, ino_t inode, std::unique_ptr<UndoJournal> journal) {
    if (members_.empty()) first_added_ = std::chrono::steady_clock::now();
    members_.push_back({std::move(path), fd, device, inode, std::move(journal), owner});
    if (due()) settle();
}

bool DeferredCommits::holds(dev_t device, ino_t inode) const {
    return std::any_of(members_.begin(), members_.end(),
                       [&](const Member& m) { return m.device == device && m.inode == inode; });
}

bool DeferredCommits::due() const {
    if (members_.empty()) return false;
    return members_.size() >= (limit ? limit : max_files()) ||
           std::chrono::steady_clock::now() - first_added_ >= MAX_WAIT;
}

void DeferredCommits::settle() noexcept {
    if (members_.empty()) return;
    make_durable(Step::Journals);  // the journals, and their names
    commit_each_in_window();       // the files in their new state, and their commit points
    // The commit points: before they are durable, a power cut would find the journals whole
    // and undo updates the owner is about to report made.
    make_durable(Step::CommitPoints);
    for (Member& m : members_) {
        int err = m.err;
        if (err) {
            const int rollback = m.journal->roll_back(m.fd);
            if (rollback && rollback != ESTALE) last_settle_error = rollback;
        } else {
            err = m.journal->remove_unsynced();
        }
        // Its data was synced above (or it was rolled back): close() has nothing left to say.
        static_cast<void>(fs::env().close(m.fd));
        if (err && on_failure) {
            try {
                on_failure(m.path, err, m.owner);
            } catch (...) {
                // Reporting must not stop the others from being settled.
            }
        }
    }
    members_.clear();
}

void DeferredCommits::commit_each_in_window() noexcept {
    std::vector<Member*> waiting;
    try {
        for (Member& m : members_)
            if (!m.err) waiting.push_back(&m);
    } catch (const std::bad_alloc&) {
        for (Member& m : members_)
            if (!m.err) m.err = ENOMEM;
        return;
    }
    // The windows of a group are taken in interleaved slices, a slice per thread: each window
    // costs one sync of its file, and those syncs then reach the disk together instead of one
    // after another. A thread holds one window at a time and never waits inside one, so no
    // file's readers wait for another file's.
    const std::size_t slices = std::min(MAX_SYNC_THREADS, std::max<std::size_t>(waiting.size(), 1));
    run_concurrently(slices, [&](std::size_t slice) {
        std::vector<Member*> mine;
        std::vector<int> fds;
        try {
            for (std::size_t k = slice; k < waiting.size(); k += slices) {
                mine.push_back(waiting[k]);
                fds.push_back(waiting[k]->fd);
            }
            const std::vector<int> errs = run_in_windows(fds, commit_wait(), [&](std::size_t i) {
                return mine[i]->journal->commit_deferred_in_window(mine[i]->fd);
            });
            for (std::size_t i = 0; i < mine.size(); ++i) mine[i]->err = errs[i];
        } catch (const std::bad_alloc&) {
            for (std::size_t k = slice; k < waiting.size(); k += slices)
                if (!waiting[k]->err) waiting[k]->err = ENOMEM;
        }
    });
}

// One sync of each file system the waiting files live on; where it is refused or reports an
// error, each file's own.
void DeferredCommits::make_durable(Step step) noexcept {
    std::map<dev_t, int> outcome;
    for (Member& m : members_)
        if (!m.err) {
            auto [it, first] = outcome.try_emplace(m.device, 0);
            if (first) it->second = fs::env().sync_fs(m.fd);
        }
    std::vector<Member*> alone;
    for (Member& m : members_)
        if (!m.err && outcome[m.device] != 0) alone.push_back(&m);
    sync_each_alone(alone, step);
    std::set<std::string> folders_synced;
    for (Member* member : alone) {
        Member& m = *member;
        if (!m.err && step == Step::Journals) {
            // A journal just created is found after a power cut only if its name is durable.
            const std::string folder = fs::parent_dir(m.path);
            if (!folders_synced.contains(folder)) {
                if (const int err = fs::sync_folder(folder)) m.err = err;
                else folders_synced.insert(folder);
            }
        }
    }
}

void DeferredCommits::sync_each_alone(const std::vector<Member*>& members, Step step) noexcept {
    run_concurrently(members.size(), [&](std::size_t k) { members[k]->err = sync_alone(*members[k], step); });
}

void DeferredCommits::run_concurrently(std::size_t count, const std::function<void(std::size_t)>& work) noexcept {
    std::atomic<std::size_t> next{0};
    const auto drain = [&]() noexcept {
        for (std::size_t k; (k = next++) < count;) work(k);
    };
    std::vector<std::thread> threads;
    if (&fs::env() == &fs::posix_env() && count > 1) {
        const std::size_t helpers = std::min(MAX_SYNC_THREADS, count) - 1;
        try {
            for (std::size_t t = 0; t < helpers; ++t) threads.emplace_back(drain);
        } catch (...) {
            // No thread to help: this one does the rest.
        }
    }
    drain();
    for (std::thread& thread : threads) thread.join();
}

int DeferredCommits::sync_alone(Member& m, Step) noexcept {
    // Both steps left outside the commit windows make journals durable.
    return m.journal->sync_journal();
}

}  // namespace tarnwick::bundle::h5::detail
