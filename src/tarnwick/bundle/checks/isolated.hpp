#pragma once
// Examining files in a separate process. A damaged file can make the storage library crash
// (a signal, not an error) while it reads the file's own description of its data; a check
// must survive the damage it exists to find. The files are examined one after the other in a
// forked child that reports one verdict per file; when the child dies on a file, that file is
// abnormal and a new child goes on with the next one.
#include <cstddef>
#include <functional>

namespace tarnwick::bundle::checks {

enum class Verdict : char { Good = 'g', Abnormal = 'a', Blocked = 'b', Skipped = 's' };

// Calls `examine(i)` for i = 0 .. count-1 in child processes and `on_verdict(i, verdict)` in
// this process, in order. An exception that `examine` lets out (one that must stop the whole
// check, such as the service refusing data) ends the run: it is rethrown here with its
// category (service::PermissionDenied, OsError, ValueError or std::runtime_error).
void examine_isolated(std::size_t count, const std::function<Verdict(std::size_t)>& examine,
                      const std::function<void(std::size_t, Verdict)>& on_verdict);

}  // namespace tarnwick::bundle::checks
