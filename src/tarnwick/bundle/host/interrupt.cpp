#include "tarnwick/bundle/host/interrupt.hpp"

#include <cstring>
#include <string>
#include <utility>

#include <cerrno>

#include <sys/prctl.h>
#include <sys/time.h>
#include <unistd.h>

namespace tarnwick::bundle::host {
namespace {

volatile std::sig_atomic_t requested_signal = 0;
volatile std::sig_atomic_t signals_noted = 0;
// In a worker, the process that started it (0 elsewhere).
volatile pid_t worker_parent = 0;
// A worker whose parent died gets this long to reach a safe point and abandon its file; then
// the default action of SIGALRM ends it (its file is rolled back by the next open).
constexpr long ORPHAN_GRACE_US = 600'000;

extern "C" void note_signal(int signal) {
    if (requested_signal == 0) requested_signal = signal;
    signals_noted = signals_noted + 1;
    if (worker_parent != 0 && ::getppid() != worker_parent) {
        const int saved_errno = errno;
        itimerval deadline{};
        deadline.it_value.tv_usec = ORPHAN_GRACE_US;
        ::setitimer(ITIMER_REAL, &deadline, nullptr);
        errno = saved_errno;
    }
}

std::function<int()>& poll_hook() {
    static std::function<int()> poll;
    return poll;
}

constexpr int SIGNALS[2] = {SIGINT, SIGTERM};

struct sigaction noting_action() {
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking wait returns with EINTR and looks
    return action;
}

}  // namespace

Interrupted::Interrupted(int signal)
    : std::runtime_error(std::string("interrupted by ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") + " (signal " +
                         std::to_string(signal) + ")"),
      signal_(signal) {}

int interrupt_signal() noexcept { return requested_signal; }

void request_interrupt(int signal) noexcept { note_signal(signal); }

void clear_interrupt() noexcept {
    requested_signal = 0;
    signals_noted = 0;
}

int interrupt_count() noexcept { return signals_noted; }

void throw_if_interrupted() {
    if (const int signal = interrupt_signal()) throw Interrupted(signal);
}

bool is_interruption(const std::exception_ptr& error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const Interrupted&) {
        return true;
    } catch (...) {}
    return false;
}

void set_interrupt_poll(std::function<int()> poll) { poll_hook() = std::move(poll); }

int poll_interrupt() {
    if (requested_signal == 0 && poll_hook())
        if (const int signal = poll_hook()()) note_signal(signal);
    return requested_signal;
}

InterruptScope::InterruptScope() {
    const struct sigaction action = noting_action();
    for (int k = 0; k < 2; ++k) {
        if (::sigaction(SIGNALS[k], nullptr, &saved_[k]) != 0) continue;
        const bool default_disposition = (saved_[k].sa_flags & SA_SIGINFO) == 0 && saved_[k].sa_handler == SIG_DFL;
        if (default_disposition) installed_[k] = ::sigaction(SIGNALS[k], &action, nullptr) == 0;
    }
}

InterruptScope::~InterruptScope() {
    for (int k = 0; k < 2; ++k)
        if (installed_[k]) ::sigaction(SIGNALS[k], &saved_[k], nullptr);
}

bool catch_interrupts_in_worker(pid_t parent) {
    requested_signal = 0;
    worker_parent = parent;
    const struct sigaction action = noting_action();
    bool term_caught = false;
    for (int signal : SIGNALS) {
        // A signal the parent ignores (a background job's SIGINT) stays ignored.
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
            current.sa_handler == SIG_IGN)
            continue;
        term_caught = term_caught || (signal == SIGTERM && ::sigaction(signal, &action, nullptr) == 0);
        if (signal != SIGTERM) ::sigaction(signal, &action, nullptr);
    }
    // The watchdog's signal must end the process, whatever the parent made of it.
    struct sigaction alarm {};
    alarm.sa_handler = SIG_DFL;
    ::sigaction(SIGALRM, &alarm, nullptr);
    // Without a handler for SIGTERM there is no safe point to reach: the worker is killed.
    ::prctl(PR_SET_PDEATHSIG, term_caught ? SIGTERM : SIGKILL);
    // The parent may have ended before the death signal was asked for.
    return ::getppid() == parent;
}

}  // namespace tarnwick::bundle::host
