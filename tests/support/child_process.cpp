#include "support/child_process.hpp"

#include <csignal>
#include <cstdlib>
#include <stdexcept>

#include <sys/wait.h>
#include <unistd.h>

namespace tarnwick::bundle::test {

ChildProcess::ChildProcess(std::function<int(ChildProcess&)> body) {
    if (pipe(ready_pipe_) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        close(ready_pipe_[0]);
        int status = 99;
        try {
            status = body(*this);
        } catch (...) {
            status = 98;
        }
        _exit(status);  // no destructors or atexit handlers of the test process in the child
    }
    close(ready_pipe_[1]);
    ready_pipe_[1] = -1;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (ready_pipe_[0] >= 0) close(ready_pipe_[0]);
}

void ChildProcess::ready() {
    const char byte = 1;
    (void)!write(ready_pipe_[1], &byte, 1);
}

bool ChildProcess::wait_ready() {
    char byte = 0;
    return read(ready_pipe_[0], &byte, 1) == 1;
}

int ChildProcess::wait_exit_status() {
    if (!reaped_) {
        waitpid(pid_, &status_, 0);
        reaped_ = true;
    }
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    return -WTERMSIG(status_);
}

void ChildProcess::kill_now() {
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
}

}  // namespace tarnwick::bundle::test
