#pragma once
// How this library's child processes live and die: the one engine behind the update pool, the
// check's isolated examination and status's readers.
//
// A run hands items 0 .. count-1 out to forked workers. Each worker runs the initializer once,
// then takes item after item from a counter in shared memory (so it needs no serialisation:
// everything the work needs was in memory at the fork) and reports one outcome per item over
// its pipe. The parent collects the outcomes as they arrive, in any order:
//
//   - Done: the work returned; its text travels back to the parent.
//   - Failed: the work threw; the exception's text (any exception, standard or not).
//   - Interrupted: the work abandoned the item on a stop request (it threw host::Interrupted).
//   - Died: the worker died while on the item (a crash, a kill); a replacement takes the items
//     left. A worker that dies before it took any item (in its initializer, by an OOM kill at
//     start) is replaced only within a small budget, then the items left are NotRun: a worker
//     that cannot start never makes the run spin.
//   - NotRun: the item was never started (the run was stopped, no worker could start).
//
// Stopping: in a stoppable run, SIGINT and SIGTERM of the parent stop handing out items and are
// forwarded to every worker, which abandons its item at its next safe point
// (host::throw_if_interrupted) and ends; workers that do not end within a grace period are
// killed. The parent may also stop handing out items from its outcome callback.
//
// Dying parent: every worker gets a signal when its parent dies (checked once more after it was
// asked for, so a parent that died during the fork is seen too). It abandons its item like on a
// stop request and, should it not reach a safe point, is ended by a watchdog within a second;
// its files are then rolled back by their undo journals at the next open.
//
// Every worker started is reaped on every path, also when the parent's callback throws.
//
// REQUIRES: used from one thread; the calling process does not reap its children itself.
#include <cstddef>
#include <functional>
#include <string>

#include <sys/types.h>

namespace tarnwick::bundle::host {

struct Outcome {
    enum class Kind { Done, Failed, Interrupted, Died, NotRun };
    Kind kind;
    std::string text;     // Done: what the work returned; otherwise why it did not complete
    int wait_status = 0;  // Died: the worker's status as waitpid() gave it
};

struct WorkerOptions {
    std::size_t workers = 1;            // at most this many alive at a time (never more than items)
    std::function<void()> initializer;  // once in every worker before its first item
    bool stoppable = false;             // SIGINT / SIGTERM stop the run (see above)
    // Workers that may die before taking an item, over the whole run, before the items left
    // are given up as NotRun.
    std::size_t start_deaths_allowed = 2;
    pid_t (*fork)() = nullptr;  // stands in for ::fork (tests)
};

// Runs `work` (in the workers) over count items and `on_outcome` (in this process) once for
// every item. `on_outcome` returns false to hand out no further items (those become NotRun).
// Returns the signal that stopped a stoppable run, 0 when it was not stopped.
int run_workers(std::size_t count, const WorkerOptions& options, const std::function<std::string(std::size_t)>& work,
                const std::function<bool(std::size_t, Outcome)>& on_outcome);

// "worker process was killed by signal 9 (Killed)", "worker process exited with status 1".
std::string describe_death(int wait_status);

}  // namespace tarnwick::bundle::host
