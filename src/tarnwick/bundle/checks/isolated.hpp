#pragma once
// Examining files in separate processes. A damaged file can make the storage library crash
// (a signal, not an error) while it reads the file's own description of its data; a check
// must survive the damage it exists to find. The files are shared out among forked worker
// processes, each taking the next unexamined file from a counter in shared memory and reporting
// one verdict per file; when a worker dies on a file, that file is abnormal and a new worker
// goes on with the files left. Verdicts reach the caller in file order, whatever order the
// workers finish in.
#include <cstddef>
#include <functional>

namespace tarnwick::bundle::checks {

enum class Verdict : char { Good = 'g', Abnormal = 'a', Blocked = 'b', Skipped = 's' };

// Worker processes a check uses when none are asked for: one per processor.
unsigned default_check_workers();

// Calls `examine(i)` for i = 0 .. count-1 in up to `workers` child processes (0: the default)
// and `on_verdict(i, verdict)` in this process, in order of i. An exception that `examine` lets
// out for file i (one that must stop the whole check, such as the service refusing data) ends
// the run after the verdicts of the files before i: it is rethrown here with its category
// (service::PermissionDenied, OsError, ValueError or std::runtime_error); no further file is
// handed out. The workers are host::run_workers's.
void examine_isolated(std::size_t count, const std::function<Verdict(std::size_t)>& examine,
                      const std::function<void(std::size_t, Verdict)>& on_verdict, unsigned workers = 0);

}  // namespace tarnwick::bundle::checks
