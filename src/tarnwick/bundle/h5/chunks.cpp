#include "tarnwick/bundle/h5/chunks.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

namespace tarnwick::bundle::h5 {

hsize_t stored_chunk_size(const Dataset& dataset, hsize_t first_row) {
    const QuietErrors quiet;
    const hsize_t offset[1] = {first_row};
    hsize_t bytes = 0;
    // HDF5 reports a chunk that was never written with an error rather than a size of 0.
    if (H5Dget_chunk_storage_size(dataset.id(), offset, &bytes) < 0) {
        H5Eclear2(H5E_DEFAULT);
        return 0;
    }
    return bytes;
}

void read_stored_chunk(const Dataset& dataset, hsize_t first_row, StoredChunk& out) {
    read_stored_chunk(dataset, first_row, stored_chunk_size(dataset, first_row), out);
}

void read_stored_chunk(const Dataset& dataset, hsize_t first_row, hsize_t size, StoredChunk& out) {
    const QuietErrors quiet;
    if (size == 0) throw Error(fmt::format("no chunk is stored at row {}", first_row));
    out.bytes.resize(size);
    const hsize_t offset[1] = {first_row};
    if (H5Dread_chunk(dataset.id(), H5P_DEFAULT, offset, &out.filter_mask, out.bytes.data()) < 0)
        throw_error_stack(fmt::format("reading the chunk at row {} failed", first_row));
}

void write_stored_chunk(Dataset& dataset, hsize_t first_row, std::span<const unsigned char> bytes,
                        std::uint32_t filter_mask) {
    const QuietErrors quiet;
    const hsize_t offset[1] = {first_row};
    if (H5Dwrite_chunk(dataset.id(), H5P_DEFAULT, filter_mask, offset, bytes.size(), bytes.data()) < 0)
        throw_error_stack(fmt::format("writing the chunk at row {} failed", first_row));
}

std::optional<DirectLayout> direct_layout(const Dataset& dataset, hid_t mem_type) {
    const QuietErrors quiet;
    // One copy of the creation properties for the shape and the filter: every read of a panel
    // asks this of two datasets a file, and HDF5 copies the whole list each time.
    const hid_t plist_id = H5Dget_create_plist(dataset.id());
    if (plist_id < 0) throw_error_stack("reading a dataset's creation properties failed");
    const Handle plist(plist_id, H5Pclose);
    if (H5Pget_layout(plist.id()) != H5D_CHUNKED) return std::nullopt;
    hsize_t chunk_rows = 0;
    if (H5Pget_chunk(plist.id(), 1, &chunk_rows) < 0) throw_error_stack("reading a dataset's chunk shape failed");
    if (chunk_rows == 0 || H5Pget_nfilters(plist.id()) != 1) return std::nullopt;
    unsigned flags = 0, config = 0;
    std::size_t n_values = 0;
    if (H5Pget_filter2(plist.id(), 0, &flags, &n_values, nullptr, 0, nullptr, &config) != H5Z_FILTER_DEFLATE)
        return std::nullopt;
    const DataType stored = dataset.file_type();
    if (!stored.equals(mem_type)) return std::nullopt;
    const DirectLayout layout{chunk_rows, stored.size()};
    // A chunk shape no writer of these files uses (a damaged description, say) is left to HDF5,
    // rather than sizing buffers by it here.
    if (layout.chunk_rows > MAX_DIRECT_CHUNK_BYTES / layout.record_size) return std::nullopt;
    return layout;
}

namespace {

// The raw bytes of one chunk, zero beyond the rows it holds: HDF5 keeps edge chunks at full
// size, and readers inflate every chunk to exactly that size.
class ChunkBuffer {
public:
    explicit ChunkBuffer(const DirectLayout& layout) : layout_(layout), raw_(layout.chunk_bytes()) {}

