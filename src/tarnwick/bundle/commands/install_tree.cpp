#include "tarnwick/bundle/commands/install_tree.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/fs/env.hpp"
#include "tarnwick/bundle/host/disk_space.hpp"

namespace tarnwick::bundle::commands {
namespace {
namespace fs = std::filesystem;
namespace seam = tarnwick::bundle::fs;
using seam::throw_errno;

constexpr std::size_t COPY_BLOCK = 1 << 20;

testing::CommitHook commit_hook = nullptr;

void at_commit_point(std::size_t point) {
    if (commit_hook) commit_hook(point);
}

std::optional<struct stat> lstat_of(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) return st;
    if (errno != ENOENT) throw_errno(errno, fmt::format("cannot look at {}", path.string()));
    return std::nullopt;
}

// Follows links; nullopt for nothing there or a dangling link.
std::optional<struct stat> stat_of(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return st;
    return std::nullopt;
}

void remove_quietly(const fs::path& path) noexcept { static_cast<void>(seam::env().unlink(path)); }

void sync_file(const fs::path& path) {
    if (const int err = seam::sync_file(path)) throw_errno(err, fmt::format("cannot write {} to disk", path.string()));
}

void sync_folder(const fs::path& path) {
    if (const int err = seam::sync_folder(path))
        throw_errno(err, fmt::format("cannot write the folder {} to disk", path.string()));
}

// ".<name><suffix>" beside `dest`, numbered on when the archive itself holds a member of that
// name: a side file must never stand in for, or remove, one of the members.
fs::path side_file(const fs::path& dest, const char* suffix, const std::set<fs::path>& members) {
    const fs::path plain = dest.parent_path() / ("." + dest.filename().string() + suffix);
    fs::path name = plain;
    for (int n = 1; members.contains(name); ++n) name = plain.string() + "." + std::to_string(n);
    return name;
}

// Copies the regular file `from` to `to` (created afresh), with its mode and modification time,
// and syncs it. `to` is removed again when anything fails.
void copy_file_synced(const fs::path& from, const fs::path& to, const struct stat& st) {
    seam::Descriptor in, out;
    if (const int err = seam::Descriptor::open(from, O_RDONLY, 0, in))
        throw_errno(err, fmt::format("cannot read {}", from.string()));
    remove_quietly(to);
    if (const int err = seam::Descriptor::open(to, O_WRONLY | O_CREAT | O_EXCL, 0600, out))
        throw_errno(err, fmt::format("cannot create {}", to.string()));
    try {
        std::vector<char> buffer(COPY_BLOCK);
        for (std::uint64_t offset = 0;;) {
            std::size_t got = 0;
            if (const int err = seam::read_full(in.get(), buffer.data(), buffer.size(), offset, got))
                throw_errno(err, fmt::format("cannot read {}", from.string()));
            if (got == 0) break;
            if (const int err = seam::write_all(out.get(), buffer.data(), got, offset))
                throw_errno(err, fmt::format("cannot write {}", to.string()));
            offset += got;
        }
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (::fchmod(out.get(), st.st_mode & 07777) != 0 || ::futimens(out.get(), times) != 0)
            throw_errno(errno, fmt::format("cannot set the mode and time of {}", to.string()));
        if (const int err = seam::env().sync(out.get(), seam::Sync::All))
            throw_errno(err, fmt::format("cannot write {} to disk", to.string()));
        if (const int err = out.close()) throw_errno(err, fmt::format("cannot write {}", to.string()));
    } catch (...) {
        remove_quietly(to);
        throw;
    }
}

struct Step {
    fs::path staged;
    fs::path dest;
    struct stat st {};           // of the staged entry
    fs::path ready;              // renamed over `dest` in the commit
    bool ready_is_copy = false;  // `ready` lies beside `dest` and is ours to remove
    fs::path backup;  // hard link to the replaced file; empty when nothing was there or no link could be made
    bool replaced_something = false;
    bool committed = false;
};

struct CreatedFolder {
    fs::path path;
    struct stat staged {};
};

class Transaction {
public:
    Transaction(fs::path staging, fs::path dest, layout::InstallRecord& record)
        : staging_(std::move(staging)), dest_(std::move(dest)), record_(record) {}
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void prepare() {
        std::vector<fs::path> entries;
        std::error_code error;
        for (fs::recursive_directory_iterator it(staging_, error), end; it != end; it.increment(error)) {
            if (error) break;
            entries.push_back(it->path().lexically_relative(staging_));
        }
        if (error) throw_errno(error.value(), fmt::format("cannot list {}", staging_.string()));
        // Sorted, a folder comes before everything in it.
        std::sort(entries.begin(), entries.end(),
                  [](const fs::path& a, const fs::path& b) { return a.generic_string() < b.generic_string(); });
        for (const fs::path& relative : entries) members_.insert(dest_ / relative);
        record_side_files(entries);
        for (const fs::path& relative : entries) prepare_entry(relative);
        std::set<fs::path> parents;
        for (const CreatedFolder& folder : created_) parents.insert(folder.path.parent_path());
        for (const fs::path& parent : parents) sync_folder(parent);  // the new folders outlive a power cut
    }

