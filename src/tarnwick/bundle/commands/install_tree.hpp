#pragma once
// Moving a fully unpacked tree into the bundle folder as one all-or-nothing step.
//
// The sample archive is first unpacked into a staging folder beside the bundle's files; only a
// complete, fully written tree reaches this step. It then runs in three phases:
//   1. Prepare (changes nothing a reader could see): create the folders the tree needs that do
//      not exist yet; for every file and link, make the copy that will be renamed over its
//      destination (the staged file itself when it lies on the destination's file system, else a
//      copy beside the destination: a folder of the bundle may be a symbolic link to another
//      disk, where rename fails with EXDEV); hard-link every file about to be replaced to a backup
//      name beside it. Staged files and copies are synced to disk first.
//   2. Commit: rename each prepared file over its destination (atomic per file).
//   3. Finish: drop the backups, give created folders the archive's mode and time, sync the
//      folders whose entries changed (both folders of every rename).
// A failure in 1 or 2 rolls back: renamed files get their backups renamed back (or are removed
// when nothing was there), copies, backups and created folders are removed. The bundle is then
// as it was, and the error says so. A kill is settled by the next run from the install record
// (layout/install_record.hpp): every side file and folder is recorded (and synced, once for all)
// before any is made, and
// the renames of phase 2 with a commit mark before the first of them, so the next run undoes a
// kill in phase 1 and finishes one in phases 2 and 3. The staging folder and then the record
// are removed at the end.
//
// Existing folders of the bundle are followed, symbolic links to folders included: those are the
// user's (a "ticks" folder moved to another disk). A file of the tree never replaces a folder and
// a folder never replaces a file; either is refused in phase 1.
//
// Side files are named ".<name>.tarnwick-new" and ".<name>.tarnwick-old" beside the destination
// (numbered on, ".1", when the tree holds a member of that name); they never end in ".h5", so no
// listing of store files sees them.
//
// REQUIRES: `staging` holds only folders, regular files and symbolic links; the caller holds the
// bundle's install lock and settled any earlier install; no other process writes to `staging` or
// to the same destinations meanwhile.
#include <cstddef>
#include <string>

#include "tarnwick/bundle/layout/install_record.hpp"

namespace tarnwick::bundle::commands {

// Moves everything below `staging` to the same relative paths below `dest`, the lock's bundle
// folder. On success `staging` is removed; on failure it is left with whatever was not renamed
// away, for the caller to remove. Throws OsError for file-system failures (the text ends with
// what the rollback did) and ValueError for a file/folder clash.
void move_tree_into_place(const std::string& staging, const std::string& dest, const layout::InstallLock& lock);

namespace testing {
// Called at each point of the commit phase where a kill leaves a different bundle: 0 before the
// commit mark, i (1..n) before the i-th of the n renames, n + 1 after the last. Tests kill there.
using CommitHook = void (*)(std::size_t point);
CommitHook set_commit_hook(CommitHook hook);
}  // namespace testing

}  // namespace tarnwick::bundle::commands
