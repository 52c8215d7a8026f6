#pragma once
// The module's boundary: the entry functions the host's command line and the Python module
// call, with the host's names and parameter lists. Everything else is an implementation detail
// of the subsystem folders.
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/minbar/driver.hpp"
#include "tarnwick/bundle/selection/connection.hpp"
#include "tarnwick/bundle/selection/tags.hpp"

namespace tarnwick::bundle {

using layout::remove_h5;
using minbar::_append_h5;
using minbar::update_minbar;
using selection::_get_end_date;
using selection::_init_tickwire;
using selection::_merge_tags;
using selection::_switch_of_bjse;

}  // namespace tarnwick::bundle
