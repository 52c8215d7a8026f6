#pragma once
// An HDF5 file driver that keeps an undo journal, so that an update of a store file that is
// interrupted at any moment (killed, crashed, a full disk, any failed write) can be undone to
// the file's last committed state, byte for byte.
//
// Why: HDF5 is not crash-consistent while it rewrites a file. It moves a rewritten chunk, may
// hand the freed space to the next allocation while the file is open, and writes its metadata
// in whatever order its cache evicts it. A process that dies half-way can leave an on-disk
// chunk index that points at space now holding other bytes: days that were stored long ago are
// silently damaged. No write order on our side can prevent that, so the driver undoes it.
//
// How (in the manner of a rollback journal):
//   1. A file opened for writing is locked against other writers for as long as it is open,
//      and against readers only within its commit windows (store_lock.hpp): readers read the
//      last committed state meanwhile, through the journal's originals where the file's own
//      bytes are not it (a writer that died between its window's writes and its commit).
//   2. The file's size when it was opened (or last committed) is its baseline. Before the first
//      write, "<file>.journal" is created with the baseline in its header. Before any byte
//      below the baseline is overwritten or truncated away for the first time, its original
//      content is appended to the journal. Bytes above the baseline need no journal.
//   3. Commit: once the file is complete on disk (a successful flush, or a close after writes
//      that all succeeded), the journal's magic is cleared (one small write: the commit point)
//      and it is kept open for the file's next update, which writes a new header over it; the
//      close deletes it. Each update's records carry its generation, so that records of an
//      earlier update still lying past the end of the current one's are never restored.
//   4. Rollback: every journaled range is written back and the file is cut to the baseline;
//      then the journal goes. It happens when a file is closed after a failed write or after
//      abandon(), and when a file with a journal is opened for writing (its writer died: the
//      journal is stale because the lock was free). Rollback is idempotent, so a rollback that
//      is itself interrupted is simply done again.
// The journal is written before the file with plain write() calls and is not synced: a killed
// process loses nothing that the kernel has accepted, but a power loss or kernel crash can
// lose the journal's order with respect to the file (not guaranteed; see the README).
//
// Files created anew (truncated to zero) have no baseline to protect and keep no journal; they
// are built under a temporary name and published by rename.
//
// REQUIRES: one thread per open file (HDF5's serial build is not thread-safe anyway).
#include <hdf5.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tarnwick/bundle/fs/env.hpp"

namespace tarnwick::bundle::h5 {

// The registered driver's id (registered on first use).
hid_t journaled_driver();

// "<file>.journal".
std::string journal_path(const std::string& file);

// A stale journal that does not belong to its file (made for another file of its name, or the
// file changed since without it) is never applied nor deleted: it is renamed to
// "<file>.journal.rejected-YYYYMMDD-HHMMSS" (local time; "-2", "-3"... when taken) and a
// warning names it. It stays until the user removes it; status and check list it.
inline constexpr const char* REJECTED_INFIX = ".rejected-";

// Where those warnings go. This layer sits below the log, so the log installs itself here;
// until then they go to standard error. Returns the previous one; nullptr restores the default.
using JournalWarningReporter = void (*)(const std::string& text);
JournalWarningReporter set_journal_warning_reporter(JournalWarningReporter reporter);

// Undoes the interrupted update that a stale journal beside `file` records, if there is one.
// Returns true when it found a journal (and settled it; an empty one, left by a writer killed
// after a commit, restores nothing; one of another file is set aside). Throws OsError (would
// block) when another process holds the file, OsError for I/O errors (the journal is kept for
// the next attempt), and OsError (EPROTONOSUPPORT) for a journal of a newer version's format,
// which is kept where it is: only that version can settle it, and until then no writer opens
// the file.
bool recover_interrupted_update(const std::string& file);

// The message for a journal of a newer version's format beside `file`.
std::string newer_journal_message(const std::string& file);

// Whether another process is updating `path` (holds it for writing); false when it cannot
// tell (no such file, no permission). For the checks, which list such files as blocked
// instead of judging them.
bool held_for_writing(const std::string& path);

// Opens `path` and holds it as a writer does (every writer kept out, readers let in), having
// made sure that the name still names the file held; for removing a store file. Throws
// OsError: would block while another process updates it, no such file, ...
fs::Descriptor hold_for_writing(const std::string& path);

// A store file opened to read its last committed state without HDF5 (stored_format.hpp): locked
// as a reader of this driver is, and seen as the driver shows it to HDF5 (a dead writer's
// changes undone through its journal's originals, nothing past the committed end).
class CommittedFile {
public:
    // Empty when only HDF5 should open it here: this process has it open already (through the
    // driver, which shares one open per file). Throws OsError as an open through HDF5 fails:
    // no such file, would block (a commit window outlasted the read wait), ...
    static std::optional<CommittedFile> open(const std::string& path);
    CommittedFile(CommittedFile&&) noexcept;
    CommittedFile& operator=(CommittedFile&&) noexcept;
    ~CommittedFile();

    // `size` bytes at `offset` into `out`: zeros past the committed end. Throws OsError.
    void read(std::uint64_t offset, std::size_t size, void* out) const;
    // The committed end: bytes past it read as zeros.
    std::uint64_t size() const;
    const std::string& path() const;

private:
    struct State;
    explicit CommittedFile(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// For an open file of this driver (no-ops for others): commit() makes the file's current
// content the state a rollback returns to (REQUIRES: flushed), abandon() makes its close roll
// back to the last committed state instead of committing.
// commit() throws OsError when the file had a failed write (it will be rolled back) or when
// the journal cannot be emptied.
void commit(hid_t file_id);
void abandon(hid_t file_id);

// H5Fclose for files of this driver: what HDF5 writes as it closes a file with nothing written
// since its last commit (the superblock, the end of allocation) belongs to that commit.
herr_t close_file(hid_t file_id);

// Deferred commits, for a process that updates many files one after another (a pool worker):
// while on, a commit's durable steps wait, with the file kept open and locked, until a group of
// files is made durable with three syncs in all (see deferred_commits.hpp). A group is settled
// when it is full or its first commit has waited two seconds (looked at as files join it and
// at settle_deferred_commits(true)). A commit counts as made only once its group is settled:
// the owner reports work done only after that, and settles before it exits. A file whose steps
// fail is rolled back to its commit before and passed to `on_failure` with the owner it was
// committed under (set_deferred_commit_owner: the item of work). Switching deferral off
// settles what waits.
void defer_commits(bool on, std::function<void(const std::string& path, int err, std::size_t owner)> on_failure = {});
void set_deferred_commit_owner(std::size_t owner);
// Settles the waiting group (when `only_when_due`, only if it is due). Returns true when no
// commit waits any more: every commit made before the call is durable or was reported failed.
bool settle_deferred_commits(bool only_when_due = false) noexcept;

namespace testing {
// Files per group (0: as many as the descriptor limit allows); returns the previous setting.
std::size_t set_deferred_group_limit(std::size_t files);
}  // namespace testing

// The errno of the last close on this thread that could not settle its journal (commit or
// rollback), 0 when it could; reading it clears it. The journal then stays for the next writer.
int take_settle_error() noexcept;

}  // namespace tarnwick::bundle::h5
