#pragma once
// Replacing a range of trading days of one minute-bar store file with what the service serves
// now (a vendor's correction, a gap in the middle of the file).
//
// _refetch_h5 (one instrument, run in a worker like _append_h5):
//   1. looks the instrument up and finds its file as _append_h5 does; no file, or a file whose
//      day index and bars end on different days, is left alone (the update makes or repairs it);
//   2. clips the range to the last stored day (the update fetches what follows) and fetches the
//      range's minute bars in one request;
//   3. compares day by day, by the index's rows: a stored day served with the same records is
//      identical and stays as it is; one served otherwise is replaced; a served day the file
//      lacks is added in its place; a stored day no longer served is removed with
//      `drop_missing` unless it is the newest stored day (the next update would fetch it again),
//      otherwise kept;
//   4. when anything changes, rewrites the file from the range's first row on (days after the
//      range are moved record for record, their index entries shifted) and commits once: under
//      the undo journal, a kill, a failed write or a full disk at any moment leaves the file with
//      all its old days or all its new ones;
//   5. prints one line with the outcome (drivers::refetch_line).
// Errors while the file is open are logged and clear the shared flag, as for the update.
#include <string>

#include "tarnwick/bundle/drivers/refetch.hpp"

namespace tarnwick::bundle::minbar {

drivers::RefetchOutcome _refetch_h5(const std::string& order_book_id, const std::string& path, drivers::DayRange range,
                                    bool drop_missing);

// The refetch of every given instrument, `concurrency` at a time; true when all succeeded.
bool refetch_minbar(const std::string& path, const std::vector<std::string>& ids, drivers::DayRange range,
                    bool drop_missing, int concurrency);

}  // namespace tarnwick::bundle::minbar
