// The minute-bar check reads "data" and "index" chunk by chunk where it can; files laid out by
// other writers must get the same verdicts.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <fmt/format.h>

#include "minbar/minbar_files.hpp"
#include "support/store_contents.hpp"
#include "tarnwick/bundle/layout/filters.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/checks/minbar_check.hpp"
#include "tarnwick/bundle/formats/npy.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/reading/read.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/status/examine.hpp"

namespace tarnwick::bundle::checks {
namespace {

namespace fs = std::filesystem;
using layout::IndexRecord;

class MinbarCheckLayouts : public ::testing::Test {
protected:
    void SetUp() override {
        host::set_clock(host::make_datetime(2026, 12, 4, 18, 0));
        previous_client_ = service::install(std::make_unique<service::SimulatedMarket>());
        previous_console_ = host::set_console({[](const std::string&) {}, nullptr});
        host::process_init(std::make_shared<host::SharedFlag>(true));
    }
    void TearDown() override {
        host::process_init(nullptr);
        host::set_console(previous_console_);
        service::install(std::move(previous_client_));
        host::set_clock(std::nullopt);
    }
    void write_calendar() {
        fs::create_directories(layout::bundle_dir(root()));
        const auto days = service::current().get_trading_dates(20260101, 20261231);
        std::vector<std::int64_t> values(days.begin(), days.end());
        formats::write_npy(layout::trading_dates_file(root()), values);
    }
    std::string make(const std::string& id) {
        minbar::_append_h5(id, layout::minbar_root(root()));
        const auto path = fs::path(layout::minbar_root(root())) / "equities" / (id + ".h5");
        EXPECT_TRUE(fs::exists(path)) << path;
        return path.string();
    }
    std::string root() const { return dir_.str(); }

