#include "tarnwick/bundle/host/worker_engine.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/child_io.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/interrupt.hpp"

namespace tarnwick::bundle::host {
namespace {

std::chrono::milliseconds stop_grace = STOP_GRACE;

constexpr long NO_ITEM = -1;
constexpr std::size_t MAX_ERROR_TEXT = 4096;
constexpr int POLL_MS = 200;

// A worker's report for one item: the item's index (8 bytes), a kind letter, then the text.
using ItemIndex = std::uint64_t;
constexpr char DONE = 'd';
constexpr char FAILED = 'f';
constexpr char ABANDONED = 'i';
constexpr char WRITTEN = 'w';    // the work returned, its effects are not durable yet
constexpr char COMMITTED = 'c';  // a written item's effects are durable: it is done

// Memory shared with the workers: the next item to hand out and, per worker slot, the item it
// is on and whether it got through its start-up.
struct Slot {
    std::atomic<long> item{NO_ITEM};
    std::atomic<bool> ready{false};
};

class SharedState {
public:
    explicit SharedState(std::size_t slots) : bytes_(sizeof(std::atomic<std::size_t>) + slots * sizeof(Slot)) {
        void* memory = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) throw OsError::from_errno(errno, "cannot map memory for the worker processes");
        next_ = new (memory) std::atomic<std::size_t>(0);
        slots_ = reinterpret_cast<Slot*>(static_cast<char*>(memory) + sizeof(std::atomic<std::size_t>));
        for (std::size_t s = 0; s < slots; ++s) new (&slots_[s]) Slot{};
    }
    ~SharedState() { ::munmap(next_, bytes_); }
    SharedState(const SharedState&) = delete;
    SharedState& operator=(const SharedState&) = delete;

    std::atomic<std::size_t>& next() { return *next_; }
    Slot& slot(std::size_t s) { return slots_[s]; }

private:
    std::size_t bytes_;
    std::atomic<std::size_t>* next_ = nullptr;
    Slot* slots_ = nullptr;
};

// The text of the exception being handled, whatever its type: a failure is never lost because
// the work threw something that is not a std::exception.
std::string current_exception_text() {
    try {
        throw;
    } catch (const std::exception& e) {
        std::string text = e.what();
        return text.empty() ? "error" : text;
    } catch (...) {
        return "unknown error (an exception of a type that is not a standard exception)";
    }
}

class Run {
public:
    Run(std::size_t count, const WorkerOptions& options, const std::function<std::string(std::size_t)>& work,
        const std::function<bool(std::size_t, Outcome)>& on_outcome)
        : count_(count),
          options_(options),
          work_(work),
          on_outcome_(on_outcome),
          slots_(std::max<std::size_t>(1, std::min(options.workers, count))),
          shared_(slots_),
          reported_(count, false),
          parent_(::getpid()) {}

