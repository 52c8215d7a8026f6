// The one way this library starts a child process and hears from it: the pool's workers, the
// check's isolated examination and status's readers all go through start_child() and messages.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

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

// Everything a reader took from `fd` until the child's end of stream, message by message.
std::vector<std::string> receive_all(int fd) {
    MessageReader reader;
    std::vector<std::string> messages;
    for (;;) {
        const auto read = reader.read_from(fd);
        if (read == MessageReader::Read::EndOfStream) break;
        while (auto message = reader.next()) messages.push_back(std::move(*message));
    }
    EXPECT_FALSE(reader.has_partial());
    ::close(fd);
    return messages;
}

TEST(Messages, ArriveWholeAndInOrderHoweverThePipeSplitsThem) {
    // Written a byte at a time, so that every message is cut at every possible place; an empty
    // message, one with NUL bytes and one larger than a pipe's buffer are among them.
    const std::vector<std::string> sent = {"", std::string("a\0b", 3), "verdict", std::string(200000, 'x'), "end"};
    const Child child = start_child(
        [&sent](int fd) {
            for (const std::string& message : sent) {
                if (message.size() > 1000) {
                    send_message(fd, message);
                    continue;
                }
                // The framing of send_message, one byte per write().
                const std::uint32_t length = static_cast<std::uint32_t>(message.size());
                const std::string frame = std::string(reinterpret_cast<const char*>(&length), sizeof length) + message;
                for (const char byte : frame) write_all(fd, &byte, 1);
            }
            ::_exit(0);
        },
        "pipe", "fork");
    EXPECT_EQ(receive_all(child.fd), sent);
    EXPECT_EQ(exit_code(reap_child(child.pid)), 0);
}

TEST(Messages, AMessageCutOffByTheChildsDeathIsNeverHandedOut) {
    const Child child = start_child(
        [](int fd) {
            send_message(fd, "whole");
            const std::uint32_t length = 100;
            write_all(fd, &length, sizeof length);
            write_all(fd, "only part", 9);
            ::_exit(3);
        },
        "pipe", "fork");
    MessageReader reader;
    std::vector<std::string> messages;
    while (reader.read_from(child.fd) != MessageReader::Read::EndOfStream)
        while (auto message = reader.next()) messages.push_back(*message);
    ::close(child.fd);
    EXPECT_EQ(messages, std::vector<std::string>{"whole"});
    EXPECT_TRUE(reader.has_partial());
    EXPECT_EQ(exit_code(reap_child(child.pid)), 3);
}

TEST(Messages, ANonBlockingPipeWithNothingInItReadsAsEmptyNotAsTheEnd) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    MessageReader reader;
    EXPECT_EQ(reader.read_from(fds[0]), MessageReader::Read::Empty);
    send_message(fds[1], "late");
    EXPECT_EQ(reader.read_from(fds[0]), MessageReader::Read::Data);
    EXPECT_EQ(reader.next(), std::optional<std::string>("late"));
    ::close(fds[1]);
    EXPECT_EQ(reader.read_from(fds[0]), MessageReader::Read::EndOfStream);
    ::close(fds[0]);
}

}  // namespace
}  // namespace tarnwick::bundle::host
