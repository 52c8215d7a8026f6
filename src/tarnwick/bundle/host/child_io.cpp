#include "tarnwick/bundle/host/child_io.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>

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

namespace {
using MessageLength = std::uint32_t;
}  // namespace

void send_message(int fd, std::string_view payload) {
    if (payload.size() > std::numeric_limits<MessageLength>::max())
        payload = payload.substr(0, std::numeric_limits<MessageLength>::max());
    const MessageLength length = static_cast<MessageLength>(payload.size());
    std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
    frame += payload;
    write_all(fd, frame.data(), frame.size());
}

MessageReader::Read MessageReader::read_from(int fd) {
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
        // Drop what was handed out before growing the buffer.
        buffer_.erase(0, at_);
        at_ = 0;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return Read::Data;
    }
    if (n < 0 && errno == EINTR) return Read::Interrupted;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Read::Empty;
    return Read::EndOfStream;
}

std::optional<std::string> MessageReader::next() {
    MessageLength length;
    if (buffer_.size() - at_ < sizeof length) return std::nullopt;
    std::memcpy(&length, buffer_.data() + at_, sizeof length);
    if (buffer_.size() - at_ - sizeof length < length) return std::nullopt;
    std::string message = buffer_.substr(at_ + sizeof length, length);
    at_ += sizeof length + length;
    return message;
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
