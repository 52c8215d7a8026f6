#include "tarnwick/bundle/layout/output_guard.hpp"

#include <array>
#include <filesystem>
#include <fstream>
#include <optional>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::layout {
namespace {

namespace fs = std::filesystem;

bool folder_at(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

bool entry_at(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// A bundle folder is always named "bundle" (bundle_dir()); one that holds none of a bundle's
// parts is just a folder of that name.
bool is_bundle_folder(const fs::path& dir) {
    return dir.filename() == "bundle" && (folder_at(dir / "h5") || folder_at(dir / "ticks") ||
                                          entry_at(dir / "trading_dates.npy") || entry_at(dir / "instruments.pk"));
}

bool is_hdf5_file(const fs::path& path) {
    static constexpr std::array<char, 8> signature{'\x89', 'H', 'D', 'F', '\r', '\n', '\x1a', '\n'};
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    std::array<char, 8> head{};
    std::ifstream in(path, std::ios::binary);
    return in.read(head.data(), head.size()) && head == signature;
}

// What `path` (absolute) is among a bundle's files, or nothing.
std::optional<std::string> role_in_bundle(const fs::path& path) {
    const std::string name = path.filename().string();
    const bool store_name = name.find(".h5") != std::string::npos;
    for (fs::path dir = path.parent_path(); !dir.empty() && dir.has_relative_path(); dir = dir.parent_path()) {
        if (!is_bundle_folder(dir)) continue;
        const fs::path inside = path.lexically_relative(dir);
        const std::string first = inside.begin()->string();
        if (first.starts_with(".tarnwick")) return "one of the bundle's own records";
        if (inside == path.filename()) {
            if (name == "trading_dates.npy" || name == "instruments.pk" || store_name || entry_at(path))
                return "a base file of the bundle";
            return std::nullopt;
        }
        if ((first == "h5" || first == "ticks") && name.ends_with(".journal")) return "the journal of a store file";
        if ((first == "h5" || first == "ticks") && store_name) return "a store file of the bundle";
        return std::nullopt;
    }
    // Store files outside a bundle tree (a copy, a folder linked in): any HDF5 file, and the
    // journal beside one.
    if (is_hdf5_file(path)) return "an HDF5 file (a store file or another program's data)";
    if (name.ends_with(".journal") && entry_at(path.parent_path() / name.substr(0, name.size() - 8)))
        return "the journal of a store file";
    return std::nullopt;
}

}  // namespace

void refuse_bundle_file_as_output(const std::string& output) {
    if (output.empty()) return;
    std::error_code ec;
    const fs::path given = fs::absolute(output, ec).lexically_normal();
    if (ec) return;  // no working folder: the write itself reports it
    // The path as the write would follow it: through every link, the last one included.
    const fs::path resolved = fs::weakly_canonical(given, ec);
    if (!ec && resolved != given)
        if (const auto role = role_in_bundle(resolved))
            throw ValueError(fmt::format("\"{}\" leads to \"{}\", which is {}; write the output elsewhere (nothing "
                                         "was changed)",
                                         output, resolved.string(), *role));
    // As given, too: a store folder of the bundle may be a link to another disk.
    if (const auto role = role_in_bundle(given))
        throw ValueError(fmt::format("\"{}\" is {}; write the output elsewhere (nothing was changed)", output, *role));
}

}  // namespace tarnwick::bundle::layout