    test::TempDir dir_;
    host::ConsoleHooks previous_console_;
    std::unique_ptr<service::Client> previous_client_;
};

// The same records laid out by other writers: HDF5's own deflate filter with other chunk sizes
// (read chunk by chunk directly), shuffle in front of deflate and rows without a stored chunk
// (both read through HDF5). Good records pass whatever the layout; a wrong first bar is found
// whatever the layout.
TEST_F(MinbarCheckLayouts, VerdictsDoNotDependOnHowTheChunksWereWritten) {
    write_calendar();
    const auto stock = make("600000.XSHG");
    std::vector<layout::EquityBar> bars;
    std::vector<IndexRecord> index;
    {
        const auto original = h5::File::open(stock, h5::File::Access::ReadOnly);
        bars = original.open_dataset("data").read_all<layout::EquityBar>(layout::equity_bar_memory_type().id());
        index = original.open_dataset("index").read_all<IndexRecord>(layout::index_memory_type().id());
    }
    ASSERT_GT(index.size(), 3u);

    enum class Layout { Chunks100, Chunks1000, Shuffled, Lzf };
    const auto rewrite = [&](const std::string& path, Layout how, const std::vector<IndexRecord>& records) {
        h5::File file = h5::File::create(path);
        h5::DatasetOptions options;
        options.resizable = true;
        options.chunk_rows = how == Layout::Chunks1000 ? 1000 : 100;
        if (how == Layout::Shuffled)
            options.filters = {h5::Filter{H5Z_FILTER_SHUFFLE, H5Z_FLAG_OPTIONAL, {}},
                               h5::Filter{H5Z_FILTER_DEFLATE, H5Z_FLAG_OPTIONAL, {9}}};
        else if (how == Layout::Lzf)  // as h5py writes compression="lzf"
            options.filters = {h5::Filter{layout::LZF_FILTER_ID, H5Z_FLAG_OPTIONAL, {}}};
        else
            options.deflate_level = 9;
        file.create_dataset("data", layout::EQUITIES_DTYPE(), layout::equity_bar_memory_type().id(), bars.size(),
                            bars.data(), options);
        file.create_dataset("index", layout::INDEX_DTYPE(), layout::index_memory_type().id(), records.size(),
                            records.data(), options);
        file.close();
    };
    auto shifted = index;
    shifted[2].line_no += 1;  // the day's first bar is 09:32:00

    const fs::path dir = fs::path(stock).parent_path();
    std::vector<std::string> expected_abnormal;
    int n = 0;
    for (const Layout how : {Layout::Chunks100, Layout::Chunks1000, Layout::Shuffled, Layout::Lzf}) {
        const std::string good = (dir / fmt::format("60000{}.XSHG.h5", n++)).string();
        const std::string bad = (dir / fmt::format("60000{}.XSHG.h5", n++)).string();
        rewrite(good, how, index);
        rewrite(bad, how, shifted);
        expected_abnormal.push_back(bad);
    }
    // A day's bars whose chunk was never stored: HDF5 reads them as zero records.
    const std::string unstored = (dir / "600099.XSHG.h5").string();
    {
        rewrite(unstored, Layout::Chunks100, index);
        h5::File file = h5::File::open(unstored, h5::File::Access::ReadWrite);
        auto data = file.open_dataset("data");
        data.resize(bars.size() + 240);
        auto index_ds = file.open_dataset("index");
        const IndexRecord next{
            static_cast<std::int32_t>(service::current().get_next_trading_date(index.back().date, "cn")),
            static_cast<std::uint32_t>(bars.size())};
        index_ds.append<IndexRecord>(layout::index_memory_type().id(), std::span<const IndexRecord>(&next, 1));
        file.commit();
        file.close();
        expected_abnormal.push_back(unstored);
    }

    for (unsigned workers : {1u, 3u}) {
        SCOPED_TRACE(workers);
        const auto lists = examine_min_bar_files(root(), workers);
        ASSERT_TRUE(lists);
        auto errors = lists->error_file_path_list;
        std::sort(errors.begin(), errors.end());
        auto expected = expected_abnormal;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(errors, expected);
        EXPECT_TRUE(lists->blocking_or_permission_error.empty());
    }
}

// An update extends a file h5py wrote with LZF through its own filter: the records read back
// whole, the check and status call it good.
TEST_F(MinbarCheckLayouts, LzfFilesAreExtendedWithTheirOwnFilter) {
    write_calendar();
    const auto stock = make("600000.XSHG");
    const auto equity = layout::equity_bar_memory_type();
    const auto read = [&](auto& bars, auto& index) {
        const auto file = h5::File::open(stock, h5::File::Access::ReadOnly);
        bars = file.open_dataset("data").read_all<layout::EquityBar>(equity.id());
        index = file.open_dataset("index").read_all<IndexRecord>(layout::index_memory_type().id());
    };
    std::vector<layout::EquityBar> bars, bars_after;
    std::vector<IndexRecord> index, index_after;
    read(bars, index);
    ASSERT_GT(index.size(), 10u);
    {
        const std::size_t days = index.size() / 2, rows = index[days].line_no;
        h5::File file = h5::File::create(stock);
        h5::DatasetOptions options{true, 100, -1, {h5::Filter{layout::LZF_FILTER_ID, H5Z_FLAG_OPTIONAL, {}}}};
        file.create_dataset("data", layout::EQUITIES_DTYPE(), equity.id(), rows, bars.data(), options);
        file.create_dataset("index", layout::INDEX_DTYPE(), layout::index_memory_type().id(), days, index.data(),
                            options);
        file.commit();
    }
    minbar::_append_h5("600000.XSHG", layout::minbar_root(root()));
    read(bars_after, index_after);
    EXPECT_TRUE(bars_after == bars);
    EXPECT_EQ(index_after, index);
    const auto filters = h5::File::open(stock, h5::File::Access::ReadOnly).open_dataset("data").filters();
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters[0].id, layout::LZF_FILTER_ID);
    const auto lists = examine_min_bar_files(root(), 1);
    ASSERT_TRUE(lists);
    EXPECT_TRUE(lists->error_file_path_list.empty());
    const auto status = status::examine_minbar(stock, {});
    EXPECT_FALSE(status.unreadable) << status.error;
    EXPECT_EQ(status.days_held, static_cast<int>(index.size()));
}

// A damaged description that claims billions of records (a few hundred GB) is refused by every
// reader before anything is sized by it, with the file's name; never allocated.
TEST_F(MinbarCheckLayouts, ClaimsBeyondTheFileAreRefusedNotAllocated) {
    write_calendar();
    const auto good = make("600000.XSHG");
    const fs::path dir = fs::path(good).parent_path();
    std::vector<std::string> damaged;
    for (const std::string member : {"index", "data"}) {
        const auto path = (dir / fmt::format("60009{}.XSHG.h5", damaged.size())).string();
        fs::copy_file(good, path);
        h5::File file = h5::File::open(path, h5::File::Access::ReadWrite);
        file.open_dataset(member).resize(3'000'000'000ull);
        file.commit();
        file.close();
        damaged.push_back(path);
    }
    const auto lists = examine_min_bar_files(root(), 1);
    ASSERT_TRUE(lists);
    auto errors = lists->error_file_path_list;
    std::sort(errors.begin(), errors.end());
    EXPECT_EQ(errors, damaged);
    const auto refused = [](const std::string& named, const auto& read) {
        try {
            read();
            ADD_FAILURE() << "read without an error";
        } catch (const h5::ClaimTooLarge& e) {
            EXPECT_NE(std::string(e.what()).find(named), std::string::npos) << e.what();
        }
    };
    for (const auto& path : damaged) {
        SCOPED_TRACE(path);
        refused(path, [&] {
            reading::read_minbar_file(path, {}, [](reading::RecordKind, std::size_t) -> void* { return nullptr; });
        });
        const fs::path alone = fs::path(root()) / "alone" / fs::path(path).filename();  // the helper reads a folder
        fs::create_directories(alone.parent_path());
        fs::copy_file(path, alone);
        refused(alone.string(), [&] { test::store_contents(alone.parent_path()); });
        fs::remove(alone);
    }
    EXPECT_TRUE(status::examine_minbar(damaged[0], {}).unreadable);
}

}  // namespace
}  // namespace tarnwick::bundle::checks
