#include "tarnwick/bundle/status/isolated_map.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/child_io.hpp"
#include "tarnwick/bundle/host/console.hpp"

namespace tarnwick::bundle::status {
namespace {

[[noreturn]] void run_child(std::size_t first, std::size_t end, const std::function<std::string(std::size_t)>& work,
                            int fd) {
    host::set_console({});
    // Opening a file makes HDF5 allocate (and clear) its metadata cache, over half a megabyte,
    // and free it again at the close. Left to its defaults, malloc maps and unmaps such blocks
    // each time, so every file costs hundreds of fresh zeroed pages: keep them in the heap.
    ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
    for (std::size_t i = first; i < end; ++i) host::send_message(fd, work(i));
    ::_exit(0);
}

// One slice of the items and the child working on it.
struct Slice {
    std::size_t next = 0;
    std::size_t end = 0;
    pid_t pid = -1;
    int fd = -1;
    host::MessageReader messages;  // one result per item, in order
};

void start(Slice& slice, const std::function<std::string(std::size_t)>& work) {
    const host::Child child = host::start_child([&](int fd) { run_child(slice.next, slice.end, work, fd); },
                                                "cannot create a pipe for reading the bundle",
                                                "cannot start a process for reading the bundle");
    slice.pid = child.pid;
    slice.fd = child.fd;
    slice.messages = {};
}

std::string how_it_ended(int status) {
    if (WIFSIGNALED(status)) return fmt::format("reading it killed the reader ({})", strsignal(WTERMSIG(status)));
    return fmt::format("the reader ended with status {} while reading it", WEXITSTATUS(status));
}

int reap(pid_t pid) { return host::reap_child(pid); }

// Ends every child still running when an error leaves map_isolated early.
struct ChildrenGuard {
    explicit ChildrenGuard(std::vector<Slice>& watched) : slices(watched) {}
    ChildrenGuard(const ChildrenGuard&) = delete;
    ChildrenGuard& operator=(const ChildrenGuard&) = delete;
    std::vector<Slice>& slices;
    ~ChildrenGuard() {
        for (auto& slice : slices) {
            if (slice.fd < 0) continue;
            ::close(slice.fd);
            ::kill(slice.pid, SIGKILL);
            reap(slice.pid);
        }
    }
};

}  // namespace

void map_isolated(std::size_t count, int jobs, const std::function<std::string(std::size_t)>& work,
                  const std::function<void(std::size_t, std::string_view)>& on_result,
                  const std::function<std::string(std::size_t, const std::string& how)>& on_crash) {
    if (count == 0) return;
    const std::size_t slices_wanted = std::min<std::size_t>(count, static_cast<std::size_t>(std::max(jobs, 1)));
    std::vector<Slice> slices(slices_wanted);
    for (std::size_t k = 0; k < slices.size(); ++k) {
        slices[k].next = count * k / slices.size();
        slices[k].end = count * (k + 1) / slices.size();
    }
    ChildrenGuard guard(slices);
    for (auto& slice : slices) start(slice, work);

    for (;;) {
        std::vector<pollfd> waiting;
        std::vector<Slice*> owners;
        for (auto& slice : slices)
            if (slice.fd >= 0) {
                waiting.push_back({slice.fd, POLLIN, 0});
                owners.push_back(&slice);
            }
        if (waiting.empty()) break;
        if (::poll(waiting.data(), waiting.size(), -1) < 0) {
            if (errno == EINTR) continue;
            throw OsError::from_errno(errno, "waiting for the bundle's readers failed");
        }
        for (std::size_t w = 0; w < waiting.size(); ++w) {
            if (waiting[w].revents == 0) continue;
            Slice& slice = *owners[w];
            const auto read = slice.messages.read_from(slice.fd);
            if (read == host::MessageReader::Read::Interrupted || read == host::MessageReader::Read::Empty) continue;
            if (read == host::MessageReader::Read::Data) {
                while (const auto result = slice.messages.next()) on_result(slice.next++, *result);
                continue;
            }
            // End of stream: the child finished its slice, or died on item `next`.
            ::close(slice.fd);
            slice.fd = -1;
            const int status = reap(slice.pid);
            if (slice.next < slice.end) {
                const std::string crashed = on_crash(slice.next, how_it_ended(status));
                on_result(slice.next, crashed);
                ++slice.next;
                if (slice.next < slice.end) start(slice, work);
            }
        }
    }
}

}  // namespace tarnwick::bundle::status
