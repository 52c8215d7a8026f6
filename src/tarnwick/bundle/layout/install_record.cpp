#include "tarnwick/bundle/layout/install_record.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::layout {
namespace stdfs = std::filesystem;
namespace seam = tarnwick::bundle::fs;
namespace {

constexpr char SIDE_FILE = 'N';
constexpr char FOLDER = 'F';
constexpr char RENAME = 'R';
constexpr char COMMIT = 'C';
// How long an install waits for running updates, and an update for a running install (README).
constexpr auto INSTALL_WAIT = std::chrono::seconds(10);
constexpr auto UPDATE_WAIT = std::chrono::seconds(30);

using seam::throw_errno;

// The bundles this process holds the lock of, and how often it took each.
std::map<stdfs::path, int>& held_here() {
    static std::map<stdfs::path, int> held;
    return held;
}

stdfs::path canonical_or_given(const stdfs::path& path) {
    std::error_code error;
    const stdfs::path canonical = stdfs::canonical(path, error);
    return error ? path : canonical;
}

struct Entry {
    char kind;
    stdfs::path first;
    stdfs::path second;
};

// Fields are "<length>:<bytes>": a path may hold any byte but NUL, newlines included.
std::string field(const std::string& text) { return std::to_string(text.size()) + ":" + text; }

bool read_field(const std::string& data, std::size_t& at, std::string& out) {
    const std::size_t colon = data.find(':', at);
    if (colon == std::string::npos || colon == at || colon - at > 10) return false;
    std::size_t length = 0;
    for (std::size_t k = at; k < colon; ++k) {
        if (data[k] < '0' || data[k] > '9') return false;
        length = length * 10 + static_cast<std::size_t>(data[k] - '0');
    }
    if (data.size() - colon - 1 < length) return false;
    out = data.substr(colon + 1, length);
    at = colon + 1 + length;
    return true;
}

// The whole entries of the record; a torn last one is left out.
std::vector<Entry> read_entries(const stdfs::path& record) {
    std::string data;
    {
        seam::Descriptor fd;
        if (const int err = seam::Descriptor::open(record, O_RDONLY, 0, fd))
            throw_errno(err, fmt::format("cannot read {}", record.string()));
        char buffer[65536];
        for (std::size_t got = sizeof buffer; got == sizeof buffer;) {
            if (const int err = seam::read_full(fd.get(), buffer, sizeof buffer, data.size(), got))
                throw_errno(err, fmt::format("cannot read {}", record.string()));
            data.append(buffer, got);
        }
    }
    std::vector<Entry> entries;
    for (std::size_t at = 0; at < data.size();) {
        Entry entry{data[at++], {}, {}};
        std::string first, second;
        const bool paths = entry.kind != COMMIT;
        if (paths && !read_field(data, at, first)) break;
        if (entry.kind == RENAME && !read_field(data, at, second)) break;
        if (at >= data.size() || data[at] != '\n') break;
        ++at;
        entry.first = first;
        entry.second = second;
        entries.push_back(std::move(entry));
    }
    return entries;
}

void sync_folder(const stdfs::path& folder) {
    if (const int err = seam::sync_folder(folder))
        throw_errno(err, fmt::format("cannot write the folder {} to disk", folder.string()));
}

void sync_folders(const std::set<stdfs::path>& folders) {
    for (const stdfs::path& folder : folders) sync_folder(folder);
}

// Removes a side file; its folder is to be synced.
void remove_side_file(const stdfs::path& path, std::set<stdfs::path>& touched) {
    if (seam::env().unlink(path) == 0) touched.insert(path.parent_path());
}

void remove_staging(const stdfs::path& staging) {
    std::error_code error;
    stdfs::remove_all(staging, error);
    if (error) throw_errno(error.value(), fmt::format("cannot remove {}", staging.string()));
}

void remove_record(const stdfs::path& bundle) {
    const stdfs::path record = bundle / INSTALL_RECORD_NAME;
    if (const int err = seam::env().unlink(record); err && err != ENOENT)
        throw_errno(err, fmt::format("cannot remove {}", record.string()));
    sync_folder(bundle);
}

// No rename was made: everything the install created goes, the bundle's files are untouched.
// Their removal is synced before the record goes, so none of them comes back after a power cut.
void undo(const stdfs::path& bundle, const std::vector<Entry>& entries) {
    std::set<stdfs::path> touched;
    for (const Entry& e : entries)
        if (e.kind == SIDE_FILE) remove_side_file(bundle / e.first, touched);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        if (it->kind == FOLDER && ::rmdir((bundle / it->first).c_str()) == 0)
            touched.insert((bundle / it->first).parent_path());
    std::error_code gone;
    for (auto it = touched.begin(); it != touched.end();)  // a removed new folder took its side files
        it = stdfs::exists(*it, gone) ? std::next(it) : touched.erase(it);
    sync_folders(touched);
}

// The commit was under way: the renames not yet made are made, the replaced files' backups go,
// and the new folders get the archive's mode and time from their staged counterparts.
// Both folders of every rename are synced before the record goes.
void finish(const stdfs::path& bundle, const std::vector<Entry>& entries) {
    std::set<stdfs::path> touched;
    for (const Entry& e : entries) {
        if (e.kind != RENAME) continue;
        const stdfs::path from = bundle / e.first;
        const stdfs::path to = bundle / e.second;
        struct stat st {};
        if (::lstat(from.c_str(), &st) != 0) continue;  // renamed before the kill
        // A new folder whose creation a power cut undid is made again.
        std::error_code missing;
        stdfs::create_directories(to.parent_path(), missing);
        if (const int err = seam::env().rename(from, to, true))
            throw_errno(err,
                        fmt::format("cannot finish the interrupted install: cannot move {} into place", to.string()));
        touched.insert(from.parent_path());
        touched.insert(to.parent_path());
    }
    for (const Entry& e : entries) {
        if (e.kind == SIDE_FILE) remove_side_file(bundle / e.first, touched);
        if (e.kind != FOLDER) continue;
        struct stat staged {};
        if (::stat((bundle / STAGING_FOLDER_NAME / e.first).c_str(), &staged) != 0) continue;
        const struct timespec times[2] = {staged.st_atim, staged.st_mtim};
        ::chmod((bundle / e.first).c_str(), staged.st_mode & 07777);
        ::utimensat(AT_FDCWD, (bundle / e.first).c_str(), times, 0);
    }
    sync_folders(touched);
}

}  // namespace

