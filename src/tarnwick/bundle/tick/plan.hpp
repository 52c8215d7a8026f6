#pragma once
// The plan of a tick update (drivers/plan.hpp): for each instrument, the days _append_h5_tick
// would fetch now, from its file's member names, without changing it. As the update: from the
// newest stored day (fetched again, since it may have been stored before the day was over) or
// from min_start_date for a missing file or with `rebuild`, to the end date; the trading days
// are those of the instrument's day bars over that range, which the service is asked for (the
// update asks the same); ticks are not asked for.
#include <string>
#include <vector>

#include "tarnwick/bundle/drivers/plan.hpp"

namespace tarnwick::bundle::tick {

std::vector<drivers::InstrumentPlan> plan_tick(const std::string& path, const std::vector<std::string>& ids,
                                               bool rebuild);

}  // namespace tarnwick::bundle::tick
