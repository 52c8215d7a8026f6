#pragma once
// The host's process pool with a progress display, `ProgressedProcessPoolExecutor`.
//
// Each submitted call runs once, in a forked worker process; at most `max_workers` workers
// are alive at a time. The calls run when the pool's scope ends (or at shutdown()): the
// workers are forked then, so every call submitted so far is in their memory and needs no
// serialisation, and each worker takes call after call until none is left. The initializer
// runs once in every worker, before its first call.
//
// A call that throws, and a worker that crashes or is killed, is recorded as a Failure (the
// pool never hangs on a dead worker: a replacement takes the remaining calls); the owner
// decides what to do with them. A worker that cannot be started, or that keeps dying in its
// initializer, is a Failure of the calls left unrun, never an exception that leaves other
// workers unwaited for. SIGINT / SIGTERM stop a run and are passed on to the workers; workers
// end with their parent (host/worker_engine.hpp runs the workers).
//
// Progress goes to standard error, one step per call that ran to its end (host::Progress).
//
// Calls whose effects become durable later (commits that wait for a group) set durability():
// a call is then finished, and not a Failure, only once the hook made its effects durable; a
// worker that dies first fails every call whose effects it had not made durable (see
// host/worker_engine.hpp). Progress still steps as each call returns.
//
// REQUIRES: used from one thread; the calling process must not reap its children itself.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tarnwick/bundle/host/progress.hpp"
#include "tarnwick/bundle/host/worker_engine.hpp"

namespace tarnwick::bundle::host {

class ProgressedProcessPoolExecutor {
public:
    struct Failure {
        std::string label;  // what the call was submitted with
        std::string error;  // the exception's text, or how the worker died
        // Its worker process died while it ran, or before its effects were made durable: the
        // call itself may well succeed in another worker.
        bool worker_died = false;
    };

    // Throws ValueError when max_workers < 1.
    ProgressedProcessPoolExecutor(int max_workers, std::function<void()> initializer, std::string description = {});
    ~ProgressedProcessPoolExecutor();  // runs and waits for every call
    ProgressedProcessPoolExecutor(const ProgressedProcessPoolExecutor&) = delete;
    ProgressedProcessPoolExecutor& operator=(const ProgressedProcessPoolExecutor&) = delete;

    void submit(std::string label, std::function<void()> call);
    // The hook that makes the calls' effects durable; its items are the calls' positions among
    // those submitted since the last shutdown().
    void set_durability(Durability durability) { durability_ = std::move(durability); }
    // Runs every call submitted since the last shutdown() and waits until all have finished.
    void shutdown();

    const std::vector<Failure>& failures() const { return failures_; }
    std::size_t finished() const { return finished_; }
    // The signal (SIGINT, SIGTERM) that stopped the last run, 0 when it ran to the end. A
    // stopped run hands out no further calls; each running call finishes or abandons its work
    // (workers that do not end within STOP_GRACE are killed; a second signal kills them at once)
    // and every call that did not run, or whose effects were not made durable, is a Failure.
    int interrupted() const { return interrupted_; }

private:
    struct Call {
        std::string label;
        std::function<void()> run;
    };

    int max_workers_;
    std::function<void()> initializer_;
    Durability durability_;
    std::vector<Call> pending_;
    std::vector<Failure> failures_;
    std::size_t finished_ = 0;
    int interrupted_ = 0;
    Progress progress_;
};

namespace testing {
// Replaces fork() for the pool's workers (tests make starting a worker fail); returns the
// previous function.
using ForkFunction = pid_t (*)();
ForkFunction set_fork_function(ForkFunction fork_function);
}  // namespace testing

}  // namespace tarnwick::bundle::host
