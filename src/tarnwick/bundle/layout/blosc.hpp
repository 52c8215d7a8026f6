#pragma once
// Blosc as an HDF5 filter (id 32001), as the product's utilities configure it.
#include <string>
#include <vector>

#include "tarnwick/bundle/h5/h5.hpp"

namespace tarnwick::bundle::layout {

inline constexpr H5Z_filter_t BLOSC_FILTER_ID = 32001;

struct BloscOptions {
    H5Z_filter_t compression = BLOSC_FILTER_ID;
    // Filter client data: four slots the filter fills itself, then level, shuffle, compressor.
    std::vector<unsigned> compression_opts;
    bool shuffle = false;  // HDF5's own shuffle filter; Blosc shuffles inside the filter instead

    h5::Filter filter() const { return {compression, H5Z_FLAG_MANDATORY, compression_opts}; }
};

// complib is one of "blosc:blosclz", "blosc:lz4", "blosc:lz4hc", "blosc:snappy", "blosc:zlib",
// "blosc:zstd"; anything else is a ValueError. Byte shuffling is on.
BloscOptions blosc_opts(int complevel, const std::string& complib);

// Throws std::runtime_error naming the Debian package when HDF5 cannot load the Blosc
// plug-in. HDF5 accepts the filter on a property list without the plug-in and only fails when
// a dataset is created, so the check runs up front (once per process).
void require_blosc_filter();

}  // namespace tarnwick::bundle::layout
