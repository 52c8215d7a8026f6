#include "tarnwick/bundle/checks/suspensions.hpp"

#include "tarnwick/bundle/checks/listing.hpp"
#include "tarnwick/bundle/h5/h5.hpp"

namespace tarnwick::bundle::checks {

std::map<std::string, std::set<std::string>> load_suspensions(const std::string& file_path,
                                                              const std::vector<std::filesystem::path>& store_files) {
    std::map<std::string, std::set<std::string>> suspendeds;
    h5::File file = h5::File::open(file_path, h5::File::Access::ReadOnly);
    for (const auto& store_file : store_files) {
        const std::string id = store_identifier(store_file);
        auto& days = suspendeds[id];
        if (!file.contains(id)) continue;
        for (const std::int64_t day : file.open_dataset(id).read_all<std::int64_t>(H5T_NATIVE_INT64))
            days.insert(std::to_string(day));
    }
    return suspendeds;
}

}  // namespace tarnwick::bundle::checks
