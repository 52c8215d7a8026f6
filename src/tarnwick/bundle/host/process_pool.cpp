#include "tarnwick/bundle/host/process_pool.hpp"

#include <atomic>
#include <cerrno>
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
#include "tarnwick/bundle/host/child_io.hpp"
#include "tarnwick/bundle/host/console.hpp"

namespace tarnwick::bundle::host {
namespace {

constexpr std::size_t MAX_ERROR_TEXT = 4096;
constexpr long NO_CALL = -1;

// What a worker reports for each call it finished: its index, then the length and bytes of
// the error text (length 0: the call succeeded).
struct RecordHeader {
    std::uint64_t index;
    std::uint32_t error_length;
};

std::string describe_death(int status) {
    if (WIFSIGNALED(status))
        return fmt::format("worker process was killed by signal {} ({})", WTERMSIG(status), strsignal(WTERMSIG(status)));
    return fmt::format("worker process exited with status {}", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

}  // namespace

// One run of the pending calls: memory shared with the workers (the next call to take, and
// the call each worker slot is running), the workers' pipes, and the bookkeeping of results.
class ProgressedProcessPoolExecutor::Batch {
public:
    Batch(ProgressedProcessPoolExecutor& pool, std::vector<Call> calls)
        : pool_(pool), calls_(std::move(calls)), reported_(calls_.size(), false) {
        // No more workers than calls can run: a huge max_workers must not cost memory per slot.
        const std::size_t slots = std::min<std::size_t>(static_cast<std::size_t>(pool_.max_workers_), calls_.size());
        bytes_ = sizeof(Shared) + slots * sizeof(std::atomic<long>);
        void* memory = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) throw OsError::from_errno(errno, "cannot map memory for the worker processes");
        shared_ = new (memory) Shared{};
        running_ = reinterpret_cast<std::atomic<long>*>(static_cast<char*>(memory) + sizeof(Shared));
        for (std::size_t s = 0; s < slots; ++s) new (&running_[s]) std::atomic<long>(NO_CALL);
    }
    ~Batch() { ::munmap(shared_, bytes_); }

    void run() {
        const std::size_t workers = std::min<std::size_t>(static_cast<std::size_t>(pool_.max_workers_), calls_.size());
        for (std::size_t slot = 0; slot < workers; ++slot) start(slot);
        while (!workers_.empty()) wait_for_output();
        // A call a worker took but never reported (it died between taking and starting it).
        for (std::size_t i = 0; i < calls_.size(); ++i)
            if (!reported_[i]) finish(i, "its worker process ended before running it");
    }

private:
    struct Shared {
        std::atomic<std::size_t> next{0};  // the next call to take
    };
    struct Worker {
        std::size_t slot;
        int fd;
        std::string buffer;
    };

    // The call each worker slot is running (NO_CALL between calls); it follows Shared in the
    // mapping, one entry per slot.
    std::atomic<long>& running(std::size_t slot) { return running_[slot]; }

    void start(std::size_t slot) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw OsError::from_errno(errno, "cannot create a pipe for a worker");
        // Whatever this process has buffered must not be written a second time by the worker.
        flush_output_streams();
        const pid_t pid = ::fork();
        if (pid < 0) {
            const int err = errno;
            ::close(fds[0]);
            ::close(fds[1]);
            throw OsError::from_errno(err, "cannot start a worker process");
        }
        if (pid == 0) {
            ::close(fds[0]);
            work(slot, fds[1]);
        }
        ::close(fds[1]);
        workers_.emplace(pid, Worker{slot, fds[0], {}});
    }

    // The worker: initializer, then call after call; _exit so that nothing of the parent's
    // state (atexit handlers, buffered streams copied by fork) runs twice.
    [[noreturn]] void work(std::size_t slot, int fd) {
        // Console hooks belong to the process that installed them (the Python module routes
        // the console through the interpreter); a worker writes to its standard output
        // directly and never runs interpreter code.
        set_console({});
        std::string init_error;
        try {
            if (pool_.initializer_) pool_.initializer_();
        } catch (const std::exception& e) {
            init_error = std::string("the worker's initializer failed: ") + e.what();
        } catch (...) {
            init_error = "the worker's initializer failed";
        }
        for (;;) {
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
            const RecordHeader header{i, static_cast<std::uint32_t>(error.size())};
            std::string record(reinterpret_cast<const char*>(&header), sizeof header);
            record += error;
            write_all(fd, record.data(), record.size());
            running(slot).store(NO_CALL);
        }
        flush_output_streams();
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
        while (worker.buffer.size() >= sizeof(RecordHeader)) {
            RecordHeader header;
            std::memcpy(&header, worker.buffer.data(), sizeof header);
            if (worker.buffer.size() < sizeof header + header.error_length) return;
            std::string error = worker.buffer.substr(sizeof header, header.error_length);
            worker.buffer.erase(0, sizeof header + header.error_length);
            if (header.index < calls_.size()) finish(header.index, std::move(error));
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
        const int ready = ::poll(fds.data(), fds.size(), 1000);
        if (ready < 0 && errno != EINTR) throw OsError::from_errno(errno, "waiting for worker processes failed");
        for (std::size_t k = 0; k < fds.size(); ++k) {
            Worker& worker = workers_.at(pids[k]);
            if (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buffer[8192];
                const ssize_t n = ::read(worker.fd, buffer, sizeof buffer);
                if (n > 0) {
                    worker.buffer.append(buffer, static_cast<std::size_t>(n));
                    parse(worker);
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                int status = 0;
                while (::waitpid(pids[k], &status, 0) < 0 && errno == EINTR) {
                }
                ended(pids[k], status);
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
        char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(worker.fd, buffer, sizeof buffer);
            if (n > 0) {
                worker.buffer.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            break;
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
        if (!clean && shared_->next.load() < calls_.size()) start(worker.slot);
    }

    ProgressedProcessPoolExecutor& pool_;
    std::vector<Call> calls_;
    std::vector<bool> reported_;
    Shared* shared_ = nullptr;
    std::atomic<long>* running_ = nullptr;
    std::size_t bytes_ = 0;
    std::map<pid_t, Worker> workers_;
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

}  // namespace tarnwick::bundle::host
