#include "tarnwick/bundle/status/isolated_map.hpp"

#include <malloc.h>
#include <sys/wait.h>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/worker_engine.hpp"

namespace tarnwick::bundle::status {
namespace {

std::string how_it_ended(int status) {
    if (WIFSIGNALED(status)) return fmt::format("reading it killed the reader ({})", strsignal(WTERMSIG(status)));
    return fmt::format("the reader ended with status {} while reading it", WEXITSTATUS(status));
}

// Opening a file makes HDF5 allocate (and clear) its metadata cache, over half a megabyte, and
// free it again at the close. Left to its defaults, malloc maps and unmaps such blocks each
// time, so every file costs hundreds of fresh zeroed pages: keep them in the heap.
void keep_freed_memory() {
    ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

}  // namespace

void map_isolated(std::size_t count, int jobs, const std::function<std::string(std::size_t)>& work,
                  const std::function<void(std::size_t, std::string_view)>& on_result,
                  const std::function<std::string(std::size_t, const std::string& how)>& on_crash) {
    host::WorkerOptions options;
    options.workers = static_cast<std::size_t>(std::max(jobs, 1));
    options.initializer = keep_freed_memory;
    std::string not_read;
    host::run_workers(count, options, work, [&](std::size_t i, host::Outcome outcome) {
        switch (outcome.kind) {
            case host::Outcome::Kind::Done:
                on_result(i, outcome.text);
                break;
            case host::Outcome::Kind::Died:
                on_result(i, on_crash(i, how_it_ended(outcome.wait_status)));
                break;
            case host::Outcome::Kind::Failed:
            case host::Outcome::Kind::Interrupted:
                on_result(i, on_crash(i, outcome.text));
                break;
            case host::Outcome::Kind::NotRun:
                if (not_read.empty()) not_read = outcome.text;
                break;
        }
        return true;
    });
    if (!not_read.empty()) throw OsError(OsError::Kind::Other, 0, "cannot read the bundle: " + not_read);
}

}  // namespace tarnwick::bundle::status
