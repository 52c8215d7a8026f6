#pragma once
#include <string>
#include <vector>

namespace tarnwick::bundle::minbar {

// Updates the minute-bar file of every instrument the tags select, `concurrency` at a time in
// worker processes. True when every instrument was updated.
bool update_minbar(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                   int concurrency, bool rebuild = false, bool enable_bjse = false);

}  // namespace tarnwick::bundle::minbar
