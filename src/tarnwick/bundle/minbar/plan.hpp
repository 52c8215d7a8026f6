#pragma once
// The plan of a minute-bar update (drivers/plan.hpp): for each instrument, the days _append_h5
// would fetch now, read from its file without changing it. The same decisions as the update, in
// its order: the look-up and the instrument's file; a missing file (or `rebuild`, or a file
// without a day index) from the first day; a file whose index and bars end on different days
// from the day after the last one both keep; a delisted instrument complete up to its delisting
// date is current; otherwise the trading day after the last stored one up to the end date.
//
// Asks the service only for instrument records and the trading calendar, never for bars. A file
// held by a writer or unreadable is planned as unknown with the reason.
#include <string>
#include <vector>

#include "tarnwick/bundle/drivers/plan.hpp"

namespace tarnwick::bundle::minbar {

// `calendar`: the trading days from MIN_START_DATE up to at least the end date, ascending.
std::vector<drivers::InstrumentPlan> plan_minbar(const std::string& path, const std::vector<std::string>& ids,
                                                 bool rebuild, const std::vector<int>& calendar);

}  // namespace tarnwick::bundle::minbar
