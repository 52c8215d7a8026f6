// Minute-bar store files as the host's Python readers see them: h5py opens them and finds the
// record types, filters and index that the loaders compare against their numpy dtypes.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "minbar/minbar_files.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
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
        options.filters = {h5::Filter{H5Z_FILTER_SHUFFLE, H5Z_FLAG_OPTIONAL, {}}, h5::Filter{H5Z_FILTER_DEFLATE, H5Z_FLAG_OPTIONAL, {9}}};
        const auto bar_memory = layout::derivative_bar_memory_type();
        const auto index_memory = layout::index_memory_type();
        f.create_dataset("data", layout::DERIVATIVES_DTYPE(), bar_memory.id(), store.data.size(), store.data.data(), options);
        f.create_dataset("index", layout::INDEX_DTYPE(), index_memory.id(), store.index.size(), store.index.data(), options);
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

}  // namespace
}  // namespace tarnwick::bundle::minbar