    void commit() {
        for (const Step& step : steps_) record_.will_rename(step.ready, step.dest);
        at_commit_point(0);
        record_.commit_mark();
        std::size_t point = 0;
        for (Step& step : steps_) {
            at_commit_point(++point);
            touched_.insert(step.ready.parent_path());
            touched_.insert(step.dest.parent_path());
            if (const int err = seam::env().rename(step.ready, step.dest, true)) {
                // The same device seen through two mounts (a bind mount): copy after all.
                if (err != EXDEV || step.ready_is_copy)
                    throw_errno(err, fmt::format("cannot move {} into place", step.dest.string()));
                const fs::path copy = side_file(step.dest, ".tarnwick-new", members_);  // recorded already
                copy_file_synced(step.ready, copy, step.st);
                step.ready = copy;
                step.ready_is_copy = true;
                if (const int again = seam::env().rename(copy, step.dest, true))
                    throw_errno(again, fmt::format("cannot move {} into place", step.dest.string()));
            }
            step.committed = true;
        }
        at_commit_point(point + 1);
    }

    // After a successful commit; failures here leave the new files in place and are reported.
    // Both folders of every rename are synced before the record goes: only then is the
    // install durable without it.
    void finish() {
        finished_ = true;  // the new files are in place: nothing is rolled back from here on
        for (Step& step : steps_)
            if (!step.backup.empty()) remove_quietly(step.backup);
        // Deepest first, so that setting a folder's time is not undone by work inside it.
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
            const struct timespec times[2] = {it->staged.st_atim, it->staged.st_mtim};
            ::chmod(it->path.c_str(), it->staged.st_mode & 07777);
            ::utimensat(AT_FDCWD, it->path.c_str(), times, 0);
        }
        for (const fs::path& folder : touched_) sync_folder(folder);
    }

    // Undoes everything; returns what could not be undone (empty when the bundle is as before).
    std::vector<std::string> roll_back() noexcept {
        std::vector<std::string> problems;
        for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
            Step& step = *it;
            if (step.committed) {
                if (!step.backup.empty()) {
                    if (const int err = seam::env().rename(step.backup, step.dest, true))
                        problems.push_back(fmt::format("{} could not be restored ({}); its old content is in {}",
                                                       step.dest.string(), std::strerror(err), step.backup.string()));
                    continue;
                }
                if (step.replaced_something) {
                    problems.push_back(
                        fmt::format("{} was replaced and its old content could not be kept", step.dest.string()));
                    continue;
                }
                remove_quietly(step.dest);
                continue;
            }
            if (step.ready_is_copy) remove_quietly(step.ready);
            if (!step.backup.empty()) remove_quietly(step.backup);
        }
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) ::rmdir(it->path.c_str());
        finished_ = true;
        return problems;
    }