InstallLock::InstallLock(const stdfs::path& bundle, std::nothrow_t) : bundle_(canonical_or_given(bundle)) {
    if (held_here()[bundle_] > 0) {
        ++held_here()[bundle_];
        held_ = true;
        return;
    }
    if (const int err = seam::Descriptor::open(bundle_, O_RDONLY | O_DIRECTORY, 0, fd_))
        throw_errno(err, fmt::format("cannot open {}", bundle_.string()));
    const int err = seam::env().lock(fd_.get(), seam::Lock::Exclusive);
    if (err == 0) {
        ++held_here()[bundle_];
        held_ = true;
        return;
    }
    if (err != EWOULDBLOCK) throw_errno(err, fmt::format("cannot lock {}", bundle_.string()));
}

InstallLock::InstallLock(const stdfs::path& bundle) : InstallLock(bundle, std::nothrow) {
    if (held_) return;
    // Running updates hold the shared side for their whole run: they are waited for a while.
    if (seam::retry_lock([&] { return seam::env().lock(fd_.get(), seam::Lock::Exclusive); }, INSTALL_WAIT) == 0) {
        ++held_here()[bundle_];
        held_ = true;
        return;
    }
    // Shared holders are updates; an exclusive one is another install.
    seam::Descriptor probe;
    bool updates = false;
    if (seam::Descriptor::open(bundle_, O_RDONLY | O_DIRECTORY, 0, probe) == 0 &&
        seam::env().lock(probe.get(), seam::Lock::Shared) == 0)
        updates = true;
    throw OsError(OsError::Kind::WouldBlock, EWOULDBLOCK,
                  fmt::format("{} into {} is running; nothing was changed (install again when it has ended)",
                              updates ? "an update of the store files" : "another install", bundle.string()));
}

namespace {
// The bundles whose update lock this process holds, with the count of holders.
std::map<stdfs::path, int>& shared_here() {
    static std::map<stdfs::path, int> held;
    return held;
}
}  // namespace

UpdateLock::UpdateLock(const stdfs::path& bundle) : bundle_(canonical_or_given(bundle)) {
    const auto install = held_here().find(bundle_);
    if ((install != held_here().end() && install->second > 0) || shared_here().contains(bundle_)) {
        ++shared_here()[bundle_];
        held_ = true;
        return;
    }
    std::error_code missing;
    if (!stdfs::is_directory(bundle_, missing)) return;  // a first download makes the folder later
    if (const int err = seam::Descriptor::open(bundle_, O_RDONLY | O_DIRECTORY, 0, fd_))
        throw_errno(err, fmt::format("cannot open {}", bundle_.string()));
    const int err = seam::retry_lock([&] { return seam::env().lock(fd_.get(), seam::Lock::Shared); }, UPDATE_WAIT);
    if (err == EWOULDBLOCK)
        throw OsError(OsError::Kind::WouldBlock, EWOULDBLOCK,
                      fmt::format("an install into {} is running; nothing was updated (update again when it has "
                                  "ended)",
                                  bundle.string()));
    if (err) throw_errno(err, fmt::format("cannot lock {}", bundle_.string()));
    ++shared_here()[bundle_];
    held_ = true;
}

