#pragma once
// What an install of the sample bundle leaves beside its staging folder while it runs, so that
// an install killed at any moment is settled by the next run that looks: the bundle's files are
// then either all as they were or all the archive's.
//
// The record ".tarnwick-install" in the bundle folder lists, as the install goes:
//   - every side file and folder it creates before it creates it (copies and links about to be
//     renamed into place, hard links that keep replaced files, new folders);
//   - then, once everything is prepared, every rename of the commit phase (what goes where),
//     followed by a commit mark, synced to disk before the first rename.
// Settling a record without the commit mark undoes the install (nothing of the bundle was
// replaced yet): the side files, new folders and the staging folder go. With the mark it is
// finished: every rename not yet done is done, then the side files and the staging folder go.
// The record is removed last, so a kill while settling is settled again by the next run.
//
// Entries are appended with one write each (a killed process cannot tear one; a torn last
// entry, as a power cut can leave, is ignored), and paths are relative to the bundle folder, so
// a moved bundle still settles. The entries of side files are synced before the files are made
// (one sync for all of them), so a power cut cannot leave a side file the record does not name;
// all file operations go through the file-system seam, where a power cut can be simulated.
//
// Installs and settling hold the bundle folder's lock (InstallLock): one at a time.
#include <cstdint>
#include <filesystem>
#include <new>
#include <optional>
#include <string>

#include "tarnwick/bundle/fs/env.hpp"

namespace tarnwick::bundle::layout {

// Hidden, and not store file names, so no listing of the bundle's stores sees them.
inline constexpr const char* STAGING_FOLDER_NAME = ".tarnwick-unpacking";
inline constexpr const char* INSTALL_RECORD_NAME = ".tarnwick-install";

// An exclusive lock on the bundle folder itself (flock), so no lock file is ever left behind,
// and a killed install's lock goes with its process. Taken again by the process that holds it
// (the install command, then its unpacking), it is simply shared.
class InstallLock {
public:
    // Throws OsError (WouldBlock) naming the bundle when another install holds the lock.
    explicit InstallLock(const std::filesystem::path& bundle);
    // nullopt when another install holds the lock.
    static std::optional<InstallLock> try_take(const std::filesystem::path& bundle);
    const std::filesystem::path& bundle() const { return bundle_; }

    ~InstallLock();
    InstallLock(InstallLock&& other) noexcept;
    InstallLock(const InstallLock&) = delete;
    InstallLock& operator=(const InstallLock&) = delete;
    InstallLock& operator=(InstallLock&&) = delete;

private:
    InstallLock(const std::filesystem::path& bundle, std::nothrow_t);
    std::filesystem::path bundle_;  // canonical
    fs::Descriptor fd_;             // holds the flock; empty when this process held it already
    bool held_ = false;
};

// The shared side of the install lock, held by an update for its whole run: installs wait for
// running updates and updates for a running install (an install renames new files over store
// files, which an update must not be writing). Each side waits a bounded time (an update
// UPDATE_WAIT, an install INSTALL_WAIT) and then refuses, naming what is running. A process
// that holds either side already takes nothing more.
class UpdateLock {
public:
    // Throws OsError (WouldBlock) naming the bundle when an install kept it past the wait.
    explicit UpdateLock(const std::filesystem::path& bundle);
    ~UpdateLock();
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;

private:
    std::filesystem::path bundle_;
    fs::Descriptor fd_;
    bool held_ = false;
};

class InstallRecord {
public:
    // Starts a record afresh. REQUIRES: `lock` is held and the previous install was settled.
    explicit InstallRecord(const InstallLock& lock);
    InstallRecord(const InstallRecord&) = delete;
    InstallRecord& operator=(const InstallRecord&) = delete;

    // Before the install creates a side file or a folder; sync() before creating it.
    void will_create(const std::filesystem::path& path);
    void will_create_folder(const std::filesystem::path& path);
    // Makes the entries so far durable: what they name may then be created.
    void sync();
    // Before the commit phase: the renames it makes, in order, then the mark (synced).
    void will_rename(const std::filesystem::path& from, const std::filesystem::path& to);
    void commit_mark();
    // The install is settled (finished or undone): the record goes.
    void remove();

private:
    void append(char kind, const std::filesystem::path& path, const std::filesystem::path& second = {});
    std::filesystem::path bundle_;
    fs::Descriptor fd_;
    std::uint64_t size_ = 0;  // where the next entry goes
};

enum class Settled { Nothing, Undone, Finished };

// Finishes or undoes what a killed install left in the lock's bundle (see above); a staging
// folder without a record (killed while unpacking) is removed. Throws OsError when a rename
// or a removal fails; the record then stays for the next try.
Settled settle_unfinished_install(const InstallLock& lock);
// The same, for runs that are not installs (an update, a check): does nothing when no record
// or staging folder is there, or while an install holds the lock.
Settled settle_unfinished_install_if_any(const std::filesystem::path& bundle);

// What a killed install left ("" when nothing, or while an install runs): for status.
std::string unfinished_install(const std::filesystem::path& bundle);

}  // namespace tarnwick::bundle::layout
