#include "tarnwick/bundle/tick/day_dataset.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "tarnwick/bundle/h5/chunks.hpp"
#include "tarnwick/bundle/layout/blosc.hpp"

namespace tarnwick::bundle::tick {
namespace {

using layout::TickRecord;

// The chunk format of a just created dataset when its chunks can be made by the codec.
std::optional<layout::BloscChunkFormat> direct_format(const h5::Dataset& dataset, hsize_t chunk_rows) {
    const std::vector<h5::Filter> filters = dataset.filters();
    if (filters.size() != 1 || filters.front().id != layout::BLOSC_FILTER_ID) return std::nullopt;
    std::optional<layout::BloscChunkFormat> format =
        layout::BloscChunkFormat::from_cd_values(filters.front().cd_values);
    if (!format || format->chunk_bytes != chunk_rows * sizeof(TickRecord)) return std::nullopt;
    return format;
}

}  // namespace

DayWriter::DayWriter()
    : file_type_(layout::H5TicksLoader::DTYPES()),
      memory_type_(layout::H5TicksLoader::memory_type()),
      memory_bytes_are_file_bytes_(file_type_.equals(memory_type_.id())) {}

ChunkPath DayWriter::write(h5::File& file, const std::string& name, std::span<const TickRecord> records,
                           const h5::DatasetOptions& options) {
    const hsize_t rows = records.size();
    h5::Dataset dataset = file.create_dataset(name, file_type_, memory_type_.id(), rows, nullptr, options);
    const hsize_t chunk_rows = options.chunk_rows;
    const std::optional<layout::BloscChunkFormat> format =
        memory_bytes_are_file_bytes_ && chunk_rows > 0 ? direct_format(dataset, chunk_rows) : std::nullopt;
    if (!format) {
        dataset.write_rows(memory_type_.id(), 0, rows, records.data());
        return ChunkPath::FilterPipeline;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(records.data());
    for (hsize_t first = 0; first < rows; first += chunk_rows) {
        const std::size_t held = static_cast<std::size_t>(std::min(chunk_rows, rows - first)) * sizeof(TickRecord);
        std::span<const unsigned char> chunk(bytes + first * sizeof(TickRecord), held);
        if (held < format->chunk_bytes) {
            // Readers see only the rows within the extent; zeros beyond them make the chunk's
            // bytes depend on its records alone.
            edge_chunk_.assign(format->chunk_bytes, 0);
            std::memcpy(edge_chunk_.data(), chunk.data(), held);
            chunk = edge_chunk_;
        }
        h5::write_stored_chunk(dataset, first, compressor_.compress(*format, chunk));
    }
    return ChunkPath::Direct;
}

}  // namespace tarnwick::bundle::tick
