#pragma once
// The host's suspension file "suspended_days.h5": one dataset per instrument, named by its
// identifier, holding its suspension days as integers YYYYMMDD.
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tarnwick::bundle::checks {

// Every store file's suspension days as day texts, keyed by the file's identifier (an
// instrument without a dataset gets an empty set). Reads the file once, read-only; errors
// (OsError, h5::Error) propagate.
std::map<std::string, std::set<std::string>> load_suspensions(const std::string& file_path,
                                                              const std::vector<std::filesystem::path>& store_files);

}  // namespace tarnwick::bundle::checks
