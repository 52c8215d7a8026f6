// The tick check on bundles made by the real updates, then altered on purpose.
#include "tarnwick/bundle/checks/tick_check.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/commands/daybar.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/tick/append.hpp"

namespace tarnwick::bundle::checks {
namespace {

namespace fs = std::filesystem;

// Counts the one-day tick queries; the check examines files in a child process, so the
// counter lives in memory shared with it.
class CountingMarket : public service::SimulatedMarket {
public:
    CountingMarket()
        : counter_(static_cast<std::atomic<int>*>(
              mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0))),
          probes(*counter_) {
        new (counter_) std::atomic<int>(0);
    }
    ~CountingMarket() override { munmap(counter_, sizeof(std::atomic<int>)); }
    std::optional<service::Frame> get_price(const service::PriceQuery& query) override {
        if (query.frequency == service::Frequency::Tick && query.start_date == query.end_date) ++probes;
        return SimulatedMarket::get_price(query);
    }

private:
    std::atomic<int>* counter_;

public:
    std::atomic<int>& probes;
};

class TickCheck : public ::testing::Test {
protected:
    void SetUp() override {
        host::set_clock(host::make_datetime(2026, 12, 4, 18, 0));
        auto market = std::make_unique<CountingMarket>();
        market_ = market.get();
        previous_client_ = service::install(std::move(market));
        previous_console_ = host::set_console({[this](const std::string& t) { out += t; }, nullptr});
    }
    void TearDown() override {
        host::set_console(previous_console_);
        service::install(std::move(previous_client_));
        host::set_clock(std::nullopt);
    }
    void write_base() {
        fs::create_directories(layout::bundle_dir(root()));
        ASSERT_TRUE(commands::update_daybar(layout::bundle_dir(root()), true, true, 1));
    }
    std::string make(const std::string& id) {
        tick::_append_h5_tick(id, layout::tick_root(root()));
        const auto path = fs::path(layout::tick_root(root())) / (id + ".h5");
        EXPECT_TRUE(fs::exists(path)) << path;
        return path.string();
    }
    static void drop(const std::string& path, const std::string& day) {
        {
            auto edited = h5::File::open(path, h5::File::Access::ReadWrite);
            edited.unlink(day);
            edited.commit();
        }
    }
    std::string root() const { return dir.str(); }

