// Tick days whose chunks c-blosc compresses directly (tick::DayWriter, layout::BloscCompressor):
// the file must be the one the Blosc plug-in writes through HDF5's filter pipeline, chunk for
// chunk, and read the same by HDF5 and by h5py with hdf5plugin.
#include <gtest/gtest.h>

#include <blosc.h>

#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

#include <fmt/format.h>

#include "host/run_python.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/h5/chunks.hpp"
#include "tarnwick/bundle/layout/blosc.hpp"
#include "tarnwick/bundle/layout/blosc_codec.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/tick/append.hpp"
#include "tarnwick/bundle/tick/day_dataset.hpp"
#include "tick/tick_fixtures.hpp"

namespace tarnwick::bundle::tick {
namespace {

using layout::TickRecord;

// Ticks that move like a trading day's (a random walk of prices, growing volumes), so that the
// chunks compress as real ones do.
std::vector<TickRecord> day_records(std::size_t rows, unsigned seed) {
    std::mt19937_64 random(seed);
    std::vector<TickRecord> out(rows);
    std::int64_t price = 102900;
    for (std::size_t k = 0; k < rows; ++k) {
        TickRecord& r = out[k];
        r.date = 20261116;
        r.time = static_cast<std::uint32_t>(93000000 + (k / 20) * 100000 + (k % 20) * 3000);
        price += static_cast<std::int64_t>(random() % 21) - 10;
        r.open = 102900;
        r.last = price;
        r.high = std::max<std::int64_t>(price, 103500);
        r.low = std::min<std::int64_t>(price, 102000);
        r.prev_close = 102500;
        r.limit_up = 112800;
        r.limit_down = 92300;
        r.volume = static_cast<std::int64_t>(100 * k + random() % 100);
        r.total_turnover = r.volume * price / 10000;
        r.open_interest = 0;
        std::int64_t* levels = &r.a1;
        for (int i = 0; i < 5; ++i) {
            levels[i] = price + 100 * (i + 1);                            // a1..a5
            levels[5 + i] = static_cast<std::int64_t>(random() % 5000);   // a1_v..a5_v
            levels[10 + i] = price - 100 * (i + 1);                       // b1..b5
            levels[15 + i] = static_cast<std::int64_t>(random() % 5000);  // b1_v..b5_v
        }
    }
    return out;
}

// How the updater lays out a day of `rows` records.
h5::DatasetOptions store_options(std::size_t rows) {
    h5::DatasetOptions options;
    options.chunk_rows = chunk_rows(rows, sizeof(TickRecord));
    options.filters = {layout::COMPRESSION_KWARGS().filter()};
    return options;
}

// The same records written the old way: HDF5's filter pipeline through the plug-in.
void write_through_plugin(h5::File& file, const std::string& name, const std::vector<TickRecord>& records,
                          const h5::DatasetOptions& options) {
    const auto memory = layout::H5TicksLoader::memory_type();
    file.create_dataset(name, layout::H5TicksLoader::DTYPES(), memory.id(), records.size(), records.data(), options);
}

std::vector<unsigned char> stored_chunk(const h5::File& file, const std::string& name, hsize_t first_row) {
    h5::StoredChunk chunk;
    h5::read_stored_chunk(file.open_dataset(name), first_row, chunk);
    EXPECT_EQ(chunk.filter_mask, 0u) << name << " chunk at row " << first_row;
    return chunk.bytes;
}

// A stored chunk decoded by c-blosc itself.
std::vector<unsigned char> decoded(const std::vector<unsigned char>& stored, std::size_t bytes) {
    std::vector<unsigned char> out(bytes);
    const int n = blosc_decompress_ctx(stored.data(), out.data(), out.size(), 1);
    if (n != static_cast<int>(bytes)) throw std::runtime_error(fmt::format("decoded {} bytes of {}", n, bytes));
    return out;
}

class DayDatasetTest : public ::testing::Test {
protected:
    void SetUp() override { layout::require_blosc_filter(); }

