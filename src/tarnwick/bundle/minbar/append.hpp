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
#include <span>
#include <string>
#include <vector>

#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/records.hpp"

namespace tarnwick::bundle::minbar {

void _append_h5(const std::string& order_book_id, const std::string& path,
                const std::optional<std::string>& file_name = std::nullopt,
                int min_start_date = layout::MIN_START_DATE, bool rebuild = false);

// Grows `origin` by the records of `added` and writes them at its end.
template <class Record>
void _append(h5::Dataset& origin, hid_t mem_type, std::span<const Record> added) {
    origin.append(mem_type, added);
}

// Rows per chunk of "data": about 16 KiB of records. zlib at level 9 compresses these records
// about 1.8 times faster in 16 KiB chunks than in 64 KiB ones, and a daily append (which
// recompresses the last, partly filled chunk) costs a third as much; smaller chunks would be
// cheaper to write but make files larger and whole-file reads slower (bench/README.md).
inline constexpr hsize_t DATA_CHUNK_BYTES = 16 * 1024;
inline constexpr hsize_t INDEX_CHUNK_ROWS = 512;
// Bars per write of a long append (about 1.8 MiB of equity bars, a tenth of a second of
// compression): a stop request waits for at most one such write.
inline constexpr std::size_t APPEND_SLICE_ROWS = 1 << 15;

}  // namespace tarnwick::bundle::minbar
