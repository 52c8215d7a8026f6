#include "tarnwick/bundle/layout/filters.hpp"

#include <fmt/format.h>

#include "tarnwick/bundle/layout/blosc.hpp"

namespace tarnwick::bundle::layout {
namespace {

// The Debian package that makes HDF5 able to run a filter; empty for unknown ones.
std::string package_of(H5Z_filter_t id) {
    if (id == LZF_FILTER_ID) return "liblzf-dev (then rebuild)";
    if (id == BLOSC_FILTER_ID) return "hdf5-filter-plugin-blosc-serial";
    return {};
}

}  // namespace

bool known_minbar_filters(const h5::Dataset& dataset) {
    const auto filters = dataset.filters();
    for (const h5::Filter& filter : filters)
        if (filter.id != H5Z_FILTER_DEFLATE && filter.id != H5Z_FILTER_SHUFFLE && filter.id != LZF_FILTER_ID)
            return false;
    return true;
}

void require_filters(const h5::Dataset& dataset, const std::string& name) {
    for (const h5::Filter& filter : dataset.filters()) {
        if (h5::filter_available(filter.id)) continue;
        const std::string package = package_of(filter.id);
        throw h5::Error(fmt::format("{}: the dataset \"{}\" is compressed with the HDF5 filter {}, which is not "
                                    "installed{}",
                                    dataset.file_name(), name, filter.id,
                                    package.empty() ? std::string()
                                                    : fmt::format(": install the Debian package {} "
                                                                  "(scripts/install-deps)", package)));
    }
}

}  // namespace tarnwick::bundle::layout
