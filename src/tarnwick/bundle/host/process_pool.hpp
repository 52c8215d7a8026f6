#pragma once
// The host's process pool with a progress display, `ProgressedProcessPoolExecutor`.
//
// Each submitted call runs once, in a forked worker process; at most `max_workers` workers are
// alive at a time. A worker is forked for each call, so the call needs no serialisation, and
// the initializer runs in every worker before its call. Calls that cannot start at once wait in
// submission order. Leaving the pool's scope (or shutdown()) waits for every call.
//
// A call that throws, and a worker that crashes or is killed, is recorded as a Failure (the
// pool never hangs on a dead worker); the owner decides what to do with them.
//
// Progress goes to standard error, one step per finished call: a redrawn bar on a terminal,
// and otherwise a line at every tenth of the work, so that a log is not flooded.
//
// REQUIRES: used from one thread; the calling process must not reap its children itself.
#include <sys/types.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tarnwick/bundle/host/progress.hpp"

namespace tarnwick::bundle::host {

class ProgressedProcessPoolExecutor {
public:
    struct Failure {
        std::string label;  // what the call was submitted with
        std::string error;  // the exception's text, or how the worker died
    };

    // Throws ValueError when max_workers < 1.
    ProgressedProcessPoolExecutor(int max_workers, std::function<void()> initializer, std::string description = {});
    ~ProgressedProcessPoolExecutor();  // waits for every call
    ProgressedProcessPoolExecutor(const ProgressedProcessPoolExecutor&) = delete;
    ProgressedProcessPoolExecutor& operator=(const ProgressedProcessPoolExecutor&) = delete;

    void submit(std::string label, std::function<void()> call);
    // Waits until every submitted call has finished.
    void shutdown();

    const std::vector<Failure>& failures() const { return failures_; }
    std::size_t finished() const { return finished_; }

private:
    struct Pending {
        std::string label;
        std::function<void()> call;
    };
    struct Worker {
        std::string label;
        int result_fd;  // the worker writes an error text here; end of file when it exits
        std::string error_text;
    };

    void start(Pending pending);
    void wait_for_one();
    void reap(pid_t pid, Worker& worker);

    int max_workers_;
    std::function<void()> initializer_;
    std::string description_;
    std::deque<Pending> queue_;
    std::map<pid_t, Worker> running_;
    std::vector<Failure> failures_;
    std::size_t submitted_ = 0;
    std::size_t finished_ = 0;
    Progress progress_;
};

}  // namespace tarnwick::bundle::host
