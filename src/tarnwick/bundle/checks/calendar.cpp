#include "tarnwick/bundle/checks/calendar.hpp"

#include "tarnwick/bundle/host/npy.hpp"

namespace tarnwick::bundle::checks {

std::vector<std::int64_t> load_trading_dates(const std::string& npy_file) { return host::read_npy(npy_file); }

}  // namespace tarnwick::bundle::checks
