#include "tarnwick/bundle/host/child_io.hpp"

#include <cerrno>
#include <cstdio>
#include <iostream>

#include <unistd.h>

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

}  // namespace tarnwick::bundle::host
