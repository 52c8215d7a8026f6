#pragma once
// The module's boundary: the entry functions the host's command line and the Python module
// call, with the host's names and parameter lists. Everything else is an implementation detail
// of the subsystem folders.
//
//   update_minbar, update_tick            update the store files of a selection of instruments
//   update_bundle_from_tickwirec          full update: day bars and base data, minute bars, ticks
//   update_bundle_from_exist_file         incremental update of every store file in a bundle
//   update_bundle_to_selection            the same, and what the bundle's recorded selection lacks
//   download_simple_bundle                install the sample bundle
//   check_min_bar_data, check_tick_data   integrity checks with their report
//   deal_with_check_result                the report and the deletion question
//   remove_h5                             delete one store file
//   _append_h5, _append_h5_tick           the per-instrument updates the drivers run in workers
//   _merge_tags, _init_tickwire, _switch_of_bjse, _get_end_date
//
// Callers need none of the storage library's headers: nothing here includes HDF5. Each front end
// has a header of its own over this one with what it needs besides (command_line.hpp,
// python_module.hpp); the front ends include nothing else of the library.
#include "tarnwick/bundle/checks/minbar_check.hpp"
#include "tarnwick/bundle/checks/report.hpp"
#include "tarnwick/bundle/checks/tick_check.hpp"
#include "tarnwick/bundle/commands/sample.hpp"
#include "tarnwick/bundle/commands/updates.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/minbar/driver.hpp"
#include "tarnwick/bundle/selection/tags.hpp"
#include "tarnwick/bundle/service/connection.hpp"
#include "tarnwick/bundle/tick/append.hpp"
#include "tarnwick/bundle/tick/driver.hpp"

namespace tarnwick::bundle {

using checks::check_min_bar_data;
using checks::check_tick_data;
using checks::deal_with_check_result;
using commands::download_simple_bundle;
using commands::update_bundle_from_exist_file;
using commands::update_bundle_from_tickwirec;
using commands::update_bundle_to_selection;
using layout::remove_h5;
using minbar::_append_h5;
using minbar::update_minbar;
using selection::_merge_tags;
using service::_get_end_date;
using service::_init_tickwire;
using service::_switch_of_bjse;
using tick::_append_h5_tick;
using tick::update_tick;

}  // namespace tarnwick::bundle
