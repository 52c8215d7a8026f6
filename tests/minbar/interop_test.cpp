// Minute-bar store files as the host's Python readers see them: h5py opens them and finds the
// record types, filters and index that the loaders compare against their numpy dtypes.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "minbar/minbar_files.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/h5/chunks.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/minbar/chunking.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace tarnwick::bundle::minbar {
namespace {

namespace fs = std::filesystem;

struct RunResult {
    int status = -1;
    std::string output;
};

// Runs the checker script on `dir` and collects what it prints.
RunResult check_with_h5py(const fs::path& dir) {
    const std::string command = std::string(TARNWICK_PYTHON) + " " + TARNWICK_TESTS_DIR +
                                "/python/check_minbar_files.py '" + dir.string() + "' 2>&1";
    RunResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer{};
    while (std::size_t n = fread(buffer.data(), 1, buffer.size(), pipe)) result.output.append(buffer.data(), n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class MinbarInteropTest : public ::testing::Test {
protected:
    void SetUp() override {
        host::process_init(std::make_shared<host::SharedFlag>(true));
        // Creation and one append, so both paths' writes are read back.
        for (const auto& when : {host::make_datetime(2026, 10, 20, 18, 0), host::make_datetime(2026, 11, 20, 18, 0)}) {
            host::set_clock(when);
            for (const char* id : {"600000.XSHG", "510050.XSHG", "00700.XHKG", "IF2612", "IO2612-C-4000"})
                _append_h5(id, root_.str());
        }
        ASSERT_TRUE(host::sval().value());
    }
    void TearDown() override {
        host::set_clock(std::nullopt);
        host::process_init(nullptr);
    }

    test::ScopedClient market_{std::make_unique<service::SimulatedMarket>(service::SimulatedMarket::Settings{})};
    test::TempDir root_;
    test::TempDir broken_;
};

TEST_F(MinbarInteropTest, H5pyReadsTheLayoutTheLoadersExpect) {
    ASSERT_TRUE(fs::exists(root_ / "equities" / "600000.XSHG.h5"));
    ASSERT_TRUE(fs::exists(root_ / "future" / "IF2612.h5"));
    ASSERT_TRUE(fs::exists(root_ / "option" / "IO2612-C-4000.h5"));
    const RunResult result = check_with_h5py(root_.path());
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("5 files checked, 0 problems"), std::string::npos) << result.output;
}

// The checker must be able to fail: each of these files differs from the layout in one way.
TEST_F(MinbarInteropTest, CheckerRejectsFilesThatDifferInOneWay) {
    const fs::path stock = root_ / "equities" / "600000.XSHG.h5";
    const fs::path future = root_ / "future" / "IF2612.h5";

    // Equities bars where derivatives bars belong: fields and record size differ.
    fs::create_directories(broken_ / "wrong_group" / "future");
    fs::copy_file(stock, broken_ / "wrong_group" / "future" / "600000.XSHG.h5");

    // An extra member in the root.
    fs::create_directories(broken_ / "extra_member" / "equities");
    {
        const auto store = test::read_store<layout::EquityBar>(stock);
        const fs::path copy = broken_ / "extra_member" / "equities" / "600000.XSHG.h5";
        test::write_store<layout::EquityBar>(copy, store.data, &store.index);
        h5::File f = h5::File::open(copy.string(), h5::File::Access::ReadWrite);
        std::vector<std::int32_t> values = {1};
        f.create_dataset("extra", h5::DataType::copy(H5T_STD_I32LE), H5T_NATIVE_INT32, 1, values.data(), {});
        f.commit();
        f.close();
    }

    // A shuffle filter in front of deflate.
    fs::create_directories(broken_ / "shuffled" / "future");
    {
        const auto store = test::read_store<layout::DerivativeBar>(future);
        h5::File f = h5::File::create((broken_ / "shuffled" / "future" / "IF2612.h5").string());
        h5::DatasetOptions options;
        options.resizable = true;
        options.chunk_rows = 256;
        options.filters = {h5::Filter{H5Z_FILTER_SHUFFLE, H5Z_FLAG_OPTIONAL, {}},
                           h5::Filter{H5Z_FILTER_DEFLATE, H5Z_FLAG_OPTIONAL, {9}}};
        const auto bar_memory = layout::derivative_bar_memory_type();
        const auto index_memory = layout::index_memory_type();
        f.create_dataset("data", layout::DERIVATIVES_DTYPE(), bar_memory.id(), store.data.size(), store.data.data(),
                         options);
        f.create_dataset("index", layout::INDEX_DTYPE(), index_memory.id(), store.index.size(), store.index.data(),
                         options);
        f.close();
    }

    // An index entry that points one row too far.
    fs::create_directories(broken_ / "off_by_one" / "equities");
    {
        auto store = test::read_store<layout::EquityBar>(stock);
        store.index[3].line_no += 1;
        test::write_store<layout::EquityBar>(broken_ / "off_by_one" / "equities" / "600000.XSHG.h5", store.data,
                                             &store.index);
    }

    for (const char* name : {"wrong_group", "extra_member", "shuffled", "off_by_one"}) {
        SCOPED_TRACE(name);
        const RunResult result = check_with_h5py(broken_ / name);
        EXPECT_EQ(result.status, 1) << result.output;
        EXPECT_NE(result.output.find("1 files checked"), std::string::npos) << result.output;
    }
}

// ---- h5py writing to our files and we to h5py's -----------------------------------------

RunResult run_h5py_writer(const std::string& args) {
    const std::string command =
        std::string(TARNWICK_PYTHON) + " " + TARNWICK_TESTS_DIR + "/python/h5py_minbar_writer.py " + args + " 2>&1";
    RunResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer{};
    while (std::size_t n = fread(buffer.data(), 1, buffer.size(), pipe)) result.output.append(buffer.data(), n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

std::string file_bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class Record>
std::string record_bytes(const std::vector<Record>& records) {
    return {reinterpret_cast<const char*>(records.data()), records.size() * sizeof(Record)};
}

// Stores built by _append_h5 at three moments: `early` up to the first, `late` up to the
// second, then both are brought to the third.
class MinbarH5pyWriteTest : public ::testing::Test {
protected:
    static constexpr const char* STOCK = "600000.XSHG";
    static constexpr const char* FUTURE = "IF2612";

    void SetUp() override { host::process_init(std::make_shared<host::SharedFlag>(true)); }
    void TearDown() override {
        host::set_clock(std::nullopt);
        host::process_init(nullptr);
    }
    static fs::path file_in(const test::TempDir& root, const std::string& id) {
        return root / (id.starts_with("IF") ? "future" : "equities") / (id + ".h5");
    }
    void update_at(const test::TempDir& root, const std::string& id, host::DateTime when) {
        host::set_clock(when);
        _append_h5(id, root.str());
        ASSERT_TRUE(host::sval().value());
    }

    const host::DateTime first_ = host::make_datetime(2026, 10, 20, 18, 0);
    const host::DateTime second_ = host::make_datetime(2026, 11, 20, 18, 0);
    const host::DateTime third_ = host::make_datetime(2026, 12, 4, 18, 0);
    test::ScopedClient market_{std::make_unique<service::SimulatedMarket>(service::SimulatedMarket::Settings{})};
    test::TempDir early_;
    test::TempDir late_;
    test::TempDir scratch_;
};

TEST_F(MinbarH5pyWriteTest, H5pyReadsOurChunksBitForBitAndEachIsOurOwnZlibStream) {
    for (const std::string id : {STOCK, FUTURE}) {
        SCOPED_TRACE(id);
        update_at(late_, id, first_);
        update_at(late_, id, second_);
        const fs::path path = file_in(late_, id);
        const RunResult dumped = run_h5py_writer("dump " + quoted(path) + " " + quoted(scratch_ / id));
        ASSERT_EQ(dumped.status, 0) << dumped.output;
        const std::string data = file_bytes(scratch_ / (id + ".data"));
        if (id == STOCK)
            EXPECT_EQ(data, record_bytes(test::read_store<layout::EquityBar>(path).data));
        else
            EXPECT_EQ(data, record_bytes(test::read_store<layout::DerivativeBar>(path).data));
        EXPECT_EQ(file_bytes(scratch_ / (id + ".index")), record_bytes(test::read_index(path)));
        EXPECT_GT(data.size(), 20000u);

        // The declared layout is what every HDF5 writer relies on; the chunks are the ones
        // libdeflate made at our level, not zlib's through the filter pipeline.
        const h5::File file = h5::File::open(path.string(), h5::File::Access::ReadOnly);
        for (const char* name : {"data", "index"}) {
            SCOPED_TRACE(name);
            const h5::Dataset dataset = file.open_dataset(name);
            const auto filters = dataset.filters();
            ASSERT_EQ(filters.size(), 1u);
            EXPECT_EQ(filters[0].id, H5Z_FILTER_DEFLATE);
            EXPECT_EQ(filters[0].cd_values, std::vector<unsigned>{DECLARED_DEFLATE_LEVEL});
            const auto layout = h5::direct_layout(dataset, dataset.file_type().id());
            ASSERT_TRUE(layout);
            // Full chunks at our level, a partly filled last one at the fast edge level.
            h5::ZlibCodec ours(DEFLATE_LEVEL), edge(EDGE_DEFLATE_LEVEL);
            h5::StoredChunk stored;
            hsize_t chunks = 0;
            ASSERT_TRUE(
                h5::visit_chunks(dataset, *layout, ours, [&](hsize_t first, hsize_t rows, const unsigned char* raw) {
                    std::vector<unsigned char> full(raw, raw + layout->chunk_bytes());
                    std::fill(full.begin() + static_cast<std::ptrdiff_t>(rows * layout->record_size), full.end(), 0);
                    h5::read_stored_chunk(dataset, first, stored);
                    const auto again = (rows == layout->chunk_rows ? ours : edge).compress(full);
                    EXPECT_TRUE(std::equal(again.begin(), again.end(), stored.bytes.begin(), stored.bytes.end()))
                        << first;
                    ++chunks;
                }));
            EXPECT_GT(chunks, 0u);
        }
    }
}

TEST_F(MinbarH5pyWriteTest, H5pyAppendsToOurFilesAndWeGoOnAfterIt) {
    for (const std::string id : {STOCK, FUTURE}) {
        SCOPED_TRACE(id);
        update_at(early_, id, first_);
        update_at(late_, id, first_);
        update_at(late_, id, second_);
        // h5py appends the days between the first and the second moment to the early file.
        const RunResult extended =
            run_h5py_writer("extend " + quoted(file_in(early_, id)) + " " + quoted(file_in(late_, id)));
        ASSERT_EQ(extended.status, 0) << extended.output;
        update_at(early_, id, third_);
        update_at(late_, id, third_);
        if (id == STOCK) {
            const auto ours = test::read_store<layout::EquityBar>(file_in(late_, id));
            const auto mixed = test::read_store<layout::EquityBar>(file_in(early_, id));
            EXPECT_EQ(mixed.index, ours.index);
            EXPECT_EQ(mixed.data, ours.data);
        } else {
            const auto ours = test::read_store<layout::DerivativeBar>(file_in(late_, id));
            const auto mixed = test::read_store<layout::DerivativeBar>(file_in(early_, id));
            EXPECT_EQ(mixed.index, ours.index);
            EXPECT_EQ(mixed.data, ours.data);
        }
    }
}

// h5py's own chunk sizes: its guess, one that leaves the last chunk partly filled and one that
// the first file's rows fill exactly (240 bars a day).
TEST_F(MinbarH5pyWriteTest, WeAppendToFilesH5pyWroteWithOtherChunkSizes) {
    update_at(early_, STOCK, first_);
    update_at(late_, STOCK, first_);
    update_at(late_, STOCK, second_);
    const auto expected = test::read_store<layout::EquityBar>(file_in(late_, STOCK));
    const hsize_t early_rows = test::read_store<layout::EquityBar>(file_in(early_, STOCK)).data.size();
    ASSERT_EQ(early_rows % 240, 0u);
    for (const std::string chunks : {"auto", "1000", "240"}) {
        SCOPED_TRACE(chunks);
        test::TempDir root;
        const fs::path path = file_in(root, STOCK);
        fs::create_directories(path.parent_path());
        const RunResult copied =
            run_h5py_writer("copy " + quoted(file_in(early_, STOCK)) + " " + quoted(path) + " " + chunks);
        ASSERT_EQ(copied.status, 0) << copied.output;
        hsize_t h5py_chunk_rows = 0;
        {
            const h5::File file = h5::File::open(path.string(), h5::File::Access::ReadOnly);
            h5py_chunk_rows = *file.open_dataset("data").chunk_rows();
        }
        if (chunks != "auto") {
            EXPECT_EQ(h5py_chunk_rows, std::stoul(chunks));
        }
        EXPECT_EQ(early_rows % h5py_chunk_rows == 0, chunks == "240");

        update_at(root, STOCK, second_);
        const auto appended = test::read_store<layout::EquityBar>(path);
        EXPECT_EQ(appended.index, expected.index);
        EXPECT_EQ(appended.data, expected.data);
        const h5::File file = h5::File::open(path.string(), h5::File::Access::ReadOnly);
        EXPECT_EQ(*file.open_dataset("data").chunk_rows(), h5py_chunk_rows);

        const RunResult dumped = run_h5py_writer("dump " + quoted(path) + " " + quoted(scratch_ / "mixed"));
        ASSERT_EQ(dumped.status, 0) << dumped.output;
        EXPECT_EQ(file_bytes(scratch_ / "mixed.data"), record_bytes(expected.data));
        EXPECT_EQ(file_bytes(scratch_ / "mixed.index"), record_bytes(expected.index));
    }
}

}  // namespace
}  // namespace tarnwick::bundle::minbar
