#pragma once
// Small pieces shared by the code that forks worker processes and talks to them over pipes.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>
#include <unistd.h>

namespace tarnwick::bundle::host {

// Writes all `size` bytes to `fd`, retrying after interruptions; gives up silently when the
// reader is gone (the parent then sees the worker's end of stream instead).
void write_all(int fd, const void* data, std::size_t size);

// A child talks to its parent in messages: a 32-bit length, then that many bytes. The parent
// never guesses where one ends, however the pipe splits or joins them. A message that could not
// be written whole (the parent is gone) is simply lost with the rest of the stream.
void send_message(int fd, std::string_view payload);

// The parent's side: collects what it reads from a child's pipe and hands out the messages that
// have arrived whole, in order.
class MessageReader {
public:
    enum class Read { Data, Interrupted, Empty, EndOfStream };
    // One read() of what the pipe holds: Data, Interrupted (by a signal: try again), Empty
    // (nothing there yet, on a non-blocking pipe), or EndOfStream (the child closed its end, so
    // it has ended; a read error counts as that too).
    Read read_from(int fd);
    // The next message that has arrived whole.
    std::optional<std::string> next();
    // Bytes received that are not part of a whole message yet (a child that died mid-message).
    bool has_partial() const { return at_ < buffer_.size(); }

private:
    std::string buffer_;
    std::size_t at_ = 0;  // where the next message starts in buffer_
};

// Flushes every buffered output stream, so that a forked child, which inherits the buffers,
// never writes them a second time.
void flush_output_streams();

// A started child process: its id and the read end of the pipe it writes to.
struct Child {
    pid_t pid = -1;
    int fd = -1;
};

// Starts a child that runs `body` with the write end of a close-on-exec pipe. The child never
// returns into the caller's code: when `body` returns or throws, the child ends with _exit(1)
// (a body ends itself with _exit(0) when it succeeds). Output buffered before the fork is
// flushed first, so that the child does not write it a second time. Throws OsError with
// `pipe_error` or `fork_error` in front of the cause. `fork` stands in for ::fork in tests.
Child start_child(const std::function<void(int fd)>& body, const char* pipe_error, const char* fork_error,
                  pid_t (*fork)() = ::fork);

// Waits for the child `pid` to end, retrying after interruptions; returns its wait status.
int reap_child(pid_t pid);

}  // namespace tarnwick::bundle::host
