#include "tarnwick/bundle/layout/install_record.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::layout {
namespace fs = std::filesystem;
namespace {

constexpr char SIDE_FILE = 'N';
constexpr char FOLDER = 'F';
constexpr char RENAME = 'R';
constexpr char COMMIT = 'C';
constexpr int LOCK_RETRIES = 40;
constexpr auto LOCK_RETRY_PAUSE = std::chrono::milliseconds(50);

[[noreturn]] void throw_errno(int err, const std::string& what) {
    throw OsError::from_errno(err, fmt::format("{}: {}", what, std::strerror(err)));
}

// The bundles this process holds the lock of, and how often it took each.
std::map<fs::path, int>& held_here() {
    static std::map<fs::path, int> held;
    return held;
}

fs::path canonical_or_given(const fs::path& path) {
    std::error_code error;
    const fs::path canonical = fs::canonical(path, error);
    return error ? path : canonical;
}

struct Entry {
    char kind;
    fs::path first;
    fs::path second;
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
std::vector<Entry> read_entries(const fs::path& record) {
    std::string data;
    {
        host::FileDescriptor fd(::open(record.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) throw_errno(errno, fmt::format("cannot read {}", record.string()));
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw_errno(errno, fmt::format("cannot read {}", record.string()));
            if (n == 0) break;
            data.append(buffer, static_cast<std::size_t>(n));
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

void sync_folder(const fs::path& folder) noexcept {
    host::FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) ::fsync(fd.get());
}

void remove_staging(const fs::path& staging) {
    std::error_code error;
    fs::remove_all(staging, error);
    if (error) throw_errno(error.value(), fmt::format("cannot remove {}", staging.string()));
}

void remove_record(const fs::path& bundle) {
    const fs::path record = bundle / INSTALL_RECORD_NAME;
    if (::unlink(record.c_str()) != 0 && errno != ENOENT)
        throw_errno(errno, fmt::format("cannot remove {}", record.string()));
    sync_folder(bundle);
}

// No rename was made: everything the install created goes, the bundle's files are untouched.
void undo(const fs::path& bundle, const std::vector<Entry>& entries) {
    for (const Entry& e : entries)
        if (e.kind == SIDE_FILE) ::unlink((bundle / e.first).c_str());
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        if (it->kind == FOLDER) ::rmdir((bundle / it->first).c_str());
}

// The commit was under way: the renames not yet made are made, the replaced files' backups go,
// and the new folders get the archive's mode and time from their staged counterparts.
void finish(const fs::path& bundle, const std::vector<Entry>& entries) {
    std::vector<fs::path> touched;
    for (const Entry& e : entries) {
        if (e.kind != RENAME) continue;
        const fs::path from = bundle / e.first;
        const fs::path to = bundle / e.second;
        struct stat st {};
        if (::lstat(from.c_str(), &st) != 0) continue;  // renamed before the kill
        if (::rename(from.c_str(), to.c_str()) != 0)
            throw_errno(errno,
                        fmt::format("cannot finish the interrupted install: cannot move {} into place", to.string()));
        touched.push_back(to.parent_path());
    }
    for (const Entry& e : entries) {
        if (e.kind == SIDE_FILE) ::unlink((bundle / e.first).c_str());
        if (e.kind != FOLDER) continue;
        struct stat staged {};
        if (::stat((bundle / STAGING_FOLDER_NAME / e.first).c_str(), &staged) != 0) continue;
        const struct timespec times[2] = {staged.st_atim, staged.st_mtim};
        ::chmod((bundle / e.first).c_str(), staged.st_mode & 07777);
        ::utimensat(AT_FDCWD, (bundle / e.first).c_str(), times, 0);
    }
    for (const fs::path& folder : touched) sync_folder(folder);
}

}  // namespace

InstallLock::InstallLock(const fs::path& bundle, std::nothrow_t) : bundle_(canonical_or_given(bundle)) {
    if (held_here()[bundle_] > 0) {
        ++held_here()[bundle_];
        held_ = true;
        return;
    }
    fd_ = host::FileDescriptor(::open(bundle_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd_.get() < 0) throw_errno(errno, fmt::format("cannot open {}", bundle_.string()));
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
        ++held_here()[bundle_];
        held_ = true;
        return;
    }
    if (errno != EWOULDBLOCK) throw_errno(errno, fmt::format("cannot lock {}", bundle_.string()));
}

InstallLock::InstallLock(const fs::path& bundle) : InstallLock(bundle, std::nothrow) {
    // A moment's wait lets a run that only looks (status, an update settling nothing) go by.
    for (int k = 0; !held_ && k < LOCK_RETRIES; ++k) {
        std::this_thread::sleep_for(LOCK_RETRY_PAUSE);
        if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
            ++held_here()[bundle_];
            held_ = true;
        }
    }
    if (!held_)
        throw OsError(OsError::Kind::WouldBlock, EWOULDBLOCK,
                      fmt::format("another install into {} is running; nothing was changed (install again when it "
                                  "has ended)",
                                  bundle.string()));
}

std::optional<InstallLock> InstallLock::try_take(const fs::path& bundle) {
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
    const fs::path record = bundle_ / INSTALL_RECORD_NAME;
    fd_ = host::FileDescriptor(::open(record.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600));
    if (fd_.get() < 0) throw_errno(errno, fmt::format("cannot create {}", record.string()));
}

void InstallRecord::append(char kind, const fs::path& path, const fs::path& second) {
    std::string entry(1, kind);
    if (kind != COMMIT) entry += field(path.lexically_relative(bundle_).string());
    if (kind == RENAME) entry += field(second.lexically_relative(bundle_).string());
    entry += '\n';
    for (std::size_t done = 0; done < entry.size();) {
        const ssize_t n = ::write(fd_.get(), entry.data() + done, entry.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw_errno(errno, fmt::format("cannot write {}", (bundle_ / INSTALL_RECORD_NAME).string()));
        done += static_cast<std::size_t>(n);
    }
}

void InstallRecord::will_create(const fs::path& path) { append(SIDE_FILE, path); }
void InstallRecord::will_create_folder(const fs::path& path) { append(FOLDER, path); }
void InstallRecord::will_rename(const fs::path& from, const fs::path& to) { append(RENAME, from, to); }

void InstallRecord::commit_mark() {
    append(COMMIT, {});
    // The renames must not reach the disk before the record that finishes them.
    if (::fsync(fd_.get()) != 0)
        throw_errno(errno, fmt::format("cannot write {} to disk", (bundle_ / INSTALL_RECORD_NAME).string()));
    sync_folder(bundle_);
}

void InstallRecord::remove() {
    fd_.close();
    remove_record(bundle_);
}

Settled settle_unfinished_install(const InstallLock& lock) {
    const fs::path& bundle = lock.bundle();
    const fs::path record = bundle / INSTALL_RECORD_NAME;
    const fs::path staging = bundle / STAGING_FOLDER_NAME;
    std::error_code error;
    const bool has_record = fs::exists(fs::symlink_status(record, error));
    if (!has_record) {
        if (!fs::exists(fs::symlink_status(staging, error))) return Settled::Nothing;
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

Settled settle_unfinished_install_if_any(const fs::path& bundle) {
    std::error_code error;
    if (!fs::exists(fs::symlink_status(bundle / INSTALL_RECORD_NAME, error)) &&
        !fs::exists(fs::symlink_status(bundle / STAGING_FOLDER_NAME, error)))
        return Settled::Nothing;
    const auto lock = InstallLock::try_take(bundle);
    if (!lock) return Settled::Nothing;  // an install is running: it is not unfinished
    return settle_unfinished_install(*lock);
}

std::string unfinished_install(const fs::path& bundle) {
    std::error_code error;
    const bool record = fs::exists(fs::symlink_status(bundle / INSTALL_RECORD_NAME, error));
    const bool staging = fs::exists(fs::symlink_status(bundle / STAGING_FOLDER_NAME, error));
    if (!record && !staging) return {};
    if (!InstallLock::try_take(bundle)) return {};  // an install is running
    if (record) return INSTALL_RECORD_NAME;
    return STAGING_FOLDER_NAME;
}

}  // namespace tarnwick::bundle::layout
