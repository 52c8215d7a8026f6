#pragma once
// Dry runs of the update commands: what update_minbar, update_tick, the full update and the
// incremental update would fetch now, as a drivers::Plan, without fetching a minute bar or a
// tick and without changing any file (the recorded selection included). The service is asked
// for what the selection and the plan need: listings and instrument records (tag resolution),
// the trading calendar, and for ticks the instrument's day bars over the range (the update's own
// way to find the days it fetches).
//
// With `rebuild`, every selected file is planned as built again from the first day; nothing is
// deleted and no question is asked. With `base`, the plan says day bars and base data would be
// updated first; their size is not estimated (the plan uses the bundle's calendar as the service
// has it now, not the bundle's file).
#include <string>
#include <vector>

#include "tarnwick/bundle/drivers/plan.hpp"

namespace tarnwick::bundle::commands {

drivers::Plan plan_minbar_update(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                                 bool rebuild = false, bool enable_bjse = false);
drivers::Plan plan_tick_update(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                               bool rebuild = false, bool enable_bjse = false);
drivers::Plan plan_bundle_update(const std::string& data_bundle_path, bool base, const std::vector<std::string>& minbar,
                                 const std::vector<std::string>& tick, bool with_derivatives, bool rebuild = false,
                                 bool enable_bjse = false);
// update_bundle_from_exist_file, or with `to_selection` update_bundle_to_selection.
drivers::Plan plan_existing_update(const std::string& data_bundle_path, bool to_selection = false);

// The plan as text (plan_text) or as a JSON document (plan_json).
std::string show_plan(const drivers::Plan& plan, bool json);

}  // namespace tarnwick::bundle::commands
