#pragma once
#include <string>
#include <vector>

namespace tarnwick::bundle::minbar {

// Updates the minute-bar file of every instrument the tags select, `concurrency` at a time in
// worker processes, and records the request in the bundle (selection/record.hpp). True when
// every instrument was updated.
bool update_minbar(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                   int concurrency, bool rebuild = false, bool enable_bjse = false);

// update_minbar(path, ids, false, concurrency) for identifiers the bundle itself supplies (its
// store files, its recorded selection): the recorded selection is left as it is.
bool update_minbar_ids(const std::string& path, const std::vector<std::string>& ids, int concurrency);

}  // namespace tarnwick::bundle::minbar
