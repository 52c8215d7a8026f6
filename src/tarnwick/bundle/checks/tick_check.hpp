#pragma once
// The tick check. For every store file <root>/bundle/ticks/<id>.h5 (one dataset per trading
// day, named YYYYMMDD): the calendar days between its first and its last day that it lacks are
// excused when they are suspension days of the instrument; otherwise they are asked of the
// service one by one and the first one with ticks makes the file abnormal. A file without any
// member is skipped. Files held by another process or forbidden are listed as blocked; the
// report then offers to delete the abnormal files.
#include <optional>
#include <string>

#include "tarnwick/bundle/checks/file_errors.hpp"

namespace tarnwick::bundle::checks {

// `workers`: processes that examine the files, 0 for one per processor.
void check_tick_data(const std::string& data_bundle_path, unsigned workers = 0);

// The examination alone, without the report (nullopt when there was nothing to examine).
std::optional<CheckLists> examine_tick_files(const std::string& data_bundle_path, unsigned workers = 0);

}  // namespace tarnwick::bundle::checks
