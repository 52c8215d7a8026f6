#pragma once
// The LZF filter (id 32000) that h5py writes with compression="lzf", run by liblzf in this
// process. Debian's hdf5-plugin-lzf cannot serve: its plug-in is not linked with liblzf, so
// HDF5 fails to load it and every LZF file reads as "required filter 'lzf' is not registered".
// Chunks are bare LZF blocks, exactly as h5py's own filter stores them, so files written either
// way read the same in both.
#include <hdf5.h>

namespace tarnwick::bundle::h5 {

inline constexpr H5Z_filter_t LZF_FILTER_ID = 32000;

// Registers the filter with HDF5 unless a working one is already there (h5py registers its own
// in a process that imported it). Idempotent, cheap after the first call; File::open and
// File::create call it.
void register_lzf_filter();

}  // namespace tarnwick::bundle::h5
