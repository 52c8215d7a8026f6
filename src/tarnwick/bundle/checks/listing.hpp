#pragma once
// Finding store files the way the checks and the incremental update do: names ending in ".h5",
// names beginning with a dot skipped, in directory order.
#include <filesystem>
#include <string>
#include <vector>

namespace tarnwick::bundle::checks {

// A store file's instrument: its name with every ".h5" removed.
std::string store_identifier(const std::filesystem::path& file);

// Files "<dir>/*.h5".
std::vector<std::filesystem::path> store_files_in(const std::filesystem::path& dir);
// Files "<dir>/*/*.h5" (one folder level below `dir`).
std::vector<std::filesystem::path> store_files_one_level_below(const std::filesystem::path& dir);

}  // namespace tarnwick::bundle::checks
