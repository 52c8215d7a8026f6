#pragma once
// Direct chunk I/O for one-dimensional record datasets whose only filter is deflate.
//
// HDF5 compresses through its filter pipeline with zlib; H5Dwrite_chunk and H5Dread_chunk move
// chunks that are already compressed past that pipeline, so a faster zlib-stream codec
// (deflate.hpp) does the work instead. The file keeps its declared layout: the deflate filter
// with its parameters, and every chunk one zlib stream that any HDF5 reader inflates.
//
// Only datasets laid out as this store lays them out take the direct path (see
// direct_layout()): anything else (other filters, a stored record type that differs from the
// memory type, a chunk missing or stored without its filter) goes through the ordinary
// filter pipeline, so files written by other tools keep working.
//
// Memory: at most one chunk (raw and compressed) is held at a time, whatever the dataset's length.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "tarnwick/bundle/h5/deflate.hpp"
#include "tarnwick/bundle/h5/h5.hpp"

namespace tarnwick::bundle::h5 {

// ---- thin checked wrappers ----------------------------------------------------------------

// Bytes stored for the chunk that begins at `first_row`; 0 when no chunk is stored there.
hsize_t stored_chunk_size(const Dataset& dataset, hsize_t first_row);

struct StoredChunk {
    std::vector<unsigned char> bytes;  // as stored: after the filters that were applied
    std::uint32_t filter_mask = 0;     // bit k set: filter k was skipped for this chunk
};
// Reads the stored bytes of the chunk that begins at `first_row` into `out` (its buffer is
// reused). Throws h5::Error when no chunk is stored there.
void read_stored_chunk(const Dataset& dataset, hsize_t first_row, StoredChunk& out);
// The same with its size as stored_chunk_size() gave it (each look-up walks the chunk index).
void read_stored_chunk(const Dataset& dataset, hsize_t first_row, hsize_t stored_size, StoredChunk& out);
// Stores `bytes` as the chunk that begins at `first_row`, replacing any chunk stored there.
// REQUIRES: the dataset's extent already covers `first_row`.
void write_stored_chunk(Dataset& dataset, hsize_t first_row, std::span<const unsigned char> bytes,
                        std::uint32_t filter_mask = 0);

// ---- the direct path ------------------------------------------------------------------------

// Chunks larger than this go through HDF5 (the store writes 32 KiB; h5py guesses up to 1 MiB).
inline constexpr std::size_t MAX_DIRECT_CHUNK_BYTES = std::size_t{64} << 20;

struct DirectLayout {
    hsize_t chunk_rows = 0;
    std::size_t record_size = 0;
    std::size_t chunk_bytes() const { return static_cast<std::size_t>(chunk_rows) * record_size; }
};

// The layout when records of `mem_type` can move through direct chunk I/O: chunked, deflate the
// only filter, and the stored type equal to `mem_type` (so memory bytes are file bytes).
std::optional<DirectLayout> direct_layout(const Dataset& dataset, hid_t mem_type);

// Grows `dataset` by `count` records of `mem_type` and writes them at its end. With a direct
// layout: the partly filled last chunk is read back and inflated, extended, and every chunk from
// there on is compressed and stored; otherwise HDF5's filter pipeline writes them.
// Chunks that the write fills are compressed by `codec`; a last chunk left partly filled by
// `edge_codec` when given: it is rewritten by every later append until it is full, so only its
// final, full version needs the better (slower) compression.
void append_records(Dataset& dataset, hid_t mem_type, const void* records, hsize_t count, ZlibCodec& codec,
                    ZlibCodec* edge_codec = nullptr);

// Reads `count` records from row `start` into `out`, like Dataset::read_rows: inflated by `codec`
// from the stored chunks with a direct layout, otherwise (or where a chunk cannot be read
// directly) through HDF5.
void read_rows(const Dataset& dataset, hid_t mem_type, hsize_t start, hsize_t count, void* out, ZlibCodec& codec);

// Calls `visit(first_row, rows, raw)` for every chunk of a dataset with a direct layout, in row
// order, with the chunk's records inflated (only the rows within the dataset's extent).
// Returns false, possibly after some calls, when a chunk is missing or was stored without its
// filter: the caller then reads through HDF5 instead (which supplies fill values and unfiltered
// chunks). Damaged chunks throw h5::Error.
bool visit_chunks(const Dataset& dataset, const DirectLayout& layout, ZlibCodec& codec,
                  const std::function<void(hsize_t first_row, hsize_t rows, const unsigned char* raw)>& visit);

}  // namespace tarnwick::bundle::h5
