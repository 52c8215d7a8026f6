// Dry runs against what the update then fetches, and refetches against a fresh build of the
// corrected market, through the simulated market behind a client that can hide days.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "support/child_process.hpp"
#include "support/store_contents.hpp"
#include "support/temp_dir.hpp"
#include "support/test_envs.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/minbar/plan.hpp"
#include "tarnwick/bundle/minbar/refetch.hpp"
#include "tarnwick/bundle/service/scripted_client.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/tick/append.hpp"
#include "tarnwick/bundle/tick/plan.hpp"
#include "tarnwick/bundle/tick/refetch.hpp"

namespace tarnwick::bundle {
namespace {

namespace fs = std::filesystem;
using service::PriceQuery;

class PlanAndRefetch : public ::testing::Test {
protected:
    void SetUp() override {
        set_day(20261118);
        market({});
        auto client = std::make_unique<service::ScriptedClient>();
        auto& c = *client;
        c.on_instruments = [this](const std::string& id, const auto& m) { return sim_->instruments(id, m); };
        c.on_next_trading_date = [this](int d, const std::string& m) { return sim_->get_next_trading_date(d, m); };
        c.on_is_suspended = [this](const std::string& id, int a, int b) { return sim_->is_suspended(id, a, b); };
        c.on_trading_dates = [this](int a, int b) { return sim_->get_trading_dates(a, b); };
        c.on_get_price = [this](const PriceQuery& q) { return price(q); };
        previous_ = service::install(std::move(client));
        host::process_init(std::make_shared<host::SharedFlag>(true));
        console_ = host::set_console({[this](const std::string& t) { out += t; }, [] { return std::nullopt; }});
    }
    void TearDown() override {
        host::set_console(console_);
        host::process_init(nullptr);
        service::install(std::move(previous_));
        host::set_clock(std::nullopt);
    }
    static void set_day(int day) {
        host::set_clock(host::make_datetime(day / 10000, day / 100 % 100, day % 100, 18, 0));
    }
    void market(std::set<std::pair<std::string, int>> corrections) {
        service::SimulatedMarket::Settings settings;
        settings.corrections = std::move(corrections);
        sim_ = std::make_unique<service::SimulatedMarket>(settings);
    }
    // The market's answer without the rows of hidden trading days (a day the vendor lacked).
    std::optional<service::Frame> price(const PriceQuery& q) {
        if (q.frequency != service::Frequency::Day) queries.push_back(q);
        std::optional<service::Frame> f = sim_->get_price(q);
        if (!f || hidden.empty() || q.frequency == service::Frequency::Day) return f;
        service::Frame kept = *f;
        kept.timestamp.clear();
        kept.order_book_id.clear();
        if (kept.trading_date) kept.trading_date->clear();
        for (auto& [name, column] : kept.columns) column.clear();
        for (std::size_t r = 0; r < f->rows(); ++r) {
            const auto day = f->trading_date ? (*f->trading_date)[r] : f->timestamp[r];
            if (hidden.count(host::date_to_number(day))) continue;
            kept.timestamp.push_back(f->timestamp[r]);
            kept.order_book_id.push_back(f->order_book_id[r]);
            if (kept.trading_date) kept.trading_date->push_back((*f->trading_date)[r]);
            for (auto& [name, column] : kept.columns) column.push_back(f->columns.at(name)[r]);
        }
        return kept;
    }
    drivers::DaySpan span(int first, int last) const {
        return drivers::span_of(sim_->get_trading_dates(first, last), first, last);
    }
    bool flag() const { return host::sval().value(); }

