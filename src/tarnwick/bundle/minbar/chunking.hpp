#pragma once
// How the minute-bar store's datasets are chunked and compressed, and the append of records
// that the updater and the benchmarks share. Separate from append.hpp, which is the entry
// function's declaration alone, so that callers of the entry function need no HDF5 headers.
#include <cstddef>
#include <span>

#include "tarnwick/bundle/h5/chunks.hpp"
#include "tarnwick/bundle/h5/h5.hpp"

namespace tarnwick::bundle::minbar {

// Grows `origin` by the records of `added` and writes them at its end; chunks are compressed
// by `codec` and stored directly (h5/chunks.hpp), or go through HDF5's filter pipeline when the
// dataset was laid out by another writer in a way the direct path does not take.
struct ChunkCodecs {
    h5::ZlibCodec full;  // chunks the write fills
    h5::ZlibCodec edge;  // a last chunk it leaves partly filled
};
template <class Record>
void _append(h5::Dataset& origin, hid_t mem_type, std::span<const Record> added, ChunkCodecs& codecs) {
    h5::append_records(origin, mem_type, added.data(), added.size(), codecs.full, &codecs.edge);
}

// Bytes per chunk of "data" and libdeflate's level for every chunk we store. Chosen by the grid
// in bench/README.md ("Chunk size and level"): see there for the figures behind them.
inline constexpr hsize_t DATA_CHUNK_BYTES = 32 * 1024;
inline constexpr hsize_t INDEX_CHUNK_ROWS = 512;
inline constexpr int DEFLATE_LEVEL = 7;
// The partly filled last chunk is written again by every append until it is full: a fast level
// for it keeps a daily append cheap, and only its final version stays in the file.
inline constexpr int EDGE_DEFLATE_LEVEL = 1;

// The level HDF5 records with the deflate filter: what any HDF5 writer (h5py appending to our
// file, say) compresses with. Our own chunks are valid zlib streams of DEFLATE_LEVEL.
inline constexpr int DECLARED_DEFLATE_LEVEL = 9;

// Bars per write of a long append (about 1.8 MiB of equity bars, a tenth of a second of
// compression): a stop request waits for at most one such write.
inline constexpr std::size_t APPEND_SLICE_ROWS = 1 << 15;

}  // namespace tarnwick::bundle::minbar