    test::TempDir dir;
    std::string out;
    CountingMarket* market_ = nullptr;
    host::ConsoleHooks previous_console_;
    std::unique_ptr<service::Client> previous_client_;
};

TEST_F(TickCheck, MissingBaseFilesPrintOnlyTheirMessage) {
    EXPECT_FALSE(examine_tick_files(root()));
    EXPECT_EQ(out, "当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!\n");
    write_base();
    fs::remove(layout::suspended_days_file(root()));
    out.clear();
    EXPECT_FALSE(examine_tick_files(root()));
    EXPECT_EQ(out, "当前目录下不存在 suspended_days.h5 文件，请先下载 base 数据!\n");
}

TEST_F(TickCheck, FilesInSubfoldersAreNotFound) {
    write_base();
    make("000001.XSHE");
    fs::create_directories(fs::path(layout::tick_root(root())) / "old");
    fs::rename(fs::path(layout::tick_root(root())) / "000001.XSHE.h5",
               fs::path(layout::tick_root(root())) / "old" / "000001.XSHE.h5");
    out.clear();
    EXPECT_FALSE(examine_tick_files(root()));
    EXPECT_EQ(out, "当前目录下不存在tick数据!\n");
}

TEST_F(TickCheck, CompleteFilesPassWithoutQueries) {
    write_base();
    make("000001.XSHE");
    make("600000.XSHG");
    make("IF2612");
    market_->probes = 0;
    const auto lists = examine_tick_files(root());
    ASSERT_TRUE(lists);
    EXPECT_TRUE(lists->error_file_path_list.empty()) << ::testing::PrintToString(lists->error_file_path_list);
    EXPECT_TRUE(lists->blocking_or_permission_error.empty());
    EXPECT_EQ(market_->probes.load(), 0);
}

TEST_F(TickCheck, GapsOfSuspensionDaysPassWithoutQueries) {
    write_base();
    // Suspended on 2026-10-20..23 (before its first ticks) and 2026-11-24..25.
    const auto path = make("000002.XSHE");
    for (const char* day : {"20261020", "20261021", "20261022", "20261023"}) drop(path, day);
    drop(path, "20261124");
    drop(path, "20261125");
    market_->probes = 0;
    const auto lists = examine_tick_files(root());
    ASSERT_TRUE(lists);
    EXPECT_TRUE(lists->error_file_path_list.empty());
    EXPECT_EQ(market_->probes.load(), 0);

    // One suspension day among the missing ones excuses only itself.
    drop(path, "20261118");
    const auto with_a_traded_day = examine_tick_files(root());
    ASSERT_TRUE(with_a_traded_day);
    EXPECT_EQ(with_a_traded_day->error_file_path_list, std::vector<std::string>{path});
}

TEST_F(TickCheck, GapWithoutServiceTicksIsQueriedDayByDayAndPasses) {
    write_base();
    // The empty datasets of its October suspension reach back before the first ticks: the
    // trading days between are asked of the service, which has no ticks for them.
    make("000002.XSHE");
    market_->probes = 0;
    const auto lists = examine_tick_files(root());
    ASSERT_TRUE(lists);
    EXPECT_TRUE(lists->error_file_path_list.empty());
    EXPECT_GT(market_->probes.load(), 10);
}

TEST_F(TickCheck, MissingTradingDayWithTicksIsAbnormalAndStopsTheQueries) {
    write_base();
    const auto path = make("000001.XSHE");
    drop(path, "20261118");
    drop(path, "20261120");
    market_->probes = 0;
    const auto lists = examine_tick_files(root());
    ASSERT_TRUE(lists);
    EXPECT_EQ(lists->error_file_path_list, std::vector<std::string>{path});
    EXPECT_EQ(market_->probes.load(), 1);
}

TEST_F(TickCheck, EmptyFileIsInNoListAndExtraNonTradingDayAndNonDayMembersPass) {
    write_base();
    const auto empty = (fs::path(layout::tick_root(root())) / "600000.XSHG.h5").string();
    fs::create_directories(layout::tick_root(root()));
    h5::File::create(empty).close();
    const auto extra = make("000001.XSHE");
    {
        auto file = h5::File::open(extra, h5::File::Access::ReadWrite);
        auto type = h5::DataType::copy(H5T_STD_I32LE);
        file.create_dataset("20261122", type, H5T_NATIVE_INT32, 0, nullptr, {});  // a Sunday
        // Members that are no day never make a file abnormal (check content names them).
        for (const char* name : {"zz_notes", "00000000x", ".tmp-20261204"})
            file.create_dataset(name, type, H5T_NATIVE_INT32, 0, nullptr, {});
        file.commit();
    }
    const auto lists = examine_tick_files(root());
    ASSERT_TRUE(lists);
    EXPECT_TRUE(lists->error_file_path_list.empty());
    EXPECT_TRUE(lists->blocking_or_permission_error.empty());
}

TEST_F(TickCheck, HeldFileIsBlockedAndBrokenFileIsAbnormal) {
    write_base();
    const auto held = make("000001.XSHE");
    const auto broken = make("600000.XSHG");
    { std::ofstream(broken, std::ios::trunc) << "not hdf5"; }
    test::ChildProcess holder([&](test::ChildProcess& self) {
        auto file = h5::File::open(held, h5::File::Access::ReadWrite);
        self.ready();
        pause();
        return 0;
    });
    ASSERT_TRUE(holder.wait_ready());
    const auto lists = examine_tick_files(root());
    ASSERT_TRUE(lists);
    EXPECT_EQ(lists->blocking_or_permission_error, std::vector<std::string>{held});
    EXPECT_EQ(lists->error_file_path_list, std::vector<std::string>{broken});
}

}  // namespace
}  // namespace tarnwick::bundle::checks