UpdateLock::~UpdateLock() {
    if (held_ && --shared_here()[bundle_] == 0) shared_here().erase(bundle_);
}

std::optional<InstallLock> InstallLock::try_take(const stdfs::path& bundle) {
    InstallLock lock(bundle, std::nothrow);
    if (!lock.held_) return std::nullopt;
    return lock;
}

InstallLock::InstallLock(InstallLock&& other) noexcept
    : bundle_(std::move(other.bundle_)), fd_(std::move(other.fd_)), held_(std::exchange(other.held_, false)) {}

InstallLock::~InstallLock() {
    if (held_ && --held_here()[bundle_] == 0) held_here().erase(bundle_);
}

InstallRecord::InstallRecord(const InstallLock& lock) : bundle_(lock.bundle()) {
    const stdfs::path record = bundle_ / INSTALL_RECORD_NAME;
    if (const int err = seam::Descriptor::open(record, O_WRONLY | O_CREAT | O_TRUNC, 0600, fd_))
        throw_errno(err, fmt::format("cannot create {}", record.string()));
}

void InstallRecord::append(char kind, const stdfs::path& path, const stdfs::path& second) {
    std::string entry(1, kind);
    if (kind != COMMIT) entry += field(path.lexically_relative(bundle_).string());
    if (kind == RENAME) entry += field(second.lexically_relative(bundle_).string());
    entry += '\n';
    if (const int err = seam::write_all(fd_.get(), entry.data(), entry.size(), size_))
        throw_errno(err, fmt::format("cannot write {}", (bundle_ / INSTALL_RECORD_NAME).string()));
    size_ += entry.size();
}

void InstallRecord::sync() {
    if (const int err = seam::env().sync(fd_.get(), seam::Sync::All))
        throw_errno(err, fmt::format("cannot write {} to disk", (bundle_ / INSTALL_RECORD_NAME).string()));
    sync_folder(bundle_);  // the record's own name
}

void InstallRecord::will_create(const stdfs::path& path) { append(SIDE_FILE, path); }
void InstallRecord::will_create_folder(const stdfs::path& path) { append(FOLDER, path); }
void InstallRecord::will_rename(const stdfs::path& from, const stdfs::path& to) { append(RENAME, from, to); }

void InstallRecord::commit_mark() {
    append(COMMIT, {});
    sync();  // the renames must not reach the disk before the record that finishes them
}

void InstallRecord::remove() {
    static_cast<void>(fd_.close());  // the record goes: what close() could report no longer matters
    remove_record(bundle_);
}

Settled settle_unfinished_install(const InstallLock& lock) {
    const stdfs::path& bundle = lock.bundle();
    const stdfs::path record = bundle / INSTALL_RECORD_NAME;
    const stdfs::path staging = bundle / STAGING_FOLDER_NAME;
    std::error_code error;
    const bool has_record = stdfs::exists(stdfs::symlink_status(record, error));
    if (!has_record) {
        if (!stdfs::exists(stdfs::symlink_status(staging, error))) return Settled::Nothing;
        remove_staging(staging);
        return Settled::Undone;
    }
    const std::vector<Entry> entries = read_entries(record);
    const bool committing =
        std::any_of(entries.begin(), entries.end(), [](const Entry& e) { return e.kind == COMMIT; });
    if (committing)
        finish(bundle, entries);
    else
        undo(bundle, entries);
    remove_staging(staging);
    remove_record(bundle);
    return committing ? Settled::Finished : Settled::Undone;
}

Settled settle_unfinished_install_if_any(const stdfs::path& bundle) {
    std::error_code error;
    if (!stdfs::exists(stdfs::symlink_status(bundle / INSTALL_RECORD_NAME, error)) &&
        !stdfs::exists(stdfs::symlink_status(bundle / STAGING_FOLDER_NAME, error)))
        return Settled::Nothing;
    const auto lock = InstallLock::try_take(bundle);
    if (!lock) return Settled::Nothing;  // an install is running: it is not unfinished
    return settle_unfinished_install(*lock);
}

std::string unfinished_install(const stdfs::path& bundle) {
    std::error_code error;
    const bool record = stdfs::exists(stdfs::symlink_status(bundle / INSTALL_RECORD_NAME, error));
    const bool staging = stdfs::exists(stdfs::symlink_status(bundle / STAGING_FOLDER_NAME, error));
    if (!record && !staging) return {};
    if (!InstallLock::try_take(bundle)) return {};  // an install is running
    if (record) return INSTALL_RECORD_NAME;
    return STAGING_FOLDER_NAME;
}

}  // namespace tarnwick::bundle::layout
