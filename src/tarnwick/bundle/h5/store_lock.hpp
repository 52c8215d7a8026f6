#pragma once
// How writers and readers of a store file share it, in the manner of SQLite's rollback-journal
// locking adapted to one file. Internal to h5/ (the driver, the undo journal, the deferred
// commits); the layers above see it through h5/journal.hpp.
//
// Three locks on every store file, each for one purpose:
//   - flock SHARED, held by every reader for as long as it has the file open (HDF5 takes it
//     itself, so h5py and every HDF5 program are readers of this kind) and by a writer for its
//     whole update: a second writer that uses HDF5's own locking (an h5py writer, an older
//     build of this tool) asks for flock EXCLUSIVE and is refused.
//   - the writer byte (an open-file-description lock, independent of flock on a local file
//     system), EXCLUSIVE for the writer's whole update: writers of this tool and remove_h5
//     keep each other out with it; readers never touch it.
//   - the pending byte, EXCLUSIVE while a writer wants to enter or is in its commit window:
//     our readers wait before they take their flock, so a writer waiting for the readers
//     already inside is not starved by new ones.
// The commit window is the only time a writer writes into bytes the file held at its last
// commit (applying its overwrites, syncing, clearing the journal's commit mark, or rolling
// back what such writes did): it holds flock EXCLUSIVE then, so no reader of any kind is
// inside. Outside the window the file holds its last committed state below the committed end,
// and only bytes past that end change: a reader reads the committed state as it stands.
//
// Where flock is only emulated (network file systems, FUSE: fs::flock_is_emulated), a writer
// holds flock EXCLUSIVE for its whole update as before, and readers are refused meanwhile.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarnwick::bundle::h5::detail {

// Far past the end of any store file; byte locks there never meet HDF5's own.
inline constexpr std::uint64_t WRITER_BYTE = std::uint64_t{1} << 62;
inline constexpr std::uint64_t PENDING_BYTE = WRITER_BYTE + 1;

// How long our readers wait for a commit window (and the writer waiting to enter it), and how
// long a writer waits for readers to leave before it gives the file's update up: from
// TARNWICK_READ_WAIT_SECONDS (default 30) and TARNWICK_COMMIT_WAIT_SECONDS (default 10).
std::chrono::milliseconds read_wait();
std::chrono::milliseconds commit_wait();

// A writer's locks for its whole update (never waiting): 0, or EWOULDBLOCK when another
// writer holds the file (nothing is then held). `exclusive` says whether the file system
// needed the old whole-update exclusive lock.
int lock_for_writing(int fd, bool& exclusive);
// A reader's lock, waiting for a commit window (and a writer about to enter one) at most
// read_wait(): 0 or the errno of the last attempt.
int lock_for_reading(int fd);
// Whether another process is updating the file open at `fd` (holds its writer byte, or
// HDF5's exclusive lock); false when it cannot tell.
bool held_for_writing(int fd);

// Runs `inside(i)` for each file of `fds` (each held with lock_for_writing) within that file's
// commit window, all under one deadline `bound`: each window is entered as soon as that file's
// readers have left (a file found with readers inside gets its pending mark), `inside` runs, and the
// window is left before the next file is waited for (no window is held while waiting for
// another file's readers). Returns per file what `inside` returned, or EWOULDBLOCK for a file
// whose readers stayed past the deadline (`inside` did not run; its pending mark is gone).
std::vector<int> run_in_windows(const std::vector<int>& fds, std::chrono::milliseconds bound,
                                const std::function<int(std::size_t)>& inside);

// One file's window: 0, EWOULDBLOCK (readers stayed past commit_wait()) or what `inside` said.
int run_in_window(int fd, const std::function<int()>& inside);

}  // namespace tarnwick::bundle::h5::detail
