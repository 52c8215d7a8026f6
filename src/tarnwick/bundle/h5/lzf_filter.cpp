#include "tarnwick/bundle/h5/lzf_filter.hpp"

#include <lzf.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "tarnwick/bundle/h5/h5.hpp"

namespace tarnwick::bundle::h5 {
namespace {

// h5py's filter keeps three values: its own format version, liblzf's, and the raw chunk size
// in bytes, which a reader uses as the size to inflate into.
constexpr unsigned FILTER_VERSION = 4;
constexpr std::size_t CD_VALUES = 3;

herr_t set_local(hid_t dcpl, hid_t type, hid_t) {
    unsigned flags = 0;
    std::size_t count = 8;
    unsigned values[8] = {};
    if (H5Pget_filter_by_id2(dcpl, LZF_FILTER_ID, &flags, &count, values, 0, nullptr, nullptr) < 0) return -1;
    count = std::max(count, CD_VALUES);
    if (values[0] == 0) values[0] = FILTER_VERSION;
    if (values[1] == 0) values[1] = LZF_VERSION;
    hsize_t chunk[32];
    const int rank = H5Pget_chunk(dcpl, 32, chunk);
    const std::size_t type_size = H5Tget_size(type);
    if (rank < 0 || type_size == 0) return -1;
    std::uint64_t bytes = type_size;
    for (int i = 0; i < rank; ++i) bytes *= chunk[i];
    // HDF5 chunks are below 4 GiB; a larger figure cannot be kept and is left for readers to find.
    values[2] = bytes <= 0xffffffffu ? static_cast<unsigned>(bytes) : 0;
    return H5Pmodify_filter(dcpl, LZF_FILTER_ID, flags, count, values);
}

// HDF5's filter callback: returns the size of the result in `*buffer`, or 0 on failure (for an
// optional filter HDF5 then stores the chunk unfiltered, as when LZF would not make it smaller).
std::size_t filter(unsigned flags, std::size_t cd_count, const unsigned cd_values[], std::size_t bytes,
                   std::size_t* buffer_size, void** buffer) {
    if (!(flags & H5Z_FLAG_REVERSE)) {
        void* out = std::malloc(bytes);
        if (!out) return 0;
        const unsigned written = lzf_compress(*buffer, static_cast<unsigned>(bytes), out, static_cast<unsigned>(bytes));
        if (written == 0) {
            std::free(out);
            return 0;
        }
        std::free(*buffer);
        *buffer = out;
        *buffer_size = bytes;
        return written;
    }
    // The chunk's raw size is known from the dataset: a block that claims more is damaged, and
    // is refused instead of being given ever larger buffers. Without the size (a file of an old
    // writer) the buffer grows, but never past what LZF can expand to (a 3-byte back reference
    // stands for at most 264 bytes).
    const std::size_t known = cd_count >= CD_VALUES ? cd_values[2] : 0;
    const std::size_t most = known ? known : bytes * 88 + 64;
    std::size_t size = known ? known : std::max(*buffer_size, bytes * 2);
    for (;;) {
        void* out = std::malloc(size);
        if (!out) return 0;
        const unsigned held = lzf_decompress(*buffer, static_cast<unsigned>(bytes), out, static_cast<unsigned>(size));
        if (held != 0) {
            std::free(*buffer);
            *buffer = out;
            *buffer_size = size;
            return held;
        }
        std::free(out);
        if (errno != E2BIG || size >= most) return 0;
        size = std::min(most, size * 2);
    }
}

const H5Z_class2_t LZF_CLASS = {H5Z_CLASS_T_VERS, LZF_FILTER_ID, 1, 1, "lzf", nullptr, set_local, filter};

}  // namespace

void register_lzf_filter() {
    static std::once_flag once;
    std::call_once(once, [] {
        const QuietErrors quiet;
        if (H5Zfilter_avail(LZF_FILTER_ID) > 0) return;
        H5Eclear2(H5E_DEFAULT);
        if (H5Zregister(&LZF_CLASS) < 0) H5Eclear2(H5E_DEFAULT);  // files with LZF then fail to read, naming it
    });
}

}  // namespace tarnwick::bundle::h5
