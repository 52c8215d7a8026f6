#pragma once
#include <string>
#include <vector>

namespace tarnwick::bundle::tick {

// Updates the tick file of every instrument the tags select, `concurrency` at a time in worker
// processes, and records the request in the bundle (selection/record.hpp). Creates `path`
// first. True when every instrument was updated.
bool update_tick(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives, int concurrency,
                 bool rebuild = false, bool enable_bjse = false);

// update_tick(path, ids, false, concurrency) for identifiers the bundle itself supplies (its
// store files, its recorded selection): the recorded selection is left as it is.
bool update_tick_ids(const std::string& path, const std::vector<std::string>& ids, int concurrency);

}  // namespace tarnwick::bundle::tick