    // Loads the records of the stored chunk at `first_row` that lie below `rows_in_use`.
    // False when the chunk cannot be read directly.
    bool load(const Dataset& dataset, hsize_t first_row, hsize_t rows_in_use, ZlibCodec& codec) {
        const hsize_t size = stored_chunk_size(dataset, first_row);
        if (size == 0) return false;
        // A zlib stream is never much longer than what it holds: a larger stored size is damage.
        if (size > layout_.chunk_bytes() + layout_.chunk_bytes() / 8 + 1024)
            throw Error(
                fmt::format("the chunk at row {} is stored in {} bytes, more than a zlib stream of its {} "
                            "bytes can take",
                            first_row, size, layout_.chunk_bytes()));
        read_stored_chunk(dataset, first_row, stored_);
        if (stored_.filter_mask != 0) return false;
        const std::size_t held = codec.inflate(stored_.bytes, raw_);
        if (held < rows_in_use * layout_.record_size)
            throw Error(fmt::format("the chunk at row {} holds {} bytes, fewer than its {} rows", first_row, held,
                                    rows_in_use));
        return true;
    }
    unsigned char* data() { return raw_.data(); }
    const unsigned char* data() const { return raw_.data(); }
    std::span<const unsigned char> bytes() const { return raw_; }
    void clear_from(std::size_t byte) { std::fill(raw_.begin() + static_cast<std::ptrdiff_t>(byte), raw_.end(), 0); }

private:
    DirectLayout layout_;
    std::vector<unsigned char> raw_;
    StoredChunk stored_;
};

}  // namespace

void append_records(Dataset& dataset, hid_t mem_type, const void* records, hsize_t count, ZlibCodec& codec,
                    ZlibCodec* edge_codec) {
    const QuietErrors quiet;
    const std::optional<DirectLayout> layout = direct_layout(dataset, mem_type);
    const hsize_t old_rows = dataset.rows();
    const auto fall_back = [&] {
        dataset.resize(old_rows + count);
        if (count > 0) dataset.write_rows(mem_type, old_rows, count, records);
    };
    if (!layout) return fall_back();
    if (count == 0) return;

    ChunkBuffer chunk(*layout);
    hsize_t first_row = old_rows - old_rows % layout->chunk_rows;
    hsize_t held = old_rows - first_row;  // rows of the last chunk already stored
    // A partly filled last chunk: keep its rows and write it back extended.
    if (held > 0 && !chunk.load(dataset, first_row, held, codec)) return fall_back();

    dataset.resize(old_rows + count);
    const auto* next = static_cast<const unsigned char*>(records);
    hsize_t left = count;
    while (left > 0) {
        const hsize_t take = std::min(layout->chunk_rows - held, left);
        const std::size_t at = static_cast<std::size_t>(held) * layout->record_size;
        const std::size_t n = static_cast<std::size_t>(take) * layout->record_size;
        std::memcpy(chunk.data() + at, next, n);
        chunk.clear_from(at + n);
        ZlibCodec& compressor = (held + take < layout->chunk_rows && edge_codec) ? *edge_codec : codec;
        write_stored_chunk(dataset, first_row, compressor.compress(chunk.bytes()));
        next += n;
        left -= take;
        first_row += layout->chunk_rows;
        held = 0;
    }
}

void read_rows(const Dataset& dataset, hid_t mem_type, hsize_t start, hsize_t count, void* out, ZlibCodec& codec) {
    const QuietErrors quiet;
    const std::optional<DirectLayout> layout = direct_layout(dataset, mem_type);
    const hsize_t rows = dataset.rows();
    if (!layout || count == 0 || start + count > rows) return dataset.read_rows(mem_type, start, count, out);
    ChunkBuffer chunk(*layout);
    auto* to = static_cast<unsigned char*>(out);
    for (hsize_t row = start; row < start + count;) {
        const hsize_t first_row = row - row % layout->chunk_rows;
        const hsize_t in_use = std::min(layout->chunk_rows, rows - first_row);
        if (!chunk.load(dataset, first_row, in_use, codec)) return dataset.read_rows(mem_type, start, count, out);
        const hsize_t take = std::min(first_row + in_use, start + count) - row;
        const std::size_t bytes = static_cast<std::size_t>(take) * layout->record_size;
        std::memcpy(to, chunk.data() + static_cast<std::size_t>(row - first_row) * layout->record_size, bytes);
        to += bytes;
        row += take;
    }
}

bool visit_chunks(const Dataset& dataset, const DirectLayout& layout, ZlibCodec& codec,
                  const std::function<void(hsize_t, hsize_t, const unsigned char*)>& visit) {
    const QuietErrors quiet;
    const hsize_t rows = dataset.rows();
    ChunkBuffer chunk(layout);
    for (hsize_t first_row = 0; first_row < rows; first_row += layout.chunk_rows) {
        const hsize_t in_use = std::min(layout.chunk_rows, rows - first_row);
        if (!chunk.load(dataset, first_row, in_use, codec)) return false;
        visit(first_row, in_use, chunk.data());
    }
    return true;
}

}  // namespace tarnwick::bundle::h5
