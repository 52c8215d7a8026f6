#pragma once
#include <string>
#include <vector>

namespace tarnwick::bundle::tick {

// Updates the tick file of every instrument the tags select, `concurrency` at a time in worker
// processes. Creates `path` first. True when every instrument was updated.
bool update_tick(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives, int concurrency,
                 bool rebuild = false, bool enable_bjse = false);

}  // namespace tarnwick::bundle::tick
