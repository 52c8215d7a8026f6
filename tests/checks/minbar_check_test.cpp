// The minute-bar check on bundles made by the real update, then damaged on purpose.
#include "tarnwick/bundle/checks/minbar_check.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_envs.hpp"
#include "tarnwick/bundle/formats/npy.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace tarnwick::bundle::checks {
namespace {

namespace fs = std::filesystem;
namespace fs_seam = tarnwick::bundle::fs;
using layout::IndexRecord;

class MinbarCheck : public ::testing::Test {
protected:
    void SetUp() override {
        host::set_clock(host::make_datetime(2026, 12, 4, 18, 0));
        previous_client_ = service::install(std::make_unique<service::SimulatedMarket>());
        previous_console_ = host::set_console({[this](const std::string& t) { out += t; }, nullptr});
    }
    void TearDown() override {
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
        const std::string group = id.starts_with("IF") ? "future" : id.starts_with("IO") ? "option" : "equities";
        const auto path = fs::path(layout::minbar_root(root())) / group / (id + ".h5");
        EXPECT_TRUE(fs::exists(path)) << path;
        return path.string();
    }
    std::string root() const { return dir.str(); }
    // Rewrites one index record.
    static void set_index(const std::string& path, hsize_t row, IndexRecord record) {
        auto file = h5::File::open(path, h5::File::Access::ReadWrite);
        file.open_dataset("index").write_rows(layout::index_memory_type().id(), row, 1, &record);
        file.commit();
    }
    static std::vector<IndexRecord> index_of(const std::string& path) {
        auto file = h5::File::open(path, h5::File::Access::ReadOnly);
        return file.open_dataset("index").read_all<IndexRecord>(layout::index_memory_type().id());
    }

