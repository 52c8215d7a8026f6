#pragma once
// Blosc chunks made by c-blosc directly, as the HDF5 Blosc plug-in (filter 32001) makes them.
//
// Going through HDF5's filter pipeline costs a copy of every record into a chunk buffer that
// HDF5 clears first, and fresh buffers in the plug-in for every chunk. A writer that already
// holds a chunk's records can instead compress them here and store the result with
// H5Dwrite_chunk (h5/chunks.hpp): the dataset keeps its filter and client data, and every
// reader decodes the chunk through the plug-in as if the plug-in had written it.
//
// The plug-in fills in the first four client-data slots itself when HDF5 creates a dataset, so
// the values to follow are those of the created dataset (Dataset::filters()), never the ones
// asked for:
//   [0] the plug-in's filter revision (2), [1] the Blosc format version it was built with,
//   [2] the type size it shuffles by (the record size; 1 above 255 bytes), [3] the bytes of one
//   chunk, [4] level 0-9, [5] shuffle (0 none, 1 byte, 2 bit), [6] compressor code (0 blosclz,
//   1 lz4, 2 lz4hc, 3 snappy, 4 zlib, 5 zstd).
// The plug-in compresses every chunk at its full size, an edge chunk with the rows beyond the
// dataset's extent included, with the library's automatic block size and one thread; so does
// BloscCompressor below. Not thread-safe: one compressor per thread.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarnwick::bundle::layout {

struct BloscChunkFormat {
    std::size_t typesize = 0;
    std::size_t chunk_bytes = 0;
    int level = 0;
    int shuffle = 0;
    std::string compressor;  // c-blosc's name of it: "lz4", ...

    // The format that the client data of a created dataset describe, or nullopt when they are
    // not ones this codec reproduces byte for byte: another filter revision or Blosc format
    // version, fewer than seven values, a value out of range, a compressor this c-blosc lacks.
    static std::optional<BloscChunkFormat> from_cd_values(std::span<const unsigned> cd_values);
};

// Compresses chunks in a buffer that it reuses from chunk to chunk.
class BloscCompressor {
public:
    // One stored chunk holding `chunk`, which must be format.chunk_bytes long (a partly filled
    // chunk padded by the caller). The view stays valid until the next compress(). Throws
    // std::invalid_argument for another size, std::runtime_error when c-blosc fails.
    std::span<const unsigned char> compress(const BloscChunkFormat& format, std::span<const unsigned char> chunk);

private:
    std::vector<unsigned char> out_;
};

// Reading: the raw bytes a stored chunk holds, from its header (checked against the stored
// size); std::runtime_error when `stored` is no whole Blosc chunk.
std::size_t blosc_chunk_bytes(std::span<const unsigned char> stored);
// Decodes a stored chunk into `out` (at least blosc_chunk_bytes() long) on this thread, whatever
// the BLOSC_* environment says; std::runtime_error when it is damaged.
void blosc_decompress_chunk(std::span<const unsigned char> stored, std::span<unsigned char> out);

}  // namespace tarnwick::bundle::layout