    test::TempDir dir;
    std::string out;
    std::set<int> hidden;
    std::vector<PriceQuery> queries;
    std::unique_ptr<service::SimulatedMarket> sim_;
    std::unique_ptr<service::Client> previous_;
    host::ConsoleHooks console_;
};

TEST_F(PlanAndRefetch, PlanDayRangesAreWhatTheUpdateFetches) {
    const std::string h5 = (dir / "h5").string(), ticks = (dir / "ticks").string();
    hidden = {20261111};  // 000001.XSHE gets a gap
    for (const char* id : {"000001.XSHE", "IF2611", "IF2612"}) minbar::_append_h5(id, h5);
    tick::_append_h5_tick("000001.XSHE", ticks);
    hidden.clear();
    set_day(20261127);
    minbar::_append_h5("600000.XSHG", h5);  // current
    // new, gapped and stale, delisted since, current, current after its delisting
    const std::vector<std::string> ids = {"600519.XSHG", "000001.XSHE", "IF2611", "600000.XSHG", "000003.XSHE"};
    const auto calendar = sim_->get_trading_dates(20050104, 20261127);
    const auto plans = minbar::plan_minbar(h5, ids, false, calendar);
    ASSERT_EQ(plans.size(), ids.size());
    EXPECT_EQ(plans[0].action, drivers::PlanAction::Create);
    EXPECT_EQ(plans[1].gap_days, 1);
    EXPECT_EQ(plans[2].last_day, 20261120);
    EXPECT_EQ(plans[3].action, drivers::PlanAction::Current);
    EXPECT_EQ(plans[4].action, drivers::PlanAction::Skip);
    for (const auto& plan : plans) {
        queries.clear();
        minbar::_append_h5(plan.order_book_id, h5);
        SCOPED_TRACE(plan.order_book_id);
        if (plan.trading_days == 0) {
            EXPECT_TRUE(queries.empty());
            continue;
        }
        ASSERT_EQ(queries.size(), 1u);
        const auto fetched = span(queries[0].start_date, queries[0].end_date);
        EXPECT_EQ(plan.first_day, fetched.first);
        EXPECT_EQ(plan.last_day, fetched.last);
        EXPECT_EQ(plan.trading_days, fetched.count);
    }
    EXPECT_EQ(minbar::plan_minbar(h5, {"IF2611"}, false, calendar)[0].action, drivers::PlanAction::Current);

    const auto tick_plan = tick::plan_tick(ticks, {"000001.XSHE"}, false).at(0);
    queries.clear();
    tick::_append_h5_tick("000001.XSHE", ticks);
    ASSERT_FALSE(queries.empty());
    EXPECT_EQ(tick_plan.first_day, queries.front().start_date);
    EXPECT_EQ(tick_plan.last_day, queries.back().end_date);
    EXPECT_EQ(tick_plan.first_day, 20261118);  // its newest day, fetched again
}

struct RefetchCase {
    const char* name;
    bool ticks;
    const char* id;
    std::set<int> hidden_at_build, hidden_at_refetch, hidden_in_fresh_build;
    std::set<int> corrected;
    const char* range;
    bool drop_missing;
    int replaced, identical, added, dropped, kept;
};

class Refetch : public PlanAndRefetch, public ::testing::WithParamInterface<RefetchCase> {};

// The refetched file equals one built afresh from the market as it is now, when the range covers
// every day that differs; the old and the new days otherwise stay record for record.
TEST_P(Refetch, EqualsAFreshBuildOfTheMarketAsServedNow) {
    const RefetchCase& c = GetParam();
    const auto build = [&](const fs::path& root) {
        if (c.ticks)
            tick::_append_h5_tick(c.id, root.string());
        else
            minbar::_append_h5(c.id, root.string());
    };
    hidden = c.hidden_at_build;
    build(dir / "refetched");
    std::set<std::pair<std::string, int>> corrections;
    for (int day : c.corrected) corrections.emplace(c.id, day);
    market(corrections);
    hidden = c.hidden_at_refetch;
    const auto range = drivers::parse_day_range(c.range);
    const std::string path = (dir / "refetched").string();
    const auto done = c.ticks ? tick::_refetch_h5_tick(c.id, path, range, c.drop_missing)
                              : minbar::_refetch_h5(c.id, path, range, c.drop_missing);
    EXPECT_TRUE(flag()) << out;
    EXPECT_EQ(done.replaced, c.replaced);
    EXPECT_EQ(done.identical, c.identical);
    EXPECT_EQ(done.added, c.added);
    EXPECT_EQ(done.dropped, c.dropped);
    EXPECT_EQ(done.kept_missing, c.kept);
    hidden = c.hidden_in_fresh_build;
    build(dir / "fresh");
    EXPECT_EQ(test::store_contents(dir / "refetched"), test::store_contents(dir / "fresh"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refetch,
    ::testing::Values(
        RefetchCase{"MiddleRange",
                    false,
                    "000001.XSHE",
                    {},
                    {},
                    {},
                    {20261110, 20261111},
                    "20261109:20261112",
                    false,
                    2,
                    2,
                    0,
                    0,
                    0},
        RefetchCase{
            "NewestDayClipped", false, "000001.XSHE", {}, {}, {}, {20261118}, "2026-11-17:", false, 1, 1, 0, 0, 0},
        RefetchCase{"GapFilled",
                    false,
                    "000001.XSHE",
                    {20261111},
                    {},
                    {},
                    {20261112},
                    "20261110:20261112",
                    false,
                    1,
                    1,
                    1,
                    0,
                    0},
        RefetchCase{"GapOutsideStays",
                    false,
                    "000001.XSHE",
                    {20261105},
                    {},
                    {20261105},
                    {20261112},
                    "20261110:20261112",
                    false,
                    1,
                    2,
                    0,
                    0,
                    0},
        RefetchCase{
            "NightSessions", false, "IF2612", {}, {}, {}, {20261116}, "20261113:20261117", false, 1, 2, 0, 0, 0},
        RefetchCase{
            "MissingKept", false, "000001.XSHE", {}, {20261111}, {}, {}, "20261110:20261112", false, 0, 2, 0, 0, 1},
        RefetchCase{"MissingDropped",
                    false,
                    "000001.XSHE",
                    {},
                    {20261111},
                    {20261111},
                    {},
                    "20261110:20261112",
                    true,
                    0,
                    2,
                    0,
                    1,
                    0},
        RefetchCase{"NewestNeverDropped",
                    false,
                    "000001.XSHE",
                    {},
                    {20261118},
                    {},
                    {},
                    "20261117:20261118",
                    true,
                    0,
                    1,
                    0,
                    0,
                    1},
        RefetchCase{"TickDays", true, "000001.XSHE", {}, {}, {}, {20261117}, "20261116:20261117", false, 1, 1, 0, 0, 0},
        RefetchCase{"TickGapAndDrop",
                    true,
                    "000001.XSHE",
                    {20261117},
                    {20261116},
                    {20261116},
                    {},
                    "20261116:20261117",
                    true,
                    0,
                    0,
                    1,
                    1,
                    0}),
    [](const auto& info) { return std::string(info.param.name); });

// A write that fails at any point of a refetch (a full disk) leaves the file with all its old
// days or all the new ones (a failure after the commit point, while closing, keeps the new).
TEST_F(PlanAndRefetch, FailedWriteAnywhereLeavesOldOrNewDays) {
    minbar::_append_h5("IF2612", (dir / "old").string());
    market({{"IF2612", 20261110}, {"IF2612", 20261116}});
    const auto range = drivers::parse_day_range("20261109:20261118");
    const auto refetch_copy = [&](const fs::path& root) {
        fs::remove_all(root);
        fs::copy(dir / "old", root, fs::copy_options::recursive);
        minbar::_refetch_h5("IF2612", root.string(), range, false);
    };
    // A full disk may keep even the rollback from finishing: the next writer completes it.
    const auto settled = [&](const fs::path& root) {
        h5::recover_interrupted_update((root / "future" / "IF2612.h5").string());
        return test::store_contents(root);
    };
    const auto before = test::store_contents(dir / "old");
    refetch_copy(dir / "new");
    const auto after = settled(dir / "new");
    ASSERT_NE(before, after);
    // In a child, as a pool worker runs it: a close that failed leaves HDF5 a file it cannot
    // close when the library ends (its exit handler crashes); workers end without running it.
    test::ChildProcess sweep([&](test::ChildProcess&) {
        int nth = 0, old_kept = 0;
        for (;; ++nth) {
            host::sval().set(true);
            test::FaultEnv full({.op = test::Op::Write, .nth = nth, .err = ENOSPC, .sticky = true, .path_part = ""});
            {
                bundle::fs::ScopedEnv seam(full);
                refetch_copy(dir / "trial");
            }
            const auto left = settled(dir / "trial");
            if (!full.fired()) break;
            EXPECT_FALSE(flag()) << nth;
            EXPECT_TRUE(left == before || left == after) << "write " << nth;
            old_kept += left == before ? 1 : 0;
        }
        EXPECT_GT(old_kept, 3);
        EXPECT_TRUE(flag());
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(sweep.wait_exit_status(), 0);
}

}  // namespace
}  // namespace tarnwick::bundle
