#include "tarnwick/bundle/checks/listing.hpp"

namespace tarnwick::bundle::checks {
namespace fs = std::filesystem;

namespace {
bool hidden(const fs::path& p) { return p.filename().string().starts_with("."); }
}  // namespace

std::string store_identifier(const fs::path& file) {
    std::string name = file.filename().string();
    for (std::size_t at; (at = name.find(".h5")) != std::string::npos;) name.erase(at, 3);
    return name;
}

std::vector<fs::path> store_files_in(const fs::path& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const fs::path& p = entry.path();
        if (!hidden(p) && p.extension() == ".h5" && entry.is_regular_file()) files.push_back(p);
    }
    return files;
}

std::vector<fs::path> store_files_one_level_below(const fs::path& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (hidden(entry.path()) || !entry.is_directory()) continue;
        for (auto& file : store_files_in(entry.path())) files.push_back(std::move(file));
    }
    return files;
}

}  // namespace tarnwick::bundle::checks
