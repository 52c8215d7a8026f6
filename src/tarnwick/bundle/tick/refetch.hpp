#pragma once
// Replacing a range of trading days of one tick store file with what the service serves now.
//
// _refetch_h5_tick (one instrument, run in a worker like _append_h5_tick):
//   1. a missing file is left alone (the update makes it); the range is clipped to the newest
//      stored day;
//   2. the range's trading days are those of the instrument's day bars (as for the update); its
//      ticks are fetched in blocks of TICK_DATE_CHUNK_SIZE days;
//   3. a served day whose records equal the stored ones is identical and not rewritten; one
//      that differs replaces the stored day; one the file lacks is added; a stored day with
//      ticks that is no longer served is removed with `drop_missing` unless it is the newest
//      stored day, otherwise kept. Empty datasets (suspension marks) stay unless ticks are
//      served for their day;
//   4. all of it is one transaction, committed once at the end: under the undo journal a kill,
//      a failed write or a full disk leaves the file with its old days or its new ones;
//   5. prints one line with the outcome (drivers::refetch_line).
#include <string>
#include <vector>

#include "tarnwick/bundle/drivers/refetch.hpp"

namespace tarnwick::bundle::tick {

drivers::RefetchOutcome _refetch_h5_tick(const std::string& order_book_id, const std::string& path,
                                         drivers::DayRange range, bool drop_missing);

bool refetch_tick(const std::string& path, const std::vector<std::string>& ids, drivers::DayRange range,
                  bool drop_missing, int concurrency);

}  // namespace tarnwick::bundle::tick