    // Reached with workers left only when a callback threw: they are ended and reaped.
    ~Run() {
        for (auto& [pid, worker] : workers_) {
            ::kill(pid, SIGKILL);
            ::close(worker.fd);
            reap_child(pid);
        }
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    int go() {
        std::optional<InterruptScope> interrupts;
        if (options_.stoppable) {
            clear_interrupt();  // a stop request belongs to the run it stopped
            interrupts.emplace();
        }
        for (std::size_t slot = 0; slot < slots_ && !stop_requested(); ++slot)
            if (!try_start(slot)) break;
        while (!workers_.empty()) {
            if (!stopping_ && stop_requested()) stop_workers();
            // A second stop request does not wait for the workers.
            if (stopping_ && (std::chrono::steady_clock::now() > kill_deadline_ ||
                              interrupt_count() > signals_at_stop_))
                kill_workers();
            wait_for_output();
        }
        if (!stopping_ && stop_requested()) stopping_ = true;
        const std::string never_run = stopping_               ? "not run: interrupted"
                                      : halted_               ? "not run: the run was stopped"
                                      : !start_error_.empty() ? "not run: " + start_error_
                                      : !start_death_.empty()
                                          ? "not run: the worker processes died while starting (" + start_death_ + ")"
                                          : "its worker process ended before running it";
        for (std::size_t i = 0; i < count_; ++i)
            if (!reported_[i]) report(i, {Outcome::Kind::NotRun, never_run});
        return stopping_ ? interrupt_signal() : 0;
    }

private:
    struct Worker {
        std::size_t slot;
        int fd;
        MessageReader messages;
        std::vector<std::size_t> written;  // items written, not yet durable
    };

    bool stop_requested() { return options_.stoppable && poll_interrupt() != 0; }

    bool try_start(std::size_t slot) {
        try {
            shared_.slot(slot).ready.store(false);
            shared_.slot(slot).item.store(NO_ITEM);
            const Child child = start_child([&](int fd) { work_loop(slot, fd); }, "cannot create a pipe for a worker",
                                            "cannot start a worker process", options_.fork ? options_.fork : ::fork);
            workers_.emplace(child.pid, Worker{slot, child.fd, {}, {}});
            return true;
        } catch (const std::exception& e) {
            if (start_error_.empty()) start_error_ = e.what();
            return false;
        }
    }

    // The worker: initializer, then item after item; _exit so that nothing of the parent's
    // state (atexit handlers, buffered streams copied by fork) runs twice.
    [[noreturn]] void work_loop(std::size_t slot_number, int fd) {
        // Console hooks belong to the process that installed them (the Python module routes
        // the console through the interpreter); a worker writes to its standard output
        // directly and never runs interpreter code.
        set_console({});
        if (!catch_interrupts_in_worker(parent_)) ::_exit(1);
        Slot& slot = shared_.slot(slot_number);
        std::string init_error;
        try {
            if (options_.initializer) options_.initializer();
        } catch (...) {
            init_error = "the worker's initializer failed: " + current_exception_text();
        }
        slot.ready.store(true);
        const bool deferred = static_cast<bool>(options_.durability.settle);
        std::vector<std::size_t> written;
        while (interrupt_signal() == 0) {
            const std::size_t i = shared_.next().fetch_add(1);
            if (i >= count_) break;
            slot.item.store(static_cast<long>(i));
            char kind = FAILED;
            std::string text = init_error;
            if (init_error.empty()) {
                try {
                    if (options_.durability.begin_item) options_.durability.begin_item(i);
                    text = work_(i);
                    kind = deferred ? WRITTEN : DONE;
                } catch (...) {
                    kind = is_interruption(std::current_exception()) ? ABANDONED : FAILED;
                    text = current_exception_text();
                }
            }
            flush_output_streams();
            send_outcome(fd, i, kind, std::move(text));
            if (kind == WRITTEN) written.push_back(i);
            // Settled while the item is still marked as this worker's: a death here fails it.
            if (deferred && init_error.empty()) settle(fd, false, written);
            slot.item.store(NO_ITEM);
        }
        // What the finished items wrote is made durable before the worker goes (also when
        // stopped: their files are complete), so that its parent's report is true. An orphan
        // publishes nothing: its waiting files are rolled back by their next open.
        if (deferred && ::getppid() == parent_) settle(fd, true, written);
        flush_output_streams();
        // Stopped by a signal: end the way that signal ends a process, so that the parent
        // tells a stopped worker from one that ran out of items (and replaces it when the
        // signal was meant for this worker alone).
        if (const int signal = interrupt_signal()) {
            struct sigaction action {};
            action.sa_handler = SIG_DFL;
            ::sigaction(signal, &action, nullptr);
            ::raise(signal);
        }
        ::_exit(0);
    }

    static void send_outcome(int fd, std::size_t item, char kind, std::string text) {
        if (kind != DONE && kind != WRITTEN && text.size() > MAX_ERROR_TEXT) text.resize(MAX_ERROR_TEXT);
        const ItemIndex index = item;
        send_message(fd, std::string(reinterpret_cast<const char*>(&index), sizeof index) + kind + text);
    }

    // In the worker: runs the user's durability hook and tells the parent which written items
    // became durable (done) and which could not (failed).
    void settle(int fd, bool final, std::vector<std::size_t>& written) {
        DurabilityFailures failed;
        bool settled = false;
        try {
            settled = options_.durability.settle(final, failed);
        } catch (...) {
            const std::string why = "its work could not be made durable: " + current_exception_text();
            for (std::size_t item : written) failed.emplace_back(item, why);
        }
        for (auto& [item, why] : failed) {
            send_outcome(fd, item, FAILED, std::move(why));
            std::erase(written, item);
        }
        if (!settled) return;
        for (std::size_t item : written) send_outcome(fd, item, COMMITTED, {});
        written.clear();
    }

    // No new items; the stop request goes to every worker, which abandons its item.
    void stop_workers() {
        stopping_ = true;
        signals_at_stop_ = interrupt_count();
        shared_.next().store(count_);
        const int signal = interrupt_signal();
        for (const auto& [pid, worker] : workers_) ::kill(pid, signal);
        kill_deadline_ = std::chrono::steady_clock::now() + stop_grace;
    }

    void kill_workers() {
        for (const auto& [pid, worker] : workers_) ::kill(pid, SIGKILL);
        kill_deadline_ = std::chrono::steady_clock::time_point::max();
    }

    void report(std::size_t index, Outcome outcome) {
        if (reported_[index]) return;
        reported_[index] = true;
        if (!on_outcome_(index, std::move(outcome)) && !halted_) {
            halted_ = true;
            shared_.next().store(count_);
        }
    }

    void parse(Worker& worker) {
        while (auto message = worker.messages.next()) {
            ItemIndex index;
            if (message->size() < sizeof index + 1) continue;
            std::memcpy(&index, message->data(), sizeof index);
            if (index >= count_) continue;
            const char kind = (*message)[sizeof index];
            std::string text = message->substr(sizeof index + 1);
            if (kind == WRITTEN) {
                if (reported_[index] || written_text_.contains(index)) continue;
                worker.written.push_back(index);
                written_text_[index] = std::move(text);
                if (options_.on_written) options_.on_written(index);
                continue;
            }
            if (kind == COMMITTED) {
                if (!std::erase(worker.written, index)) continue;
                text = std::move(written_text_[index]);
            } else {
                std::erase(worker.written, index);
            }
            written_text_.erase(index);
            const Outcome::Kind outcome = kind == DONE || kind == COMMITTED ? Outcome::Kind::Done
                                          : kind == ABANDONED               ? Outcome::Kind::Interrupted
                                                                            : Outcome::Kind::Failed;
            report(index, {outcome, std::move(text)});
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
            if (ready > 0 && (fds[k].revents & (POLLIN | POLLHUP | POLLERR))) {
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
                drain(worker);  // it may have exited after poll() looked
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
        const Worker worker = std::move(workers_.at(pid));
        workers_.erase(pid);
        ::close(worker.fd);
        Slot& slot = shared_.slot(worker.slot);
        const long item = slot.item.exchange(NO_ITEM);
        if (item != NO_ITEM)
            report(static_cast<std::size_t>(item), {Outcome::Kind::Died, describe_death(status), status});
        // What it wrote but had not made durable is as good as never written: its files are
        // rolled back by their next open (a power cut could take it back too).
        for (std::size_t written : worker.written) {
            written_text_.erase(written);
            report(written, {Outcome::Kind::Died,
                             "its update was not made durable before its " + describe_death(status), status});
        }
        const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (clean || stopping_ || halted_ || shared_.next().load() >= count_) return;
        // A worker that died on an item leaves the rest to a replacement. One that died before
        // taking any is replaced only within the budget: a start-up that always fails would
        // otherwise be retried forever.
        if (!slot.ready.load() && item == NO_ITEM) {
            start_death_ = describe_death(status);
            if (++start_deaths_ > options_.start_deaths_allowed) return;
        }
        try_start(worker.slot);
    }

    std::size_t count_;
    const WorkerOptions& options_;
    const std::function<std::string(std::size_t)>& work_;
    const std::function<bool(std::size_t, Outcome)>& on_outcome_;
    std::size_t slots_;
    SharedState shared_;
    std::vector<bool> reported_;
    std::map<pid_t, Worker> workers_;
    pid_t parent_;
    std::map<std::size_t, std::string> written_text_;  // what the work of a written item returned
    int signals_at_stop_ = 0;
    bool stopping_ = false;  // stopped by a signal
    bool halted_ = false;    // stopped by the caller
    std::chrono::steady_clock::time_point kill_deadline_ = std::chrono::steady_clock::time_point::max();
    std::string start_error_;
    std::string start_death_;
    std::size_t start_deaths_ = 0;
};

}  // namespace

std::string describe_death(int status) {
    if (WIFSIGNALED(status))
        return fmt::format("worker process was killed by signal {} ({})", WTERMSIG(status),
                           strsignal(WTERMSIG(status)));
    return fmt::format("worker process exited with status {}", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

int run_workers(std::size_t count, const WorkerOptions& options, const std::function<std::string(std::size_t)>& work,
                const std::function<bool(std::size_t, Outcome)>& on_outcome) {
    if (count == 0) return 0;
    Run run(count, options, work, on_outcome);
    return run.go();
}

namespace testing {
std::chrono::milliseconds set_stop_grace(std::chrono::milliseconds grace) { return std::exchange(stop_grace, grace); }
}  // namespace testing

}  // namespace tarnwick::bundle::host
