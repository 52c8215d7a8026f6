#pragma once
// The mechanism both update drivers share: resolve the tags, announce the run, then run one
// task per instrument in a pool of worker processes that report failure through the shared
// success flag, and return that flag.
//
// A task that raises instead of reporting (an unknown instrument, a service error before its
// file is opened, a directory that cannot be made) and a worker that dies are logged through
// system_log with the instrument and the error, and make the result false: the caller must
// never be told that everything was updated when something was not.
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tarnwick/bundle/selection/record.hpp"

namespace tarnwick::bundle::drivers {

struct PerInstrumentRun {
    // "...{}...{}": filled with the number of instruments and the abbreviated set.
    std::string announcement;
    // The task run in a worker for one identifier.
    std::function<void(const std::string& order_book_id)> task;
    // Create `path` (with parents) before the announcement.
    bool create_path = false;
    // Shown next to the progress display.
    std::string description;
    // Record the request and its resolution in the bundle (selection/record.hpp) when `path` is
    // a bundle's store folder, before any instrument is started, so that a stopped run still
    // leaves what it was asked for. A record that cannot be written is logged and makes the
    // result false; the update runs all the same.
    std::optional<selection::StoreKind> record_as;
};

bool update_each_instrument(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                            int concurrency, bool enable_bjse, const PerInstrumentRun& run);

// Told the number of instruments of every run once their tags are resolved: a run that matched
// nothing succeeds, and the command line wants to say so. Returns the previous observer.
using SelectionObserver = std::function<void(std::size_t instruments)>;
SelectionObserver observe_selections(SelectionObserver observer);

// The set as the announcement shows it: "set()" when empty, otherwise at most six identifiers
// in ascending order, quoted, then ", ..." when there are more; identifiers of 29 characters or
// more are shortened to 30 characters (quotes included) with "..." in their middle.
std::string abbreviated_set(const std::set<std::string>& ids);

}  // namespace tarnwick::bundle::drivers
