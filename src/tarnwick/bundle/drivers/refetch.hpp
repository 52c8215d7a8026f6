#pragma once
// Taking in a vendor's corrections: fetch a range of trading days again and replace them in
// each selected store file (minbar/refetch.hpp, tick/refetch.hpp). What both kinds share: the
// range the user gives, the per-file outcome and its console line, and the run over the
// instruments in worker processes.
#include <functional>
#include <string>
#include <vector>

namespace tarnwick::bundle::h5 {
class File;
}

namespace tarnwick::bundle::drivers {

// Trading days first..last (YYYYMMDD), inclusive.
struct DayRange {
    int first = 0;
    int last = 0;
};
// "START" (that day), "START:END", or "START:" (to the file's last stored day); days as
// YYYYMMDD or YYYY-MM-DD. ValueError for anything else or an END before START.
DayRange parse_day_range(const std::string& text);

// What a refetch did to one file.
struct RefetchOutcome {
    int replaced = 0;         // stored days the service now serves with other content
    int identical = 0;        // stored days served unchanged (not rewritten)
    int added = 0;            // days the file lacked (a gap filled)
    int dropped = 0;          // stored days the service no longer serves, removed (drop_missing)
    int kept_missing = 0;     // such days kept
    int first = 0, last = 0;  // the range after clipping to the last stored day; 0: nothing to do
    std::string note;         // why nothing was done, when nothing was
};

// "<id>: 2 days replaced (different), 3 identical, 1 added[, ...] (2026-12-01..2026-12-04)" or
// "<id>: <note>".
std::string refetch_line(const std::string& order_book_id, const RefetchOutcome& outcome);

// Opens `h5_file` for writing, lets `replace` rewrite its days and closes it (the commit), then
// prints the outcome's line. Any failure abandons the file (it is rolled back) and is reported
// as the update's failure (the outcome then says what was done before the failure); a stop is
// passed on.
RefetchOutcome refetch_file(const std::string& h5_file, const std::string& order_book_id,
                            const std::function<RefetchOutcome(h5::File&)>& replace);

// Runs `task` for each identifier as update_each_instrument does (announced with
// `announcement`); the tasks print their own lines. True when every file was refetched.
bool refetch_each_instrument(const std::string& path, const std::vector<std::string>& ids, int concurrency,
                             const std::string& announcement, const std::string& description,
                             void (*task)(const std::string& order_book_id, const std::string& path, DayRange range,
                                          bool drop_missing),
                             DayRange range, bool drop_missing);

}  // namespace tarnwick::bundle::drivers
