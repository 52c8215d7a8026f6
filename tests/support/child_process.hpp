#pragma once
// Test support: runs a function in a forked child process. The child calls ready() once it has
// reached the state the test needs (a file held open, say); the parent waits for that with
// wait_ready(). The child is killed and reaped when the object goes away.
#include <functional>

#include <sys/types.h>

namespace tarnwick::bundle::test {

class ChildProcess {
public:
    // `body` runs in the child; its return value is the child's exit status.
    explicit ChildProcess(std::function<int(ChildProcess&)> body);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void ready();            // in the child
    bool wait_ready();       // in the parent; false when the child ended without ready()
    int wait_exit_status();  // in the parent; -signal when killed by a signal
    void kill_now();         // SIGKILL
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int ready_pipe_[2] = {-1, -1};
    bool reaped_ = false;
    int status_ = 0;
};

}  // namespace tarnwick::bundle::test
