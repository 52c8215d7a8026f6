#include "tarnwick/bundle/checks/isolated.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/child_io.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/service/errors.hpp"

namespace tarnwick::bundle::checks {
namespace {

// A worker's messages: for each file it takes, STARTED and the file's number (8 bytes) as it
// starts, then VERDICT and the verdict letter when done; or FAILED, a category letter and the
// error's message, after which the worker ends.
constexpr char STARTED = 'S';
constexpr char VERDICT = 'V';
constexpr char FAILED = 'E';
using FileNumber = std::uint64_t;

// The letter that keeps an error's category across the pipe (see rethrow()).
char category_of(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const service::PermissionDenied&) {
        return 'P';
    } catch (const OsError&) {
        return 'O';
    } catch (const ValueError&) {
        return 'V';
    } catch (...) {
        return 'X';
    }
}

[[noreturn]] void rethrow(char category, const std::string& message) {
    switch (category) {
        case 'P':
            throw service::PermissionDenied(message);
        case 'O':
            throw OsError(OsError::Kind::Other, 0, message);
        case 'V':
            throw ValueError(message);
        default:
            throw std::runtime_error(message);
    }
}

// The next file to examine, shared by all workers of one run.
class SharedCounter {
public:
    SharedCounter() {
        void* p =
            ::mmap(nullptr, sizeof(std::atomic<FileNumber>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw OsError::from_errno(errno, "cannot share memory with the check's processes");
        next_ = new (p) std::atomic<FileNumber>(0);
    }
    ~SharedCounter() { ::munmap(next_, sizeof *next_); }
    SharedCounter(const SharedCounter&) = delete;
    SharedCounter& operator=(const SharedCounter&) = delete;

    FileNumber take() { return next_->fetch_add(1); }
    FileNumber peek() const { return next_->load(); }

private:
    std::atomic<FileNumber>* next_ = nullptr;
};

[[noreturn]] void run_child(std::size_t count, SharedCounter& counter,
                            const std::function<Verdict(std::size_t)>& examine, int fd) {
    host::set_console({});
    for (;;) {
        const FileNumber i = counter.take();
        if (i >= count) ::_exit(0);
        host::send_message(fd, STARTED + std::string(reinterpret_cast<const char*>(&i), sizeof i));
        try {
            const char verdict = static_cast<char>(examine(static_cast<std::size_t>(i)));
            host::send_message(fd, std::string{VERDICT, verdict});
        } catch (const std::exception& e) {
            host::send_message(fd, std::string{FAILED, category_of(std::current_exception())} + e.what());
            ::_exit(1);
        }
    }
}

struct Worker {
    pid_t pid = -1;
    int fd = -1;
    host::MessageReader messages;
    std::optional<FileNumber> current;  // the file it has started and not finished
    bool in_error = false;
    std::string error;  // category letter and message
};

Worker start_worker(std::size_t count, SharedCounter& counter, const std::function<Verdict(std::size_t)>& examine) {
    const host::Child child =
        host::start_child([&](int fd) { run_child(count, counter, examine, fd); }, "cannot create a pipe for the check",
                          "cannot start the check's process");
    Worker worker;
    worker.pid = child.pid;
    worker.fd = child.fd;
    return worker;
}

int wait_for(pid_t pid) { return host::reap_child(pid); }

// The run's state in this process: the workers, every verdict received, and the first error.
class Run {
public:
    Run(std::size_t count, const std::function<Verdict(std::size_t)>& examine,
        const std::function<void(std::size_t, Verdict)>& on_verdict)
        : count_(count), examine_(examine), on_verdict_(on_verdict), verdicts_(count) {}

    ~Run() {
        // Reached with workers left only when this process is unwinding: stop them.
        for (Worker& w : workers_) stop(w);
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    void go(unsigned workers) {
        for (unsigned k = 0; k < workers; ++k) workers_.push_back(start_worker(count_, counter_, examine_));
        while (!workers_.empty()) {
            if (error_at_ && emitted_ == *error_at_) break;  // every file before the error is done
            wait_and_read();
            emit_ready();
        }
        for (Worker& w : workers_) stop(w);
        workers_.clear();
        emit_ready();
        if (error_at_ && emitted_ == *error_at_)
            rethrow(error_.empty() ? 'X' : error_[0], error_.empty() ? "check failed" : error_.substr(1));
        if (emitted_ < count_) throw std::runtime_error("the check's processes ended before examining every file");
    }

private:
    void wait_and_read() {
        std::vector<pollfd> fds;
        for (const Worker& w : workers_) fds.push_back({w.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) return;
            throw OsError::from_errno(errno, "cannot wait for the check's processes");
        }
        std::vector<Worker> still_running;
        std::vector<Worker> replacements;
        for (std::size_t k = 0; k < workers_.size(); ++k) {
            Worker& w = workers_[k];
            if (fds[k].revents == 0) {
                still_running.push_back(std::move(w));
                continue;
            }
            const auto read = w.messages.read_from(w.fd);
            if (read != host::MessageReader::Read::EndOfStream) {
                if (read == host::MessageReader::Read::Data) take(w);
                still_running.push_back(std::move(w));
                continue;
            }
            finish(w);
            // A worker that died on a file leaves files behind it; another one takes them on.
            if (!error_at_ && counter_.peek() < count_)
                replacements.push_back(start_worker(count_, counter_, examine_));
        }
        workers_ = std::move(still_running);
        for (Worker& w : replacements) workers_.push_back(std::move(w));
    }

    void take(Worker& w) {
        while (const auto message = w.messages.next()) {
            if (message->empty()) continue;
            const char kind = (*message)[0];
            if (kind == STARTED && message->size() == 1 + sizeof(FileNumber)) {
                FileNumber i;
                std::memcpy(&i, message->data() + 1, sizeof i);
                if (i < verdicts_.size()) w.current = i;
            } else if (kind == VERDICT && message->size() == 2 && w.current) {
                verdicts_[*w.current] = static_cast<Verdict>((*message)[1]);
                w.current.reset();
            } else if (kind == FAILED) {
                w.in_error = true;
                w.error = message->substr(1);
            }
        }
    }

    // The worker's stream ended: settle the file it was on.
    void finish(Worker& w) {
        ::close(w.fd);
        w.fd = -1;
        const int status = wait_for(w.pid);
        w.pid = -1;
        if (!w.current) return;
        const FileNumber i = *w.current;
        if (w.in_error) {
            if (!error_at_ || i < *error_at_) {
                error_at_ = i;
                error_ = w.error;
            }
        } else if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
            // The worker died on file i: the file's damage crashed the storage library.
            verdicts_[i] = Verdict::Abnormal;
        }
    }

    void emit_ready() {
        while (emitted_ < count_ && verdicts_[emitted_] && (!error_at_ || emitted_ < *error_at_)) {
            on_verdict_(emitted_, *verdicts_[emitted_]);
            ++emitted_;
        }
    }

    static void stop(Worker& w) {
        if (w.pid > 0) {
            ::kill(w.pid, SIGKILL);
            wait_for(w.pid);
            w.pid = -1;
        }
        if (w.fd >= 0) {
            ::close(w.fd);
            w.fd = -1;
        }
    }

    std::size_t count_;
    const std::function<Verdict(std::size_t)>& examine_;
    const std::function<void(std::size_t, Verdict)>& on_verdict_;
    SharedCounter counter_;
    std::vector<Worker> workers_;
    std::vector<std::optional<Verdict>> verdicts_;
    std::size_t emitted_ = 0;
    std::optional<std::size_t> error_at_;
    std::string error_;
};

}  // namespace

unsigned default_check_workers() {
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

void examine_isolated(std::size_t count, const std::function<Verdict(std::size_t)>& examine,
                      const std::function<void(std::size_t, Verdict)>& on_verdict, unsigned workers) {
    if (count == 0) return;
    if (workers == 0) workers = default_check_workers();
    if (workers > count) workers = static_cast<unsigned>(count);
    Run run(count, examine, on_verdict);
    run.go(workers);
}

}  // namespace tarnwick::bundle::checks
