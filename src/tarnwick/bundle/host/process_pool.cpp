#include "tarnwick/bundle/host/process_pool.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <new>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/host/child_io.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/interrupt.hpp"

namespace tarnwick::bundle::host {
namespace {

constexpr std::size_t MAX_ERROR_TEXT = 4096;
constexpr long NO_CALL = -1;
// How long stopped workers get to abandon their file cleanly before they are killed; a killed
// update is undone by the next open of its file, so this bounds the wait, not the safety.
constexpr auto STOP_GRACE = std::chrono::seconds(2);
constexpr int POLL_MS = 200;

// What a worker reports for each call it finished, one message each: the call's index (8
// bytes), then the error text (none: the call succeeded).
using CallIndex = std::uint64_t;

testing::ForkFunction fork_function = ::fork;

std::string describe_death(int status) {
    if (WIFSIGNALED(status))
        return fmt::format("worker process was killed by signal {} ({})", WTERMSIG(status),
                           strsignal(WTERMSIG(status)));
    return fmt::format("worker process exited with status {}", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

}  // namespace

// One run of the pending calls: memory shared with the workers (the next call to take, and
// the call each worker slot is running), the workers' pipes, and the bookkeeping of results.
class ProgressedProcessPoolExecutor::Batch {
public:
    Batch(ProgressedProcessPoolExecutor& pool, std::vector<Call> calls)
        : pool_(pool), calls_(std::move(calls)), reported_(calls_.size(), false), parent_(::getpid()) {
        // Never more slots than calls: the requested number of workers may be huge.
        const std::size_t slots = std::max<std::size_t>(
            1, std::min<std::size_t>(static_cast<std::size_t>(pool_.max_workers_), calls_.size()));
        bytes_ = sizeof(Shared) + slots * sizeof(std::atomic<long>);
        void* memory = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) throw OsError::from_errno(errno, "cannot map memory for the worker processes");
        shared_ = new (memory) Shared{};
        running_ = reinterpret_cast<std::atomic<long>*>(static_cast<char*>(memory) + sizeof(Shared));
        for (std::size_t s = 0; s < slots; ++s) new (&running_[s]) std::atomic<long>(NO_CALL);
    }
    ~Batch() { ::munmap(shared_, bytes_); }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // Every worker started is waited for on every path, also when starting another failed.
    void run() {
        clear_interrupt();  // a stop request belongs to the run it stopped
        InterruptScope interrupts;
        const std::size_t workers = std::min<std::size_t>(static_cast<std::size_t>(pool_.max_workers_), calls_.size());
        for (std::size_t slot = 0; slot < workers && !poll_interrupt(); ++slot)
            if (!try_start(slot)) break;
        while (!workers_.empty()) {
            if (!stopping_ && poll_interrupt()) stop_workers();
            if (stopping_ && std::chrono::steady_clock::now() > kill_deadline_) kill_workers();
            wait_for_output();
        }
        if (poll_interrupt() && !stopping_) stop_workers();
        // Calls never run: the batch was stopped, no worker could be started, or a worker died
        // between taking a call and starting it.
        const std::string never_run = stopping_               ? "not run: the update was interrupted"
                                      : !start_error_.empty() ? "not run: " + start_error_
                                                              : "its worker process ended before running it";
        for (std::size_t i = 0; i < calls_.size(); ++i)
            if (!reported_[i]) finish(i, never_run);
        if (stopping_) pool_.interrupted_ = interrupt_signal();
    }

private:
    struct Shared {
        std::atomic<std::size_t> next{0};  // the next call to take
    };
    struct Worker {
        std::size_t slot;
        int fd;
        MessageReader messages;
    };

    // The call each worker slot is running (NO_CALL between calls); it follows Shared in the
    // mapping, one entry per slot.
    std::atomic<long>& running(std::size_t slot) { return running_[slot]; }

    bool try_start(std::size_t slot) {
        try {
            start(slot);
            return true;
        } catch (const std::exception& e) {
            if (start_error_.empty()) start_error_ = e.what();
            return false;
        }
    }

    // No new calls; the workers finish or abandon the one they run.
    void stop_workers() {
        stopping_ = true;
        shared_->next.store(calls_.size());
        for (const auto& [pid, worker] : workers_) ::kill(pid, SIGTERM);
        kill_deadline_ = std::chrono::steady_clock::now() + STOP_GRACE;
    }

    void kill_workers() {
        for (const auto& [pid, worker] : workers_) ::kill(pid, SIGKILL);
        kill_deadline_ = std::chrono::steady_clock::time_point::max();
    }

    void start(std::size_t slot) {
        // The worker never returns into this process's code, whatever it throws.
        const Child child = start_child([&](int fd) { work(slot, fd); }, "cannot create a pipe for a worker",
                                        "cannot start a worker process", fork_function);
        workers_.emplace(child.pid, Worker{slot, child.fd, {}});
    }

    // The worker: initializer, then call after call; _exit so that nothing of the parent's
    // state (atexit handlers, buffered streams copied by fork) runs twice.
    [[noreturn]] void work(std::size_t slot, int fd) {
        // Console hooks belong to the process that installed them (the Python module routes
        // the console through the interpreter); a worker writes to its standard output
        // directly and never runs interpreter code.
        set_console({});
        if (!catch_interrupts_in_worker(parent_)) ::_exit(1);
        std::string init_error;
        try {
            if (pool_.initializer_) pool_.initializer_();
        } catch (const std::exception& e) {
            init_error = std::string("the worker's initializer failed: ") + e.what();
        } catch (...) {
            init_error = "the worker's initializer failed";
        }
        while (interrupt_signal() == 0) {
            const std::size_t i = shared_->next.fetch_add(1);
            if (i >= calls_.size()) break;
            running(slot).store(static_cast<long>(i));
            std::string error = init_error;
            if (error.empty()) {
                try {
                    calls_[i].run();
                } catch (const std::exception& e) {
                    error = e.what();
                    if (error.empty()) error = "error";
                } catch (...) {
                    error = "unknown error";
                }
            }
            flush_output_streams();
            if (error.size() > MAX_ERROR_TEXT) error.resize(MAX_ERROR_TEXT);
            const CallIndex index = i;
            send_message(fd, std::string(reinterpret_cast<const char*>(&index), sizeof index) + error);
            running(slot).store(NO_CALL);
        }
        // Files whose commits wait to be made durable in a group are settled before the worker
        // goes (also when stopped: they are complete), so that its parent's report is true.
        h5::settle_deferred_commits();
        flush_output_streams();
        // Stopped by a signal: end the way that signal ends a process, so that the parent
        // tells a stopped worker from one that ran out of calls (and replaces it when the
        // signal was meant for this worker alone).
        if (const int signal = interrupt_signal()) {
            struct sigaction action {};
            action.sa_handler = SIG_DFL;
            ::sigaction(signal, &action, nullptr);
            ::raise(signal);
        }
        ::_exit(0);
    }

    void finish(std::size_t index, std::string error) {
        if (reported_[index]) return;
        reported_[index] = true;
        if (!error.empty()) pool_.failures_.push_back({calls_[index].label, std::move(error)});
        ++pool_.finished_;
        pool_.progress_.step();
    }

    void parse(Worker& worker) {
        while (auto message = worker.messages.next()) {
            CallIndex index;
            if (message->size() < sizeof index) continue;
            std::memcpy(&index, message->data(), sizeof index);
            if (index < calls_.size()) finish(index, message->substr(sizeof index));
        }
    }

    // Every worker holds the write end of its pipe until it exits, however it exits; poll()
    // therefore wakes when a worker ends, also when it was killed.
    void wait_for_output() {
        std::vector<pollfd> fds;
        std::vector<pid_t> pids;
        for (auto& [pid, worker] : workers_) {
            fds.push_back({worker.fd, POLLIN, 0});
            pids.push_back(pid);
        }
        const int ready = ::poll(fds.data(), fds.size(), POLL_MS);
        if (ready < 0 && errno != EINTR) throw OsError::from_errno(errno, "waiting for worker processes failed");
        for (std::size_t k = 0; k < fds.size(); ++k) {
            Worker& worker = workers_.at(pids[k]);
            if (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) {
                const auto read = worker.messages.read_from(worker.fd);
                if (read == MessageReader::Read::Data) {
                    parse(worker);
                    continue;
                }
                if (read == MessageReader::Read::Interrupted || read == MessageReader::Read::Empty) continue;
                ended(pids[k], reap_child(pids[k]));
                continue;
            }
            // A worker whose pipe stays open after it exited (a descendant kept it): look at
            // its status directly so that it is never waited for forever.
            int status = 0;
            if (::waitpid(pids[k], &status, WNOHANG) == pids[k]) {
                // It may have exited after poll() looked: take what it wrote before closing.
                drain(worker);
                ended(pids[k], status);
            }
        }
    }

    // Reads whatever is left in a worker's pipe without waiting for more.
    void drain(Worker& worker) {
        ::fcntl(worker.fd, F_SETFL, ::fcntl(worker.fd, F_GETFL) | O_NONBLOCK);
        for (;;) {
            const auto read = worker.messages.read_from(worker.fd);
            if (read == MessageReader::Read::Empty || read == MessageReader::Read::EndOfStream) break;
        }
        parse(worker);
    }

    void ended(pid_t pid, int status) {
        Worker worker = std::move(workers_.at(pid));
        workers_.erase(pid);
        ::close(worker.fd);
        const long interrupted = running(worker.slot).exchange(NO_CALL);
        const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (interrupted != NO_CALL) finish(static_cast<std::size_t>(interrupted), describe_death(status));
        // A worker that died leaves its slot to a replacement while calls remain.
        if (!clean && !stopping_ && shared_->next.load() < calls_.size()) try_start(worker.slot);
    }

    ProgressedProcessPoolExecutor& pool_;
    std::vector<Call> calls_;
    std::vector<bool> reported_;
    Shared* shared_ = nullptr;
    std::atomic<long>* running_ = nullptr;
    std::size_t bytes_ = 0;
    std::map<pid_t, Worker> workers_;
    pid_t parent_;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point kill_deadline_ = std::chrono::steady_clock::time_point::max();
    std::string start_error_;
};

ProgressedProcessPoolExecutor::ProgressedProcessPoolExecutor(int max_workers, std::function<void()> initializer,
                                                             std::string description)
    : max_workers_(max_workers), initializer_(std::move(initializer)), progress_(std::move(description)) {
    if (max_workers < 1)
        throw ValueError(fmt::format("the number of worker processes must be at least 1, got {}", max_workers));
}

ProgressedProcessPoolExecutor::~ProgressedProcessPoolExecutor() {
    try {
        shutdown();
    } catch (...) {
        // Leaving the scope must not throw; whatever failed has been recorded.
    }
}

void ProgressedProcessPoolExecutor::submit(std::string label, std::function<void()> call) {
    pending_.push_back({std::move(label), std::move(call)});
    progress_.set_total(finished_ + pending_.size());
}

void ProgressedProcessPoolExecutor::shutdown() {
    if (!pending_.empty()) {
        Batch batch(*this, std::exchange(pending_, {}));
        batch.run();
    }
    progress_.finish();
}

namespace testing {
ForkFunction set_fork_function(ForkFunction function) { return std::exchange(fork_function, function); }
}  // namespace testing

}  // namespace tarnwick::bundle::host
