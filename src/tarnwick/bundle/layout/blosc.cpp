#include "tarnwick/bundle/layout/blosc.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <type_traits>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/h5.hpp"

namespace tarnwick::bundle::layout {

static_assert(std::is_same_v<H5Z_filter_t, int>, "BloscOptions keeps HDF5's filter id as an int");

h5::Filter BloscOptions::filter() const { return {compression, H5Z_FLAG_MANDATORY, compression_opts}; }

BloscOptions blosc_opts(int complevel, const std::string& complib) {
    static const std::array<const char*, 6> compressors = {"blosc:blosclz", "blosc:lz4",  "blosc:lz4hc",
                                                           "blosc:snappy",  "blosc:zlib", "blosc:zstd"};
    const auto found = std::find(compressors.begin(), compressors.end(), complib);
    if (found == compressors.end()) throw ValueError("unknown Blosc compressor \"" + complib + "\"");
    if (complevel < 0 || complevel > 9) throw ValueError("Blosc level must be 0..9");
    const unsigned shuffle = 1;
    BloscOptions options;
    options.compression_opts = {
        0, 0, 0, 0, static_cast<unsigned>(complevel), shuffle, static_cast<unsigned>(found - compressors.begin())};
    return options;
}

void require_blosc_filter() {
    static const bool available = h5::filter_available(BLOSC_FILTER_ID);
    if (!available)
        throw std::runtime_error(
            "the HDF5 Blosc filter (id 32001) is not available: install the Debian package "
            "hdf5-filter-plugin-blosc-serial (and make sure HDF5_PLUGIN_PATH, if set, includes its folder)");
}

}  // namespace tarnwick::bundle::layout
