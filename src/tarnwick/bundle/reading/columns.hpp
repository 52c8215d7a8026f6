#pragma once
// Columns derived from records read out of the store files, for table views (pandas).
#include <cstddef>
#include <cstdint>
#include <span>

#include "tarnwick/bundle/reading/read.hpp"

namespace tarnwick::bundle::reading {

// Each record's time as nanoseconds since 1970-01-01 00:00 of the same clock (the exchange's
// local time, as stored: no time zone): a bar's `datetime` YYYYMMDDHHMMSS, a tick's calendar
// `date` YYYYMMDD with its `time` HHMMSSmmm. REQUIRES: out.size() == records' rows.
void timestamps(RecordKind kind, std::span<const unsigned char> records, std::span<std::int64_t> out);

// Midnight of the day YYYYMMDD on the clock of timestamps().
std::int64_t day_start(std::int64_t yyyymmdd);

// Each tick's own volume: its cumulative `volume` less the previous tick's of the same trading
// day (`days`, as a read returns them); the first tick of a day keeps its whole volume.
// REQUIRES: out.size() == the ticks' rows == the sum of the days' rows.
void tick_volumes(std::span<const unsigned char> ticks, std::span<const DayRows> days, std::span<std::int64_t> out);

}  // namespace tarnwick::bundle::reading
