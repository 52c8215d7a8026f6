#pragma once
// Stopping long work on SIGINT / SIGTERM without leaving a file half-changed.
//
// The worker pool's parent and its workers catch the two signals while calls run: the parent
// stops handing out calls and tells the workers; a worker stops at the next safe point of its
// update (host::throw_if_interrupted), where the update abandons its file (rolled back to its
// last committed state) and the call ends with host::Interrupted. A worker also gets SIGTERM
// when its parent dies, and ends within a second, so no orphan keeps writing.
//
// Front ends that run the library inside an interpreter (the Python module) install a poll that
// reports the interpreter's own pending Ctrl-C, since there the interpreter owns SIGINT.
#include <csignal>
#include <exception>
#include <functional>
#include <stdexcept>

namespace tarnwick::bundle::host {

class Interrupted : public std::runtime_error {
public:
    explicit Interrupted(int signal);
    int signal() const noexcept { return signal_; }
    int exit_status() const noexcept { return 128 + signal_; }

private:
    int signal_;
};

// The signal that asked this process to stop (SIGINT or SIGTERM), 0 while none did.
int interrupt_signal() noexcept;
// Records a stop request as if the signal had arrived (for the poll below and for tests).
void request_interrupt(int signal) noexcept;
// Forgets a stop request (the next library call starts afresh).
void clear_interrupt() noexcept;
// How many stop requests arrived since the last clear_interrupt() (a second one hurries).
int interrupt_count() noexcept;

// Throws Interrupted when a stop was requested. Updaters call it at their safe points.
void throw_if_interrupted();
// True when `error` is an Interrupted.
bool is_interruption(const std::exception_ptr& error);

// A poll for stop requests that arrive other than by our signal handlers; returns the signal
// number of a request, 0 for none. Called from the waits of long operations.
void set_interrupt_poll(std::function<int()> poll);
// Runs the poll (if any) and returns interrupt_signal().
int poll_interrupt();

// While alive, SIGINT and SIGTERM set the stop request instead of ending the process, where
// their disposition is still the default one (an interpreter's own handler is left alone).
class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    struct sigaction saved_[2];
    bool installed_[2] = {false, false};
};

// In a freshly forked worker: SIGINT and SIGTERM set the stop request, and the worker gets
// SIGTERM when the process `parent` ends; it then has under a second to abandon its file at a
// safe point before a watchdog ends it. Returns false when the parent is already gone.
bool catch_interrupts_in_worker(pid_t parent);

}  // namespace tarnwick::bundle::host
