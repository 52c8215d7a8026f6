#include "tarnwick/bundle/checks/unfiltered.hpp"

namespace tarnwick::bundle::checks {

bool stored_whole_without_filters(const h5::Dataset& dataset) {
    const h5::QuietErrors quiet;
    if (!dataset.filters().empty()) return false;
    const hsize_t record_size = dataset.file_type().size();
    const hid_t id = dataset.id();
    const h5::Handle plist(H5Dget_create_plist(id), H5Pclose);
    if (!plist.valid()) h5::throw_error_stack("cannot read the creation properties of a dataset");
    const H5D_layout_t layout = H5Pget_layout(plist.id());
    if (layout != H5D_CHUNKED) {
        // Contiguous storage is allocated whole or not at all (an empty dataset).
        const hsize_t stored = H5Dget_storage_size(id);
        return stored == 0 || stored == dataset.rows() * record_size;
    }
    hsize_t chunk_rows = 0;
    if (H5Pget_chunk(plist.id(), 1, &chunk_rows) != 1) return false;  // not one-dimensional
    const h5::DataSpace space = h5::DataSpace::of_dataset(id);
    hsize_t chunks = 0;
    if (H5Dget_num_chunks(id, space.id(), &chunks) < 0) h5::throw_error_stack("cannot count the chunks of a dataset");
    for (hsize_t i = 0; i < chunks; ++i) {
        hsize_t offset = 0;
        unsigned filter_mask = 0;
        haddr_t address = 0;
        hsize_t size = 0;
        if (H5Dget_chunk_info(id, space.id(), i, &offset, &filter_mask, &address, &size) < 0)
            h5::throw_error_stack("cannot read the chunk index of a dataset");
        if (size != chunk_rows * record_size) return false;
    }
    return true;
}

}  // namespace tarnwick::bundle::checks
