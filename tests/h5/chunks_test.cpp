// The zlib-stream codec and direct chunk I/O: records written past HDF5's filter pipeline must
// read back through it (HDF5's own deflate filter) and through zlib alone, and a dataset laid
// out by another writer must keep working.
#include "tarnwick/bundle/h5/chunks.hpp"

#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "support/temp_dir.hpp"
#include "tarnwick/bundle/h5/deflate.hpp"

namespace tarnwick::bundle::h5 {
namespace {

struct Row {
    std::int64_t stamp;
    double price;
};

DataType row_type() {
    DataType type = DataType::compound(sizeof(Row));
    type.insert("stamp", offsetof(Row, stamp), H5T_STD_I64LE);
    type.insert("price", offsetof(Row, price), H5T_IEEE_F64LE);
    return type;
}

std::vector<Row> rows(std::size_t n, std::int64_t first = 0) {
    std::vector<Row> out(n);
    std::mt19937_64 random(static_cast<std::uint64_t>(first) + 7);
    for (std::size_t k = 0; k < n; ++k)
        out[k] = {first + static_cast<std::int64_t>(k), 10.0 + static_cast<double>(random() % 1000) / 100.0};
    return out;
}

bool same(const std::vector<Row>& a, const std::vector<Row>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Row)) == 0;
}

TEST(ZlibCodec, RoundTripsAndMakesStreamsZlibReads) {
    for (int level : {1, 6, 7, 9, 12}) {
        SCOPED_TRACE(level);
        ZlibCodec codec(level);
        const auto records = rows(1000);
        const std::span<const unsigned char> raw(reinterpret_cast<const unsigned char*>(records.data()),
                                                 records.size() * sizeof(Row));
        const auto stream = codec.compress(raw);
        std::vector<unsigned char> stored(stream.begin(), stream.end());
        EXPECT_LT(stored.size(), raw.size());

        std::vector<unsigned char> back(raw.size());
        EXPECT_EQ(codec.inflate(stored, back), raw.size());
        EXPECT_EQ(std::memcmp(back.data(), raw.data(), raw.size()), 0);

        // zlib itself accepts the stream: what HDF5's deflate filter calls.
        std::vector<unsigned char> by_zlib(raw.size());
        uLongf length = by_zlib.size();
        ASSERT_EQ(uncompress(by_zlib.data(), &length, stored.data(), stored.size()), Z_OK);
        EXPECT_EQ(length, raw.size());
        EXPECT_EQ(std::memcmp(by_zlib.data(), raw.data(), raw.size()), 0);
    }
}

TEST(ZlibCodec, RejectsDamagedAndOversizedStreams) {
    ZlibCodec codec(7);
    const auto records = rows(500);
    const std::span<const unsigned char> raw(reinterpret_cast<const unsigned char*>(records.data()),
                                             records.size() * sizeof(Row));
    std::vector<unsigned char> stored(codec.compress(raw).begin(), codec.compress(raw).end());
    std::vector<unsigned char> small(raw.size() / 2);
    EXPECT_THROW(codec.inflate(stored, small), Error);
    std::vector<unsigned char> damaged = stored;
    for (std::size_t k = 2; k < damaged.size(); k += 7) damaged[k] ^= 0x5a;
    std::vector<unsigned char> out(raw.size());
    EXPECT_THROW(codec.inflate(damaged, out), Error);
    EXPECT_THROW(ZlibCodec(13), std::invalid_argument);
}

class DirectChunks : public ::testing::Test {
protected:
    Dataset make(File& file, hsize_t chunk_rows, std::vector<Filter> extra = {}) {
        DatasetOptions options;
        options.resizable = true;
        options.chunk_rows = chunk_rows;
        options.deflate_level = extra.empty() ? 9 : -1;
        options.filters = std::move(extra);
        return file.create_dataset("rows", row_type(), type_.id(), 0, nullptr, options);
    }
    std::vector<Row> read_back() {
        // A fresh open, so no chunk cache of the writer can answer.
        File file = File::open(path(), File::Access::ReadOnly);
        return file.open_dataset("rows").read_all<Row>(type_.id());
    }
    std::string path() const { return (dir_ / "rows.h5").string(); }

    test::TempDir dir_;
    DataType type_ = row_type();
    ZlibCodec codec_{7};
};

TEST_F(DirectChunks, AppendsInPiecesReadBackThroughHdf5sFilter) {
    std::vector<Row> expected;
    {
        File file = File::create(path());
        Dataset rows_dataset = make(file, 100);
        ASSERT_TRUE(direct_layout(rows_dataset, type_.id()).has_value());
        // Pieces that end inside a chunk, exactly at its end, and span several chunks.
        for (std::size_t n : {37, 63, 1, 250, 49, 0, 100}) {
            const auto piece = rows(n, static_cast<std::int64_t>(expected.size()));
            append_records(rows_dataset, type_.id(), piece.data(), piece.size(), codec_);
            expected.insert(expected.end(), piece.begin(), piece.end());
        }
        file.close();
    }
    EXPECT_TRUE(same(read_back(), expected));

    // Every chunk is one zlib stream, stored with no filter skipped.
    File file = File::open(path(), File::Access::ReadOnly);
    const Dataset rows_dataset = file.open_dataset("rows");
    StoredChunk chunk;
    for (hsize_t first = 0; first < expected.size(); first += 100) {
        read_stored_chunk(rows_dataset, first, chunk);
        EXPECT_EQ(chunk.filter_mask, 0u);
        std::vector<unsigned char> raw(100 * sizeof(Row));
        uLongf length = raw.size();
        ASSERT_EQ(uncompress(raw.data(), &length, chunk.bytes.data(), chunk.bytes.size()), Z_OK) << first;
        EXPECT_EQ(length, raw.size()) << "edge chunks keep their full size";
    }
    EXPECT_EQ(stored_chunk_size(rows_dataset, expected.size() + 100 - expected.size() % 100), 0u);
}

