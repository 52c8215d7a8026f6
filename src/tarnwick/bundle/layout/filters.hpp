#pragma once
// The compression filters a minute-bar file may carry. This store writes deflate; h5py writes
// the same records with compression="lzf" (filter 32000, run in process: h5/lzf_filter.hpp)
// when asked, and such a file is as valid: it is read and extended through HDF5's filter
// pipeline with its own filter (never given deflate chunks, h5/chunks.hpp).
#include <string>

#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/h5/lzf_filter.hpp"

namespace tarnwick::bundle::layout {

inline constexpr H5Z_filter_t LZF_FILTER_ID = h5::LZF_FILTER_ID;

// True when every filter of `dataset` is one a minute-bar file may carry.
bool known_minbar_filters(const h5::Dataset& dataset);

// Throws h5::Error, naming the file, the filter and the Debian package that provides it, when
// HDF5 cannot run one of the dataset's filters: the HDF5 error for this ("required filter ... is
// not registered") reaches users without a hint of what to install.
void require_filters(const h5::Dataset& dataset, const std::string& name);

}  // namespace tarnwick::bundle::layout
