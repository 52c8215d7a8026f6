#include "tarnwick/bundle/checks/calendar.hpp"

#include <filesystem>

#include "tarnwick/bundle/formats/npy.hpp"

namespace tarnwick::bundle::checks {

std::vector<std::int64_t> load_trading_dates(const std::string& npy_file) { return formats::read_npy(npy_file); }

bool has_trading_dates(const std::string& npy_file) {
    return std::filesystem::exists(npy_file) && !load_trading_dates(npy_file).empty();
}

}  // namespace tarnwick::bundle::checks