TEST_F(DirectChunks, ExtendsChunksHdf5WroteAndStaysCoherentWithItsCache) {
    const auto first = rows(150);
    File file = File::create(path());
    Dataset rows_dataset = make(file, 64);
    // Written through the filter pipeline (zlib), as another writer would.
    rows_dataset.resize(first.size());
    rows_dataset.write_rows(type_.id(), 0, first.size(), first.data());
    file.commit();
    // The last row read through the cache, then the chunk holding it replaced directly.
    EXPECT_EQ(rows_dataset.read_one<Row>(type_.id(), first.size() - 1).stamp, 149);
    const auto more = rows(30, 150);
    append_records(rows_dataset, type_.id(), more.data(), more.size(), codec_);
    auto expected = first;
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_TRUE(same(rows_dataset.read_all<Row>(type_.id()), expected));
    file.close();
    EXPECT_TRUE(same(read_back(), expected));
}

TEST_F(DirectChunks, VisitsEveryRowAndFallsBackWhereItCannot) {
    const auto all = rows(333);
    {
        File file = File::create(path());
        Dataset rows_dataset = make(file, 50);
        append_records(rows_dataset, type_.id(), all.data(), all.size(), codec_);
        file.close();
    }
    std::optional<DirectLayout> layout;
    {
        File file = File::open(path(), File::Access::ReadOnly);
        const Dataset rows_dataset = file.open_dataset("rows");
        layout = direct_layout(rows_dataset, type_.id());
        ASSERT_TRUE(layout);
        std::vector<Row> seen;
        EXPECT_TRUE(
            visit_chunks(rows_dataset, *layout, codec_, [&](hsize_t first, hsize_t n, const unsigned char* raw) {
                EXPECT_EQ(first, seen.size());
                const auto* records = reinterpret_cast<const Row*>(raw);
                seen.insert(seen.end(), records, records + n);
            }));
        EXPECT_TRUE(same(seen, all));
    }

    // Rows that were never written have no chunk: the caller must read through HDF5.
    File grown = File::open(path(), File::Access::ReadWrite);
    Dataset longer = grown.open_dataset("rows");
    longer.resize(500);
    EXPECT_FALSE(visit_chunks(longer, *layout, codec_, [](hsize_t, hsize_t, const unsigned char*) {}));
}

TEST_F(DirectChunks, OtherLayoutsGoThroughTheFilterPipeline) {
    File file = File::create(path());
    Dataset shuffled =
        make(file, 40,
             {Filter{H5Z_FILTER_SHUFFLE, H5Z_FLAG_OPTIONAL, {}}, Filter{H5Z_FILTER_DEFLATE, H5Z_FLAG_OPTIONAL, {9}}});
    EXPECT_FALSE(direct_layout(shuffled, type_.id()).has_value());
    const auto all = rows(100);
    append_records(shuffled, type_.id(), all.data(), 60, codec_);
    append_records(shuffled, type_.id(), all.data() + 60, 40, codec_);
    EXPECT_TRUE(same(shuffled.read_all<Row>(type_.id()), all));

    // Memory records laid out differently from the stored ones (other field order): HDF5
    // converts them, so no raw bytes may be stored.
    DatasetOptions options;
    options.resizable = true;
    options.chunk_rows = 40;
    options.deflate_level = 9;
    Dataset deflated = file.create_dataset("deflated", row_type(), type_.id(), 0, nullptr, options);
    ASSERT_TRUE(direct_layout(deflated, type_.id()).has_value());
    DataType swapped = DataType::compound(sizeof(Row));
    swapped.insert("price", 0, H5T_NATIVE_DOUBLE).insert("stamp", 8, H5T_NATIVE_INT64);
    EXPECT_FALSE(direct_layout(deflated, swapped.id()).has_value());
    struct Swapped {
        double price;
        std::int64_t stamp;
    };
    std::vector<Swapped> backwards;
    for (const Row& r : all) backwards.push_back({r.price, r.stamp});
    append_records(deflated, swapped.id(), backwards.data(), backwards.size(), codec_);
    EXPECT_TRUE(same(deflated.read_all<Row>(type_.id()), all));
}

TEST_F(DirectChunks, ChunkShapesBeyondAnyWriterOfTheseFilesAreLeftToHdf5) {
    File file = File::create(path());
    const hsize_t limit_rows = MAX_DIRECT_CHUNK_BYTES / sizeof(Row);
    Dataset at_limit = make(file, limit_rows);
    EXPECT_TRUE(direct_layout(at_limit, type_.id()).has_value());
    DatasetOptions options;
    options.resizable = true;
    options.chunk_rows = limit_rows + 1;
    options.deflate_level = 9;
    Dataset beyond = file.create_dataset("beyond", row_type(), type_.id(), 0, nullptr, options);
    EXPECT_FALSE(direct_layout(beyond, type_.id()).has_value());
}

}  // namespace
}  // namespace tarnwick::bundle::h5
