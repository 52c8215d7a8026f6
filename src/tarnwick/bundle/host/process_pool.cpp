#include "tarnwick/bundle/host/process_pool.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/console.hpp"

namespace tarnwick::bundle::host {
namespace {

constexpr std::size_t MAX_ERROR_TEXT = 4096;

void write_all(int fd, const std::string& text) {
    const char* data = text.data();
    std::size_t left = std::min(text.size(), MAX_ERROR_TEXT);
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

// Runs in the worker: initializer, call, then _exit so that nothing of the parent's state
// (atexit handlers, buffered streams copied by fork) runs twice.
[[noreturn]] void run_worker(const std::function<void()>& initializer, const std::function<void()>& call, int fd) {
    int status = 0;
    // Console hooks belong to the process that installed them (the Python module routes the
    // console through the interpreter); a worker writes to its standard output directly and
    // never runs interpreter code.
    set_console({});
    try {
        if (initializer) initializer();
        call();
    } catch (const std::exception& error) {
        write_all(fd, error.what());
        status = 1;
    } catch (...) {
        write_all(fd, "unknown error");
        status = 1;
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    ::_exit(status);
}

std::string describe_exit(int status, const std::string& error_text) {
    if (WIFSIGNALED(status))
        return fmt::format("worker process was killed by signal {} ({})", WTERMSIG(status), strsignal(WTERMSIG(status)));
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        return error_text.empty() ? fmt::format("worker process exited with status {}", WEXITSTATUS(status))
                                  : error_text;
    return {};
}

}  // namespace

ProgressedProcessPoolExecutor::ProgressedProcessPoolExecutor(int max_workers, std::function<void()> initializer,
                                                             std::string description)
    : max_workers_(max_workers),
      initializer_(std::move(initializer)),
      description_(std::move(description)),
      progress_(description_) {
    if (max_workers < 1) throw ValueError(fmt::format("the number of worker processes must be at least 1, got {}", max_workers));
}

ProgressedProcessPoolExecutor::~ProgressedProcessPoolExecutor() {
    try {
        shutdown();
    } catch (...) {
        // Leaving the scope must not throw; whatever failed has been recorded.
    }
}

void ProgressedProcessPoolExecutor::submit(std::string label, std::function<void()> call) {
    ++submitted_;
    progress_.set_total(submitted_);
    queue_.push_back({std::move(label), std::move(call)});
    while (!queue_.empty() && running_.size() < static_cast<std::size_t>(max_workers_)) {
        Pending next = std::move(queue_.front());
        queue_.pop_front();
        start(std::move(next));
    }
}

void ProgressedProcessPoolExecutor::start(Pending pending) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw OsError::from_errno(errno, "cannot create a pipe for a worker");
    // Whatever the parent has buffered must not be written a second time by the worker.
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw OsError::from_errno(err, "cannot start a worker process");
    }
    if (pid == 0) {
        ::close(fds[0]);
        run_worker(initializer_, pending.call, fds[1]);
    }
    ::close(fds[1]);
    running_.emplace(pid, Worker{std::move(pending.label), fds[0], {}});
}

void ProgressedProcessPoolExecutor::wait_for_one() {
    // Every worker holds the write end of its pipe until it exits, however it exits; poll()
    // therefore wakes when a worker ends, also when it was killed.
    std::vector<pollfd> fds;
    std::vector<pid_t> pids;
    for (auto& [pid, worker] : running_) {
        fds.push_back({worker.result_fd, POLLIN, 0});
        pids.push_back(pid);
    }
    const int ready = ::poll(fds.data(), fds.size(), 1000);
    if (ready < 0 && errno != EINTR) throw OsError::from_errno(errno, "waiting for worker processes failed");
    for (std::size_t i = 0; i < fds.size(); ++i) {
        Worker& worker = running_.at(pids[i]);
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[1024];
            const ssize_t n = ::read(worker.result_fd, buffer, sizeof buffer);
            if (n > 0) {
                if (worker.error_text.size() < MAX_ERROR_TEXT) worker.error_text.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            reap(pids[i], worker);
            continue;
        }
        // A worker whose pipe stays open after it exited (a descendant kept the pipe): check
        // its status directly so that it is never waited for forever.
        int status = 0;
        if (::waitpid(pids[i], &status, WNOHANG) == pids[i]) {
            ::close(worker.result_fd);
            if (auto error = describe_exit(status, worker.error_text); !error.empty())
                failures_.push_back({worker.label, error});
            running_.erase(pids[i]);
            ++finished_;
            progress_.step();
        }
    }
}

void ProgressedProcessPoolExecutor::reap(pid_t pid, Worker& worker) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ::close(worker.result_fd);
    if (auto error = describe_exit(status, worker.error_text); !error.empty()) failures_.push_back({worker.label, error});
    running_.erase(pid);
    ++finished_;
    progress_.step();
}

void ProgressedProcessPoolExecutor::shutdown() {
    while (!running_.empty() || !queue_.empty()) {
        while (!queue_.empty() && running_.size() < static_cast<std::size_t>(max_workers_)) {
            Pending next = std::move(queue_.front());
            queue_.pop_front();
            start(std::move(next));
        }
        if (!running_.empty()) wait_for_one();
    }
    progress_.finish();
}

}  // namespace tarnwick::bundle::host
