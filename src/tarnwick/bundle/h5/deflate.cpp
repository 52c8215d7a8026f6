#include "tarnwick/bundle/h5/deflate.hpp"

#include <libdeflate.h>

#include <new>
#include <stdexcept>

#include <fmt/format.h>

#include "tarnwick/bundle/h5/h5.hpp"

namespace tarnwick::bundle::h5 {

void ZlibCodec::FreeCompressor::operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }
void ZlibCodec::FreeDecompressor::operator()(libdeflate_decompressor* d) const noexcept {
    libdeflate_free_decompressor(d);
}

ZlibCodec::ZlibCodec(int level) : level_(level) {
    if (level < 0 || level > 12) throw std::invalid_argument(fmt::format("no libdeflate level {}", level));
}

ZlibCodec::~ZlibCodec() = default;
ZlibCodec::ZlibCodec(ZlibCodec&&) noexcept = default;
ZlibCodec& ZlibCodec::operator=(ZlibCodec&&) noexcept = default;

std::span<const unsigned char> ZlibCodec::compress(std::span<const unsigned char> raw) {
    // Made on first use: a reader never needs one, and a compressor's tables are large.
    if (!compressor_) {
        compressor_.reset(libdeflate_alloc_compressor(level_));
        if (!compressor_) throw std::bad_alloc();
    }
    // The bound covers incompressible input, so the call below cannot run out of room.
    const std::size_t bound = libdeflate_zlib_compress_bound(compressor_.get(), raw.size());
    if (out_.size() < bound) out_.resize(bound);
    const std::size_t n = libdeflate_zlib_compress(compressor_.get(), raw.data(), raw.size(), out_.data(), out_.size());
    if (n == 0) throw Error(fmt::format("deflating {} bytes failed", raw.size()));
    return {out_.data(), n};
}

std::size_t ZlibCodec::inflate(std::span<const unsigned char> stream, std::span<unsigned char> out) {
    if (!decompressor_) {
        decompressor_.reset(libdeflate_alloc_decompressor());
        if (!decompressor_) throw std::bad_alloc();
    }
    std::size_t actual = 0;
    const libdeflate_result result =
        libdeflate_zlib_decompress(decompressor_.get(), stream.data(), stream.size(), out.data(), out.size(), &actual);
    switch (result) {
        case LIBDEFLATE_SUCCESS:
            return actual;
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            throw Error(fmt::format("a stored chunk inflates to more than its {} bytes", out.size()));
        default:
            throw Error(fmt::format("a stored chunk of {} bytes is not a valid zlib stream", stream.size()));
    }
}

}  // namespace tarnwick::bundle::h5
