#pragma once
// Reading one store file for its status: what days it holds, measured against the calendar.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tarnwick/bundle/status/status.hpp"

namespace tarnwick::bundle::status {

// What every examination is measured against, loaded once per run.
struct Context {
    std::vector<std::int64_t> calendar;                   // trading days YYYYMMDD, ascending; empty without a calendar
    std::optional<int> target;                            // the latest trading day an update would fetch now
    std::map<std::string, std::vector<int>> suspensions;  // instrument -> suspension days, ascending
    std::map<std::string, int> delistings;                // instrument -> delisting date, when delisted
};

// Reads the day index (the field "date" of "index") and the number of bars of a minute-bar file.
// Storage errors become the status's `held` / `unreadable`; nothing is thrown.
FileStatus examine_minbar(const std::filesystem::path& path, const Context& context);
// Reads a tick file's member names (one dataset per trading day, "YYYYMMDD").
FileStatus examine_tick(const std::filesystem::path& path, const Context& context);

// Fills the day counts, missing days and month coverage from the days a file holds (ascending,
// unique); `marks` (ascending), among them, are empty tick days: suspension marks, counted as
// suspended. Exposed for tests.
void measure_days(FileStatus& file, const std::vector<int>& held_days, const Context& context,
                  const std::vector<int>& marks = {});

}  // namespace tarnwick::bundle::status
