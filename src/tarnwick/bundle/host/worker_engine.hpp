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
// Work whose effects become durable only some time after it returned (an update whose commit
// waits for a group of commits, h5::defer_commits) sets WorkerOptions::durability. The engine
// itself knows nothing of what is made durable or how: it calls the hook its user set. An item
// whose work returned is then only written (on_written, for a progress display) and becomes
// Done when the worker says the hook made it durable; one whose effects could not be made
// durable is Failed, and every written item of a worker that dies before that is Died: a run
// never counts as done what a kill or a power cut can still take back.
//
// Stopping: in a stoppable run, SIGINT and SIGTERM of the parent stop handing out items and are
// forwarded to every worker, which abandons its item at its next safe point
// (host::throw_if_interrupted), makes durable what its finished items wrote, and ends; workers
// that do not end within STOP_GRACE are killed, and so are all at once on a second signal. The
// parent may also stop handing out items from its outcome callback.
//
// Dying parent: every worker gets a signal when its parent dies (checked once more after it was
// asked for, so a parent that died during the fork is seen too). It abandons its item like on a
// stop request and, should it not reach a safe point, is ended by a watchdog within a second;
// its files are then rolled back by their undo journals at the next open.
//
// Every worker started is reaped on every path, also when the parent's callback throws.
//
// REQUIRES: used from one thread; the calling process does not reap its children itself.
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace tarnwick::bundle::host {

struct Outcome {
    enum class Kind { Done, Failed, Interrupted, Died, NotRun };
    Kind kind;
    std::string text;     // Done: what the work returned; otherwise why it did not complete
    int wait_status = 0;  // Died: the worker's status as waitpid() gave it
};

// How long stopped workers get to abandon their item and make their finished items durable
// before they are killed. A killed update is undone by the next open of its file, so this bounds
// the wait, not the safety; the items it had not made durable are reported not done.
constexpr auto STOP_GRACE = std::chrono::seconds(5);

// Items that failed to become durable, with why.
using DurabilityFailures = std::vector<std::pair<std::size_t, std::string>>;

struct Durability {
    // In the worker, before each item's work: what is written from now on belongs to `item`.
    std::function<void(std::size_t item)> begin_item;
    // In the worker, after each item (final = false: makes things durable when it is due) and
    // once before the worker ends (final = true: everything, also when stopped). Returns true
    // when everything written before the call is durable except the items put in `failed`.
    std::function<bool(bool final, DurabilityFailures& failed)> settle;
};

struct WorkerOptions {
    std::size_t workers = 1;            // at most this many alive at a time (never more than items)
    std::function<void()> initializer;  // once in every worker before its first item
    bool stoppable = false;             // SIGINT / SIGTERM stop the run (see above)
    // Workers that may die before taking an item, over the whole run, before the items left
    // are given up as NotRun.
    std::size_t start_deaths_allowed = 2;
    pid_t (*fork)() = nullptr;  // stands in for ::fork (tests)
    Durability durability;      // unset: an item is done when its work returns
    // In this process: an item's work returned, it is not durable yet (with durability only).
    std::function<void(std::size_t item)> on_written;
};

// Runs `work` (in the workers) over count items and `on_outcome` (in this process) once for
// every item. `on_outcome` returns false to hand out no further items (those become NotRun).
// Returns the signal that stopped a stoppable run, 0 when it was not stopped.
int run_workers(std::size_t count, const WorkerOptions& options, const std::function<std::string(std::size_t)>& work,
                const std::function<bool(std::size_t, Outcome)>& on_outcome);

// "worker process was killed by signal 9 (Killed)", "worker process exited with status 1".
std::string describe_death(int wait_status);

namespace testing {
// Replaces STOP_GRACE (tests make it long, to see that a second signal does not wait for it);
// returns the previous value.
std::chrono::milliseconds set_stop_grace(std::chrono::milliseconds grace);
}  // namespace testing

}  // namespace tarnwick::bundle::host