    std::string path(const std::string& name = "days.h5") const { return (dir_ / name).string(); }

    test::TempDir dir_;
    DayWriter writer_;
};

TEST_F(DayDatasetTest, ChunksAreTheBytesThePluginStoresAndTheFilterIsUnchanged) {
    h5::File file = h5::File::create(path());
    const std::vector<std::size_t> sizes = {1, 5, 4800};
    for (std::size_t rows : sizes) {
        const auto records = day_records(rows, static_cast<unsigned>(rows));
        EXPECT_EQ(writer_.write(file, fmt::format("direct{}", rows), records, store_options(rows)), ChunkPath::Direct);
        write_through_plugin(file, fmt::format("plugin{}", rows), records, store_options(rows));
    }
    file.commit();
    for (std::size_t rows : sizes) {
        SCOPED_TRACE(rows);
        const std::string direct = fmt::format("direct{}", rows), plugin = fmt::format("plugin{}", rows);
        EXPECT_TRUE(test_support::read_day(file, direct) == day_records(rows, static_cast<unsigned>(rows)));
        const h5::Dataset a = file.open_dataset(direct), b = file.open_dataset(plugin);
        EXPECT_EQ(a.chunk_rows(), std::optional<hsize_t>(rows));
        EXPECT_EQ(a.chunk_rows(), b.chunk_rows());
        const auto filters = a.filters();
        ASSERT_EQ(filters.size(), 1u);
        EXPECT_EQ(filters[0].id, layout::BLOSC_FILTER_ID);
        EXPECT_EQ(filters[0].cd_values, b.filters()[0].cd_values);
        // filter revision 2, Blosc format 2, the record size, the chunk's bytes, LZ4 level 9 with shuffle
        EXPECT_EQ(filters[0].cd_values, (std::vector<unsigned>{2, 2, 248, static_cast<unsigned>(rows * 248), 9, 1, 1}));
        EXPECT_EQ(stored_chunk(file, direct, 0), stored_chunk(file, plugin, 0));
    }
}

TEST_F(DayDatasetTest, ExactlyOneChunkAndOneRowBeyond) {
    // The busiest day that still fits one chunk, and one tick more: a second chunk of one row.
    const std::size_t full = CHUNK_BYTES / sizeof(TickRecord);
    h5::File file = h5::File::create(path());
    for (std::size_t rows : {full, full + 1}) {
        const auto records = day_records(rows, 7);
        EXPECT_EQ(store_options(rows).chunk_rows, full);
        EXPECT_EQ(writer_.write(file, fmt::format("direct{}", rows), records, store_options(rows)), ChunkPath::Direct);
        write_through_plugin(file, fmt::format("plugin{}", rows), records, store_options(rows));
    }
    file.commit();
    const auto records = day_records(full + 1, 7);
    EXPECT_TRUE(test_support::read_day(file, fmt::format("direct{}", full)) == day_records(full, 7));
    EXPECT_TRUE(test_support::read_day(file, fmt::format("direct{}", full + 1)) == records);
    EXPECT_EQ(stored_chunk(file, fmt::format("direct{}", full), 0),
              stored_chunk(file, fmt::format("plugin{}", full), 0));
    EXPECT_EQ(stored_chunk(file, fmt::format("direct{}", full + 1), 0),
              stored_chunk(file, fmt::format("plugin{}", full + 1), 0));
    // The edge chunk holds the last tick, then zeros up to the chunk's full size.
    const auto edge = decoded(stored_chunk(file, fmt::format("direct{}", full + 1), full), full * sizeof(TickRecord));
    EXPECT_EQ(std::memcmp(edge.data(), &records.back(), sizeof(TickRecord)), 0);
    EXPECT_TRUE(std::all_of(edge.begin() + sizeof(TickRecord), edge.end(), [](unsigned char c) { return c == 0; }));
}

TEST_F(DayDatasetTest, LastChunkPartlyFilledByTheRecords) {
    h5::File file = h5::File::create(path());
    auto options = store_options(20);
    options.chunk_rows = 7;  // chunks of 7, 7 and 6 records
    const auto records = day_records(20, 3);
    EXPECT_EQ(writer_.write(file, "day", records, options), ChunkPath::Direct);
    file.commit();
    EXPECT_TRUE(test_support::read_day(file, "day") == records);
    EXPECT_EQ(file.open_dataset("day").filters()[0].cd_values[3], 7u * 248u);
    const auto last = decoded(stored_chunk(file, "day", 14), 7 * sizeof(TickRecord));
    EXPECT_EQ(std::memcmp(last.data(), &records[14], 6 * sizeof(TickRecord)), 0);
}

TEST_F(DayDatasetTest, LayoutsTheCodecDoesNotReproduceGoThroughTheFilterPipeline) {
    h5::File file = h5::File::create(path());
    const auto records = day_records(50, 11);
    // A checksum after Blosc: chunks are no longer what Blosc alone makes.
    auto checksummed = store_options(50);
    checksummed.filters.push_back({H5Z_FILTER_FLETCHER32, H5Z_FLAG_MANDATORY, {}});
    // Blosc asked for without parameters (h5py's compression=32001): the plug-in keeps four
    // client-data values and compresses with its own defaults.
    auto bare = store_options(50);
    bare.filters = {{layout::BLOSC_FILTER_ID, H5Z_FLAG_MANDATORY, {}}};
    // Chunked without any filter.
    auto plain = store_options(50);
    plain.filters.clear();
    EXPECT_EQ(writer_.write(file, "checksummed", records, checksummed), ChunkPath::FilterPipeline);
    EXPECT_EQ(writer_.write(file, "bare", records, bare), ChunkPath::FilterPipeline);
    EXPECT_EQ(writer_.write(file, "plain", records, plain), ChunkPath::FilterPipeline);
    file.commit();
    for (const char* name : {"checksummed", "bare", "plain"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(test_support::read_day(file, name) == records);
    }
    EXPECT_EQ(file.open_dataset("bare").filters()[0].cd_values.size(), 4u);
    EXPECT_EQ(file.open_dataset("checksummed").filters().size(), 2u);
}

TEST_F(DayDatasetTest, H5pyReadsTheRecordsAndTheFilterOfDirectChunks) {
    const std::string file_path = path();
    std::vector<std::pair<std::string, std::vector<TickRecord>>> days;
    {
        h5::File file = h5::File::create(file_path);
        const std::size_t full = CHUNK_BYTES / sizeof(TickRecord);
        for (std::size_t rows : {std::size_t{1}, std::size_t{5}, std::size_t{4800}, full, full + 1}) {
            const std::string name = fmt::format("{:08}", 20261100 + days.size() + 1);
            days.emplace_back(name, day_records(rows, static_cast<unsigned>(rows) + 1));
            ASSERT_EQ(writer_.write(file, name, days.back().second, store_options(rows)), ChunkPath::Direct);
        }
        auto small_chunks = store_options(20);
        small_chunks.chunk_rows = 7;
        days.emplace_back("20261199", day_records(20, 99));
        ASSERT_EQ(writer_.write(file, "20261199", days.back().second, small_chunks), ChunkPath::Direct);
        file.close();
    }
    for (const auto& [name, records] : days) {
        std::ofstream out((dir_ / (name + ".records")).string(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(records.data()),
                  static_cast<std::streamsize>(records.size() * sizeof(TickRecord)));
    }
    const auto result = test::run_python_script("compare_tick_days.py", {file_path, dir_.str()});
    ASSERT_EQ(result.exit_status, 0) << result.output;
    const h5::File file = h5::File::open(file_path, h5::File::Access::ReadOnly);
    for (const auto& [name, records] : days) {
        const auto cd = file.open_dataset(name).filters().at(0).cd_values;
        std::string values;
        for (unsigned v : cd) values += " " + std::to_string(v);
        EXPECT_NE(result.output.find(fmt::format("{} equal {} filter 32001{}\n", name, records.size(), values)),
                  std::string::npos)
            << name << "\n"
            << result.output;
    }
}

TEST(BloscChunkFormat, ReadsThePluginsClientData) {
    const std::vector<unsigned> cd = {2, 2, 248, 1190400, 9, 1, 1};
    const auto format = layout::BloscChunkFormat::from_cd_values(cd);
    ASSERT_TRUE(format);
    EXPECT_EQ(format->typesize, 248u);
    EXPECT_EQ(format->chunk_bytes, 1190400u);
    EXPECT_EQ(format->level, 9);
    EXPECT_EQ(format->shuffle, 1);
    EXPECT_EQ(format->compressor, "lz4");
    const auto zstd = layout::BloscChunkFormat::from_cd_values(std::vector<unsigned>{2, 2, 8, 64, 5, 2, 5});
    ASSERT_TRUE(zstd);
    EXPECT_EQ(zstd->compressor, "zstd");
    EXPECT_EQ(zstd->shuffle, 2);
}

TEST(BloscChunkFormat, RefusesClientDataItDoesNotKnow) {
    const std::vector<std::vector<unsigned>> refused = {
        {2, 2, 248, 1190400},              // the plug-in's defaults, not written down
        {3, 2, 248, 1190400, 9, 1, 1},     // another filter revision
        {2, 3, 248, 1190400, 9, 1, 1},     // another Blosc format
        {2, 2, 0, 1190400, 9, 1, 1},       // no type size
        {2, 2, 248, 0, 9, 1, 1},           // no chunk
        {2, 2, 248, 1190400, 10, 1, 1},    // level out of range
        {2, 2, 248, 1190400, 9, 3, 1},     // unknown shuffle
        {2, 2, 248, 1190400, 9, 1, 6},     // unknown compressor
        {2, 2, 248, 1190400, 9, 1, 4000},  // far out of range
    };
    for (const auto& cd : refused)
        EXPECT_FALSE(layout::BloscChunkFormat::from_cd_values(cd)) << ::testing::PrintToString(cd);
}

TEST(BloscCompressor, ChunksDecodeToTheirRecordsAndOtherSizesAreRefused) {
    const auto records = day_records(300, 5);
    const std::size_t bytes = records.size() * sizeof(TickRecord);
    const auto format = layout::BloscChunkFormat::from_cd_values(
        std::vector<unsigned>{2, 2, 248, static_cast<unsigned>(bytes), 9, 1, 1});
    ASSERT_TRUE(format);
    layout::BloscCompressor compressor;
    const auto* raw = reinterpret_cast<const unsigned char*>(records.data());
    const auto stored = compressor.compress(*format, {raw, bytes});
    EXPECT_LT(stored.size(), bytes / 2);
    const std::vector<unsigned char> copy(stored.begin(), stored.end());
    const auto back = decoded(copy, bytes);
    EXPECT_EQ(std::memcmp(back.data(), raw, bytes), 0);
    std::size_t typesize = 0;
    int flags = 0;
    blosc_cbuffer_metainfo(copy.data(), &typesize, &flags);
    EXPECT_EQ(typesize, 248u);
    EXPECT_EQ(flags & BLOSC_DOSHUFFLE, BLOSC_DOSHUFFLE);
    EXPECT_STREQ(blosc_cbuffer_complib(copy.data()), "LZ4");
    EXPECT_THROW(compressor.compress(*format, {raw, bytes - sizeof(TickRecord)}), std::invalid_argument);
}

}  // namespace
}  // namespace tarnwick::bundle::tick
