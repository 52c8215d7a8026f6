#pragma once
// Test support: every dataset of every store file below a folder, as raw records, keyed by
// "<relative path>:<dataset>", to compare whole bundles.
#include <filesystem>
#include <map>
#include <string>

namespace tarnwick::bundle::test {

std::map<std::string, std::string> store_contents(const std::filesystem::path& root);

}  // namespace tarnwick::bundle::test
