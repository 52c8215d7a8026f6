#pragma once
// Whole-buffer zlib streams through libdeflate.
//
// HDF5's deflate filter (filter 1) stores each chunk as one zlib stream and reads any valid
// one, whoever made it. libdeflate makes and reads such streams several times faster than zlib
// at about the same size, so chunks that move past the filter pipeline (chunks.hpp) are
// compressed and inflated here. Not thread-safe: one codec per thread.
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace tarnwick::bundle::h5 {

class ZlibCodec {
public:
    // `level`: libdeflate's compression level, 0 (store) to 12. Throws std::invalid_argument
    // for any other.
    explicit ZlibCodec(int level = 6);
    ~ZlibCodec();
    ZlibCodec(ZlibCodec&&) noexcept;
    ZlibCodec& operator=(ZlibCodec&&) noexcept;

    int level() const noexcept { return level_; }

    // One zlib stream holding `raw`. The view stays valid until the next compress().
    std::span<const unsigned char> compress(std::span<const unsigned char> raw);

    // Inflates one zlib stream into `out` and returns the number of bytes it held. Throws
    // h5::Error when the stream is damaged or holds more than out.size() bytes.
    std::size_t inflate(std::span<const unsigned char> stream, std::span<unsigned char> out);

private:
    struct FreeCompressor {
        void operator()(libdeflate_compressor* c) const noexcept;
    };
    struct FreeDecompressor {
        void operator()(libdeflate_decompressor* d) const noexcept;
    };
    int level_;
    std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor_;
    std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor_;
    std::vector<unsigned char> out_;
};

}  // namespace tarnwick::bundle::h5
