#pragma once
// The minute-bar check. For every store file <root>/bundle/h5/<group>/<id>.h5:
//   1. a file with "data" but no "index" is abnormal; one with neither is skipped;
//   2. the first bar of every indexed day must be that day's first bar: 09:31:00 in day-session
//      groups; in "future" and "option" a bar at 18:00:00 or later belongs to the next
//      trading day;
//   3. an empty index is abnormal;
//   4. calendar days missing between the first and the last indexed day are asked of the
//      service one by one; the first one with bars makes the file abnormal.
// Files held by another process or forbidden are listed as blocked; the report then offers to
// delete the abnormal files.
#include <optional>
#include <string>

#include "tarnwick/bundle/checks/file_errors.hpp"

namespace tarnwick::bundle::checks {

// `workers`: processes that examine the files, 0 for one per processor.
void check_min_bar_data(const std::string& data_bundle_path, unsigned workers = 0);

// The examination alone, without the report (nullopt when there was nothing to examine).
std::optional<CheckLists> examine_min_bar_files(const std::string& data_bundle_path, unsigned workers = 0);

}  // namespace tarnwick::bundle::checks
