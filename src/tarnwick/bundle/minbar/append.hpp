#pragma once
// Bringing one instrument's minute-bar store file up to date.
//
// The file <path>/<group>/<id>.h5 holds "data" (bar records in ascending time) and "index" (the
// first row of each trading date). _append_h5:
//   1. looks the instrument up (market "hk" for ".XHKG" identifiers, else "cn") and takes its
//      delisting date and type; the type picks the group ("equities", "future", "option") and
//      the record type; other types get no file;
//   2. for a missing file, fetches the whole history from min_start_date first and creates
//      nothing when there are no bars; the new file is built under a temporary name and renamed
//      into place once complete, so a killed update never leaves a half-made store file;
//   3. a file without "index" is rebuilt from min_start_date;
//   4. otherwise repairs a file whose index and data end on different days (both are cut back
//      to the days before the earlier one), stops for a delisted instrument that is complete,
//      and appends the bars from the trading day after the last stored one up to the end date.
// Errors while the file is open are logged through system_log and clear the shared flag;
// errors before that (unknown instrument, the look-up, the first fetch, the directory)
// propagate to the caller.
#include <optional>
#include <string>

#include "tarnwick/bundle/layout/constants.hpp"

namespace tarnwick::bundle::minbar {

void _append_h5(const std::string& order_book_id, const std::string& path,
                const std::optional<std::string>& file_name = std::nullopt, int min_start_date = layout::MIN_START_DATE,
                bool rebuild = false);

}  // namespace tarnwick::bundle::minbar
