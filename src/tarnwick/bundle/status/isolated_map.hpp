#pragma once
// Runs a function over many items in forked child processes, several at a time, and hands the
// results back in this process. A damaged file can crash the storage library (a signal, not
// an error); a child that dies on an item is replaced and goes on with the next one, and the
// item it died on gets `on_crash`'s result instead.
//
// Up to `jobs` children take the items one by one (host::run_workers); results arrive as byte
// strings, in the order the children finish them. Items that no child could read (none could
// be started) make it throw OsError.
//
// REQUIRES: `work` should not let exceptions out (one that does counts as a crash on its
// item); the calling process does not reap its children itself meanwhile.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tarnwick::bundle::status {

void map_isolated(std::size_t count, int jobs, const std::function<std::string(std::size_t)>& work,
                  const std::function<void(std::size_t, std::string_view)>& on_result,
                  const std::function<std::string(std::size_t, const std::string& how)>& on_crash);

}  // namespace tarnwick::bundle::status
