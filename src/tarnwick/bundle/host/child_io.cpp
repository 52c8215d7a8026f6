#include "tarnwick/bundle/host/child_io.hpp"

#include <cerrno>
#include <cstdio>
#include <iostream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::host {

void write_all(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
}

void flush_output_streams() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}

Child start_child(const std::function<void(int fd)>& body, const char* pipe_error, const char* fork_error,
                  pid_t (*fork)()) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw OsError::from_errno(errno, pipe_error);
    flush_output_streams();
    const pid_t pid = fork();
    if (pid < 0) {
        const int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw OsError::from_errno(err, fork_error);
    }
    if (pid == 0) {
        try {
            ::close(fds[0]);
            body(fds[1]);
        } catch (...) {}
        ::_exit(1);
    }
    ::close(fds[1]);
    return Child{pid, fds[0]};
}

int reap_child(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return status;
}

}  // namespace tarnwick::bundle::host