private:
    // Every side file and new folder the install may make, in the record and on disk before the
    // first of them is made (one sync for all): a power cut can then leave none the record does
    // not name. Names recorded but never made are simply not there to remove.
    void record_side_files(const std::vector<fs::path>& entries) {
        for (const fs::path& relative : entries) {
            const auto st = lstat_of(staging_ / relative);
            const fs::path dest = dest_ / relative;
            if (st && S_ISDIR(st->st_mode)) {
                if (!lstat_of(dest)) record_.will_create_folder(dest);
                continue;
            }
            record_.will_create(side_file(dest, ".tarnwick-new", members_));
            record_.will_create(side_file(dest, ".tarnwick-old", members_));
        }
        record_.sync();
    }

    void prepare_entry(const fs::path& relative) {
        const fs::path staged = staging_ / relative;
        const fs::path dest = dest_ / relative;
        const auto st = lstat_of(staged);
        if (!st) throw_errno(ENOENT, fmt::format("cannot find the unpacked {}", staged.string()));
        const auto existing = lstat_of(dest);
        const auto followed = existing ? stat_of(dest) : std::nullopt;
        const bool dest_is_folder = followed && S_ISDIR(followed->st_mode);

        if (S_ISDIR(st->st_mode)) {
            if (dest_is_folder) return;  // an existing folder, or a link to one, is used as it is
            if (existing)
                throw ValueError(fmt::format("the archive's folder \"{}\" would replace {}, which is not a folder",
                                             relative.generic_string(), dest.string()));
            if (::mkdir(dest.c_str(), 0700) != 0) throw_errno(errno, fmt::format("cannot create {}", dest.string()));
            created_.push_back({dest, *st});
            return;
        }
        // A link of the archive replaces a link at its path (an earlier install's), whatever it
        // points to; a file never replaces a folder, nor the user's link to one.
        const bool replaces_folder = S_ISLNK(st->st_mode) ? existing && S_ISDIR(existing->st_mode) : dest_is_folder;
        if (replaces_folder)
            throw ValueError(fmt::format("the archive's member \"{}\" would replace the folder {}",
                                         relative.generic_string(), dest.string()));

        Step step;
        step.staged = staged;
        step.dest = dest;
        step.st = *st;
        step.replaced_something = existing.has_value();
        const fs::path folder = dest.parent_path();
        if (S_ISLNK(st->st_mode)) {
            // A new link made beside its destination works on any file system.
            std::error_code error;
            const fs::path target = fs::read_symlink(staged, error);
            if (error) throw_errno(error.value(), fmt::format("cannot read the link {}", staged.string()));
            step.ready = side_file(dest, ".tarnwick-new", members_);
            remove_quietly(step.ready);
            if (::symlink(target.c_str(), step.ready.c_str()) != 0)
                throw_errno(errno, fmt::format("cannot create {}", step.ready.string()));
            step.ready_is_copy = true;
        } else {
            const auto folder_st = stat_of(folder);
            if (!folder_st) throw_errno(ENOENT, fmt::format("cannot find the folder {}", folder.string()));
            if (folder_st->st_dev == st->st_dev) {
                sync_file(staged);
                step.ready = staged;
            } else {
                host::require_free_space(
                    folder.string(), host::blocks_for(static_cast<std::uint64_t>(st->st_size)),
                    fmt::format("copying \"{}\" to its folder on another file system", relative.generic_string()));
                step.ready = side_file(dest, ".tarnwick-new", members_);
                copy_file_synced(staged, step.ready, *st);
                step.ready_is_copy = true;
            }
        }
        steps_.push_back(step);
        if (existing) keep_backup(steps_.back());
    }

    // A second name for the file about to be replaced, so that a failed commit can put it back.
    void keep_backup(Step& step) {
        const fs::path backup = side_file(step.dest, ".tarnwick-old", members_);
        remove_quietly(backup);
        const int err = seam::env().link(step.dest, backup);
        if (err == 0) {
            step.backup = backup;
            return;
        }
        // A file system without hard links: the commit goes ahead without a way back for this file.
        if (err == EPERM || err == EOPNOTSUPP) return;
        throw_errno(err, fmt::format("cannot keep the old {} until the new one is in place", step.dest.string()));
    }

    fs::path staging_;
    fs::path dest_;
    layout::InstallRecord& record_;
    std::set<fs::path> members_;  // every destination path the tree fills
    std::vector<Step> steps_;
    std::vector<CreatedFolder> created_;
    std::set<fs::path> touched_;
    bool finished_ = false;

public:
    ~Transaction() {
        if (!finished_) roll_back();
    }
};

std::string rollback_note(const std::vector<std::string>& problems) {
    if (problems.empty()) return "; the bundle was left as it was";
    std::string note = "; undoing the install failed in part:";
    for (const auto& problem : problems) note += " " + problem + ";";
    return note;
}

// A rollback that left the bundle as it was settles the install; one that did not keeps the
// record, so that the next run tries again.
void settle_record(layout::InstallRecord& record, const std::string& note) noexcept {
    if (note != rollback_note({})) return;
    try {
        record.remove();
    } catch (...) {
        // The record stays; the next run undoes an install that has nothing left to undo.
    }
}

}  // namespace

void move_tree_into_place(const std::string& staging, const std::string& dest, const layout::InstallLock& lock) {
    layout::InstallRecord record(lock);
    Transaction transaction(staging, dest, record);
    try {
        transaction.prepare();
        transaction.commit();
    } catch (const OsError& error) {
        const std::string note = rollback_note(transaction.roll_back());
        settle_record(record, note);
        throw OsError(error.kind(), error.error_number(), error.what() + note);
    } catch (const ValueError& error) {
        const std::string note = rollback_note(transaction.roll_back());
        settle_record(record, note);
        throw ValueError(error.what() + note);
    }
    transaction.finish();
    std::error_code error;
    fs::remove_all(staging, error);
    if (error) throw OsError::from_errno(error.value(), fmt::format("cannot remove {}: {}", staging, error.message()));
    record.remove();
}

namespace testing {
CommitHook set_commit_hook(CommitHook hook) { return std::exchange(commit_hook, hook); }
}  // namespace testing

}  // namespace tarnwick::bundle::commands
