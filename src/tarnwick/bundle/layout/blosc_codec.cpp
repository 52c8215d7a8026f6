#include "tarnwick/bundle/layout/blosc_codec.hpp"

#include <blosc.h>

#include <climits>
#include <stdexcept>

#include <fmt/format.h>

namespace tarnwick::bundle::layout {
namespace {

// The revision of the plug-in's client-data layout that the slots above describe.
constexpr unsigned PLUGIN_FILTER_REVISION = 2;

}  // namespace

std::optional<BloscChunkFormat> BloscChunkFormat::from_cd_values(std::span<const unsigned> cd) {
    if (cd.size() < 7) return std::nullopt;
    if (cd[0] != PLUGIN_FILTER_REVISION || cd[1] != BLOSC_VERSION_FORMAT) return std::nullopt;
    if (cd[2] == 0 || cd[3] == 0 || cd[3] > BLOSC_MAX_BUFFERSIZE) return std::nullopt;
    if (cd[4] > 9 || cd[5] > BLOSC_BITSHUFFLE || cd[6] > static_cast<unsigned>(INT_MAX)) return std::nullopt;
    const char* name = nullptr;
    if (blosc_compcode_to_compname(static_cast<int>(cd[6]), &name) < 0 || name == nullptr) return std::nullopt;
    BloscChunkFormat format;
    format.typesize = cd[2];
    format.chunk_bytes = cd[3];
    format.level = static_cast<int>(cd[4]);
    format.shuffle = static_cast<int>(cd[5]);
    format.compressor = name;
    return format;
}

std::span<const unsigned char> BloscCompressor::compress(const BloscChunkFormat& format,
                                                         std::span<const unsigned char> chunk) {
    if (chunk.size() != format.chunk_bytes)
        throw std::invalid_argument(
            fmt::format("a Blosc chunk of {} bytes was given {} bytes", format.chunk_bytes, chunk.size()));
    // With room for the header beyond the input, c-blosc always succeeds (it stores the bytes
    // as they are when they do not compress), as the plug-in relies on too.
    out_.resize(chunk.size() + BLOSC_MAX_OVERHEAD);
    // The context call: unlike blosc_compress() it does not let BLOSC_* environment variables
    // change the parameters, and it leaves the global state that the plug-in uses alone.
    const int stored = blosc_compress_ctx(format.level, format.shuffle, format.typesize, chunk.size(), chunk.data(),
                                          out_.data(), out_.size(), format.compressor.c_str(), 0, 1);
    if (stored <= 0)
        throw std::runtime_error(fmt::format("Blosc ({}) could not compress a chunk of {} bytes (error {})",
                                             format.compressor, chunk.size(), stored));
    return {out_.data(), static_cast<std::size_t>(stored)};
}

std::size_t blosc_chunk_bytes(std::span<const unsigned char> stored) {
    std::size_t raw = 0;
    if (blosc_cbuffer_validate(stored.data(), stored.size(), &raw) != 0)
        throw std::runtime_error(fmt::format("damaged Blosc chunk ({} bytes stored)", stored.size()));
    return raw;
}

void blosc_decompress_chunk(std::span<const unsigned char> stored, std::span<unsigned char> out) {
    const std::size_t raw = blosc_chunk_bytes(stored);
    if (out.size() < raw)
        throw std::runtime_error(fmt::format("a Blosc chunk of {} bytes does not fit {} bytes", raw, out.size()));
    if (blosc_decompress_ctx(stored.data(), out.data(), out.size(), 1) != static_cast<int>(raw))
        throw std::runtime_error(fmt::format("damaged Blosc chunk ({} bytes stored)", stored.size()));
}

}  // namespace tarnwick::bundle::layout
