#pragma once
// Small pieces shared by the code that forks worker processes and talks to them over pipes.
#include <cstddef>

namespace tarnwick::bundle::host {

// Writes all `size` bytes to `fd`, retrying after interruptions; gives up silently when the
// reader is gone (the parent then sees the worker's end of stream instead).
void write_all(int fd, const void* data, std::size_t size);

// Flushes every buffered output stream, so that a forked child, which inherits the buffers,
// never writes them a second time.
void flush_output_streams();

}  // namespace tarnwick::bundle::host
