#pragma once
// Blosc as an HDF5 filter (id 32001), as the product's utilities configure it.
#include <string>
#include <vector>

namespace tarnwick::bundle::h5 {
struct Filter;
}

namespace tarnwick::bundle::layout {

// An HDF5 filter id (H5Z_filter_t, an int); kept free of HDF5's headers so that the front ends,
// which show these options, need not see them.
inline constexpr int BLOSC_FILTER_ID = 32001;

struct BloscOptions {
    int compression = BLOSC_FILTER_ID;
    // Filter client data: four slots the filter fills itself, then level, shuffle, compressor.
    std::vector<unsigned> compression_opts;
    bool shuffle = false;  // HDF5's own shuffle filter; Blosc shuffles inside the filter instead

    // The filter as a dataset's creation properties take it (needs h5/h5.hpp at the call).
    h5::Filter filter() const;
};

// complib is one of "blosc:blosclz", "blosc:lz4", "blosc:lz4hc", "blosc:snappy", "blosc:zlib",
// "blosc:zstd"; anything else is a ValueError. Byte shuffling is on.
BloscOptions blosc_opts(int complevel, const std::string& complib);

// Throws std::runtime_error naming the Debian package when HDF5 cannot load the Blosc
// plug-in. HDF5 accepts the filter on a property list without the plug-in and only fails when
// a dataset is created, so the check runs up front (once per process).
void require_blosc_filter();

}  // namespace tarnwick::bundle::layout
