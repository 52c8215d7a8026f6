// The one way this library starts a child process: the pool's workers, the check's isolated
// examination and status's readers all go through start_child().
#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/child_io.hpp"

namespace tarnwick::bundle::host {
namespace {

std::string read_to_end(int fd) {
    std::string out;
    char buffer[256];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

TEST(StartChild, TheBodysBytesReachTheParentOverACloseOnExecPipe) {
    const Child child = start_child(
        [](int fd) {
            write_all(fd, "hello", 5);
            ::_exit(0);
        },
        "pipe", "fork");
    EXPECT_GT(child.pid, 0);
    EXPECT_NE(::fcntl(child.fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(read_to_end(child.fd), "hello");
    EXPECT_EQ(exit_code(reap_child(child.pid)), 0);
}

TEST(StartChild, AChildNeverReturnsIntoTheCallersCodeWhetherItsBodyReturnsOrThrows) {
    const pid_t parent = ::getpid();
    for (const bool throws : {false, true}) {
        SCOPED_TRACE(throws);
        const Child child = start_child(
            [throws](int) {
                if (throws) throw std::runtime_error("escaped");
            },
            "pipe", "fork");
        if (::getpid() != parent) ::_exit(7);  // reached only by a child that came back here
        EXPECT_EQ(read_to_end(child.fd), "");
        EXPECT_EQ(exit_code(reap_child(child.pid)), 1);
    }
}

pid_t failing_fork() {
    errno = EAGAIN;
    return -1;
}

TEST(StartChild, AFailedForkThrowsWithTheCallersTextAndTheCause) {
    try {
        start_child([](int) {}, "cannot create a pipe for the test", "cannot start the test's process", failing_fork);
        FAIL() << "expected an OsError";
    } catch (const OsError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot start the test's process"), std::string::npos) << e.what();
        EXPECT_EQ(e.error_number(), EAGAIN);
    }
}

}  // namespace
}  // namespace tarnwick::bundle::host
