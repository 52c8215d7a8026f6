#pragma once
// Datasets stored without any filter, as other tools write them (h5py without compression).
//
// HDF5 skips a header message whose type it does not know; when that message is the filter
// pipeline, compressed chunks look unfiltered and would be read as records. Their sizes give
// them away: an unfiltered chunk holds exactly its records' bytes.
#include "tarnwick/bundle/h5/h5.hpp"

namespace tarnwick::bundle::checks {

// True when `dataset` has no filters and every allocated chunk (or its contiguous or compact
// storage) is exactly as large as the records it holds. Throws what the HDF5 layer throws.
bool stored_whole_without_filters(const h5::Dataset& dataset);

}  // namespace tarnwick::bundle::checks
