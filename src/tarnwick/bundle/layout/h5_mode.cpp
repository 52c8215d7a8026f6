#include "tarnwick/bundle/layout/h5_mode.hpp"

#include <filesystem>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/layout/paths.hpp"

namespace tarnwick::bundle::layout {

std::string get_h5_mode(const std::string&) { return "a"; }

h5::File open_h5(const std::string& h5_file, const std::string& mode) {
    using Access = h5::File::Access;
    if (mode == "r") return h5::File::open(h5_file, Access::ReadOnly);
    if (mode == "r+") return h5::File::open(h5_file, Access::ReadWrite);
    if (mode == "w") return h5::File::create(h5_file);
    if (mode == "a") {
        std::error_code ec;
        if (std::filesystem::exists(h5_file, ec)) return h5::File::open(h5_file, Access::ReadWrite);
        return h5::File::create(h5_file);
    }
    throw ValueError("unknown HDF5 open mode \"" + mode + "\"");
}

h5::File create_new_store_file(const std::string& temporary) {
    try {
        return h5::File::create(temporary);
    } catch (const OsError& e) {
        if (e.kind() != OsError::Kind::WouldBlock) discard_failed_new_store_file(temporary);
        throw;
    } catch (...) {
        discard_failed_new_store_file(temporary);
        throw;
    }
}

}  // namespace tarnwick::bundle::layout
