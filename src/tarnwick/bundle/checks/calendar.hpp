#pragma once
// The trading calendar as the checks use it.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick::bundle::checks {

// The days of "trading_dates.npy" as integers YYYYMMDD, in file order (ascending).
std::vector<std::int64_t> load_trading_dates(const std::string& npy_file);

// Whether the calendar file exists and holds at least one day: against an empty calendar every
// file would pass, so the checks treat it as missing. A damaged file throws.
bool has_trading_dates(const std::string& npy_file);

// The calendar days from the first one not earlier than `start` through the first one not
// earlier than `end` (so through `end` itself when it is a trading day), cut at the end of the
// calendar. Works for integers and for equal-width day texts alike.
template <class Day>
std::vector<Day> trading_dates_between(const std::vector<Day>& calendar, const Day& start, const Day& end) {
    const auto first = std::lower_bound(calendar.begin(), calendar.end(), start);
    auto last = std::lower_bound(calendar.begin(), calendar.end(), end);
    if (last != calendar.end()) ++last;
    if (last < first) return {};
    return std::vector<Day>(first, last);
}

}  // namespace tarnwick::bundle::checks