    test::TempDir dir;
    std::string out;
    host::ConsoleHooks previous_console_;
    std::unique_ptr<service::Client> previous_client_;
};

TEST_F(MinbarCheck, NoCalendarPrintsOnlyItsMessage) {
    EXPECT_FALSE(examine_min_bar_files(root()).has_value());
    EXPECT_EQ(out, "当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!\n");
}

TEST_F(MinbarCheck, FilesDirectlyInH5CountAsNoData) {
    write_calendar();
    fs::create_directories(layout::minbar_root(root()));
    std::ofstream(fs::path(layout::minbar_root(root())) / "000001.XSHE.h5") << "x";
    EXPECT_FALSE(examine_min_bar_files(root()).has_value());
    EXPECT_EQ(out, "当前目录下不存在分钟数据!\n");
}

TEST_F(MinbarCheck, GoodFilesIncludingSuspensionGapsPass) {
    write_calendar();
    make("000001.XSHE");
    make("000002.XSHE");  // suspended for some days: the service has no bars then
    make("IF2612");
    make("IO2612-C-4000");
    const auto lists = examine_min_bar_files(root());
    ASSERT_TRUE(lists);
    EXPECT_TRUE(lists->error_file_path_list.empty()) << ::testing::PrintToString(lists->error_file_path_list);
    EXPECT_TRUE(lists->blocking_or_permission_error.empty());
    EXPECT_EQ(out.rfind("共有4个分钟数据文件!\n", 0), 0u);
}

TEST_F(MinbarCheck, WrongFirstBarAndShiftedIndexAreAbnormal) {
    write_calendar();
    const auto stock = make("000001.XSHE");
    const auto future = make("IF2612");
    const auto twice = make("000002.XSHE");
    const auto good = make("600000.XSHG");
    // The stock's second index entry points one bar late (09:32:00).
    auto index = index_of(stock);
    set_index(stock, 1, {index[1].date, index[1].line_no + 1});
    // The future's third index entry claims the wrong trading day.
    index = index_of(future);
    set_index(future, 2, {index[3].date, index[2].line_no});
    // The last day's bars appended again under a second index entry of the same day: every
    // entry still points at a 09:31 bar of its day.
    {
        auto file = h5::File::open(twice, h5::File::Access::ReadWrite);
        auto data = file.open_dataset("data");
        const auto memory = layout::equity_bar_memory_type();
        auto index_ds = file.open_dataset("index");
        const auto bars = data.read_all<layout::EquityBar>(memory.id());
        const IndexRecord last = index_ds.read_all<IndexRecord>(layout::index_memory_type().id()).back();
        const std::vector<layout::EquityBar> last_day(bars.begin() + last.line_no, bars.end());
        data.append<layout::EquityBar>(memory.id(), last_day);
        const std::vector<IndexRecord> again = {{last.date, static_cast<std::uint32_t>(bars.size())}};
        index_ds.append<IndexRecord>(layout::index_memory_type().id(), again);
        file.commit();
    }
    const auto lists = examine_min_bar_files(root());
    ASSERT_TRUE(lists);
    auto errors = lists->error_file_path_list;
    std::sort(errors.begin(), errors.end());
    EXPECT_EQ(errors, (std::vector<std::string>{stock, twice, future}));
    (void)good;
}

TEST_F(MinbarCheck, MissingDayWithServiceDataIsAbnormal) {
    write_calendar();
    const auto stock = make("600519.XSHG");
    // Drop the index entry of one day in the middle: its bars now count for the day before,
    // and that day looks missing.
    {
        // Scoped, so that the file is really closed (HDF5 keeps it open while a dataset is).
        auto file = h5::File::open(stock, h5::File::Access::ReadWrite);
        auto index_ds = file.open_dataset("index");
        auto index = index_ds.read_all<IndexRecord>(layout::index_memory_type().id());
        index.erase(index.begin() + 3);
        index_ds.resize(index.size());
        index_ds.write_rows(layout::index_memory_type().id(), 0, index.size(), index.data());
        file.commit();
    }
    const auto lists = examine_min_bar_files(root());
    ASSERT_TRUE(lists);
    EXPECT_EQ(lists->error_file_path_list, std::vector<std::string>{stock});
}

TEST_F(MinbarCheck, DamagedFilesAreListedAndTheCheckGoesOn) {
    write_calendar();
    const auto no_index = make("000001.XSHE");
    const auto beyond = make("600000.XSHG");
    const auto no_data = make("600519.XSHG");
    const auto not_hdf5 = make("300750.XSHE");
    const auto empty_index = make("510050.XSHG");
    const auto neither = make("688981.XSHG");
    const auto good = make("510300.XSHG");
    {
        auto edited = h5::File::open(no_index, h5::File::Access::ReadWrite);
        edited.unlink("index");
        edited.commit();
    }
    {
        auto index = index_of(beyond);
        set_index(beyond, index.size() - 1, {index.back().date, 99999999});
    }
    {
        auto edited = h5::File::open(no_data, h5::File::Access::ReadWrite);
        edited.unlink("data");
        edited.commit();
    }
    { std::ofstream(not_hdf5, std::ios::trunc) << "not hdf5"; }
    {
        auto edited = h5::File::open(empty_index, h5::File::Access::ReadWrite);
        edited.open_dataset("index").resize(0);
        edited.commit();
    }
    {
        auto file = h5::File::open(neither, h5::File::Access::ReadWrite);
        file.unlink("index");
        file.unlink("data");
        file.commit();
    }
    const auto lists = examine_min_bar_files(root());
    ASSERT_TRUE(lists);
    auto errors = lists->error_file_path_list;
    std::sort(errors.begin(), errors.end());
    std::vector<std::string> expected = {no_index, beyond, no_data, not_hdf5, empty_index};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(errors, expected);
    (void)good;
}

TEST_F(MinbarCheck, FileHeldForWritingIsBlockedNotAbnormal) {
    write_calendar();
    const auto held = make("000001.XSHE");
    test::ChildProcess holder([&](test::ChildProcess& self) {
        auto file = h5::File::open(held, h5::File::Access::ReadWrite);
        self.ready();
        pause();
        return 0;
    });
    ASSERT_TRUE(holder.wait_ready());
    const auto lists = examine_min_bar_files(root());
    ASSERT_TRUE(lists);
    EXPECT_EQ(lists->blocking_or_permission_error, std::vector<std::string>{held});
    EXPECT_TRUE(lists->error_file_path_list.empty());
}

TEST_F(MinbarCheck, FileOfAKilledUpdateIsPutBackAndJudgedAsItWas) {
    // A writer killed in the middle of rewriting a file: its half-done writes are undone before
    // the check looks, so a good file is not listed (nor offered for deletion).
    write_calendar();
    const auto good = make("000001.XSHE");
    const auto dates_of = [](const std::vector<IndexRecord>& index) {
        std::vector<std::pair<std::int32_t, std::uint32_t>> out;
        for (const IndexRecord& r : index) out.emplace_back(r.date, r.line_no);
        return out;
    };
    const auto before = dates_of(index_of(good));
    test::ChildProcess writer([&](test::ChildProcess& self) {
        auto file = h5::File::open(good, h5::File::Access::ReadWrite);
        auto index = file.open_dataset("index");
        std::vector<IndexRecord> garbage(index.rows(), IndexRecord{1, 7});
        index.write_rows(layout::index_memory_type().id(), 0, garbage.size(), garbage.data());
        file.open_dataset("data").resize(3);
        H5Fflush(file.id(), H5F_SCOPE_LOCAL);  // written out, but not committed
        self.ready();
        pause();
        return 0;
    });
    ASSERT_TRUE(writer.wait_ready());
    writer.kill_now();
    writer.wait_exit_status();
    ASSERT_TRUE(fs::exists(h5::journal_path(good)));
    {
        // On a read-only disk the journal cannot be settled: the file is listed with the files
        // that could not be examined, never among those offered for deletion.
        test::FaultEnv read_only({.op = test::Op::Open, .err = EROFS, .sticky = true, .path_part = good});
        const fs_seam::ScopedEnv injected(read_only);
        const auto blocked = examine_min_bar_files(root());
        ASSERT_TRUE(blocked);
        EXPECT_TRUE(blocked->error_file_path_list.empty());
        EXPECT_EQ(blocked->blocking_or_permission_error, std::vector<std::string>{good});
    }
    const auto lists = examine_min_bar_files(root());
    ASSERT_TRUE(lists);
    EXPECT_TRUE(lists->error_file_path_list.empty());
    EXPECT_TRUE(lists->blocking_or_permission_error.empty());
    EXPECT_FALSE(fs::exists(h5::journal_path(good)));
    EXPECT_EQ(dates_of(index_of(good)), before);
}

}  // namespace
}  // namespace tarnwick::bundle::checks
