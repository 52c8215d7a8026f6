#pragma once
// One trading day of ticks written as one dataset of a tick store file.
//
// The dataset is created as the options say (for the updater: fixed size, chunks of
// chunk_rows() records, the Blosc filter of layout::COMPRESSION_KWARGS), and its chunks are then
// compressed by c-blosc directly and stored with H5Dwrite_chunk (layout/blosc_codec.hpp): the
// file is what the Blosc plug-in would have written, without HDF5 copying every record into a
// cleared chunk buffer and the plug-in allocating two buffers per chunk. Full chunks are
// compressed straight from the records; a partly filled last chunk from a zero-padded copy.
//
// The records go through HDF5's filter pipeline instead when the created dataset is not laid
// out in a way the codec reproduces: Blosc not its only filter, client data the codec does not
// know (layout::BloscChunkFormat::from_cd_values), a chunk size in the client data that does
// not match the chunk shape, or a stored record type whose bytes differ from TickRecord's.
//
// The writes go through the file like any other (its undo journal included); the caller commits.
#include <span>
#include <string>
#include <vector>

#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/layout/blosc_codec.hpp"
#include "tarnwick/bundle/layout/tick_layout.hpp"

namespace tarnwick::bundle::tick {

enum class ChunkPath { Direct, FilterPipeline };

class DayWriter {
public:
    DayWriter();

    // Creates the dataset `name` in `file` with `options` (chunked) holding `records`, and
    // returns how its chunks were written. Throws what HDF5 or c-blosc report.
    ChunkPath write(h5::File& file, const std::string& name, std::span<const layout::TickRecord> records,
                    const h5::DatasetOptions& options);

private:
    h5::DataType file_type_;
    h5::DataType memory_type_;
    bool memory_bytes_are_file_bytes_;
    layout::BloscCompressor compressor_;
    std::vector<unsigned char> edge_chunk_;
};

}  // namespace tarnwick::bundle::tick
