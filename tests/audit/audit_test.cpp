#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <span>
#include <tuple>

#include "status/status_bundle.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/audit/audit.hpp"
#include "tarnwick/bundle/audit/rules.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/tick_layout.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/status/status.hpp"
#include "tarnwick/bundle/status/views.hpp"
#include "tarnwick/bundle/tick/append.hpp"

namespace tarnwick::bundle::audit {
namespace {

namespace fs = std::filesystem;
using layout::EquityBar;
using layout::TickRecord;

constexpr const char* ID = "000001.XSHE";
const std::vector<int> DAYS = test::weekdays(20261130, 20261204);
constexpr int FAULT_DAY = 20261202;

// One clean trading day of an A share: 240 bars of 09:31-11:30 and 13:01-15:00 with OHLC,
// volume and turnover that agree, and one tick in each minute whose cumulative volume, day
// high and day low agree with the bars. Limits are 10% around 10.00.
struct Day {
    std::vector<EquityBar> bars;
    std::vector<TickRecord> ticks;
};

Day clean_day(int day) {
    Day d;
    std::int64_t volume = 0, high = 0, low = 0;
    double turnover = 0;
    for (int m = 0; m < 240; ++m) {
        const int minute = m < 120 ? 9 * 60 + 31 + m : 13 * 60 + 1 + (m - 120);
        const double p = 10.0 + 0.01 * (m % 7);
        EquityBar b{static_cast<std::int64_t>(day) * 1000000 + minute / 60 * 10000 + minute % 60 * 100,
                    p,
                    p + 0.02,
                    p - 0.01,
                    p + 0.01,
                    100.0 * (1 + m % 5),
                    0};
        b.total_turnover = b.volume * (b.open + b.close) / 2;
        d.bars.push_back(b);
        volume += static_cast<std::int64_t>(b.volume);
        turnover += b.total_turnover;
        const auto scaled = [](double x) -> std::int64_t { return std::llround(x * 10000); };
        high = std::max(high, scaled(b.high));
        low = m == 0 ? scaled(b.low) : std::min(low, scaled(b.low));
        TickRecord t{};
        t.date = static_cast<std::uint32_t>(day);
        t.time = static_cast<std::uint32_t>((minute - 1) / 60 * 10000000 + (minute - 1) % 60 * 100000 + 30000);
        t.last = scaled(b.close);
        t.open = scaled(d.bars.front().open);
        t.high = high;
        t.low = low;
        t.prev_close = 100000;
        t.limit_up = 110000;
        t.limit_down = 90000;
        t.volume = volume;
        t.total_turnover = std::llround(turnover);
        t.a1 = t.last + 100;
        t.a2 = t.last + 200;
        t.b1 = t.last - 100;
        t.b2 = t.last - 200;
        d.ticks.push_back(t);
    }
    return d;
}

void write_bars(const fs::path& path, const std::vector<std::pair<int, Day>>& days) {
    fs::create_directories(path.parent_path());
    std::vector<EquityBar> bars;
    std::vector<layout::IndexRecord> index;
    for (const auto& [day, d] : days) {
        if (d.bars.empty()) continue;  // a day of ticks only
        index.push_back({day, static_cast<std::uint32_t>(bars.size())});
        bars.insert(bars.end(), d.bars.begin(), d.bars.end());
    }
    h5::File file = h5::File::create(path.string());
    h5::DatasetOptions options;
    options.resizable = true;
    options.chunk_rows = 512;
    options.deflate_level = 6;
    file.create_dataset("data", layout::EQUITIES_DTYPE(), layout::equity_bar_memory_type().id(), bars.size(),
                        bars.data(), options);
    file.create_dataset("index", layout::INDEX_DTYPE(), layout::index_memory_type().id(), index.size(), index.data(),
                        options);
}

void write_ticks(const fs::path& path, const std::vector<std::pair<int, Day>>& days) {
    fs::create_directories(path.parent_path());
    h5::File file = h5::File::create(path.string());
    for (const auto& [day, d] : days) {
        h5::DatasetOptions options;
        options.chunk_rows = tick::chunk_rows(d.ticks.size(), sizeof(TickRecord));
        options.filters = {layout::COMPRESSION_KWARGS().filter()};
        file.create_dataset(tick::day_key(day), layout::H5TicksLoader::DTYPES(),
                            layout::H5TicksLoader::memory_type().id(), d.ticks.size(), d.ticks.data(), options);
    }
}

// One fault put into FAULT_DAY of the clean bundle, and what the audit must find: exactly these
// (kind, store) findings of ID on FAULT_DAY, nothing else.
struct Fault {
    std::string name;
    std::function<void(Day&)> inject;
    std::vector<std::pair<Kind, Store>> expected;
};

class Audit : public ::testing::TestWithParam<Fault> {
protected:
    // Writes the bundle with `inject` applied to FAULT_DAY and audits it.
    Report audited(const std::function<void(Day&)>& inject) {
        const fs::path bundle = root.path() / "bundle";
        fs::create_directories(bundle);
        test::write_calendar(bundle, DAYS);
        std::vector<std::pair<int, Day>> days;
        bar_days = 0;
        for (const int day : DAYS) {
            days.emplace_back(day, clean_day(day));
            if (day == FAULT_DAY) inject(days.back().second);
            bar_days += !days.back().second.bars.empty();
        }
        write_bars(bundle / "h5/equities" / (std::string(ID) + ".h5"), days);
        write_ticks(bundle / "ticks" / (std::string(ID) + ".h5"), days);
        return audit_bundle(root.str(), {1});
    }
    test::TempDir root;
    std::size_t bar_days = 0;
};

TEST_P(Audit, FindsEachInjectedFaultWithItsKindInstrumentAndDay) {
    const Fault& fault = GetParam();
    const Report report = audited(fault.inject);
    std::set<std::tuple<Kind, Store, std::string, int>> found, expected;
    for (const auto& f : report.findings) {
        found.emplace(f.kind, f.store, f.instrument, f.date);
        EXPECT_FALSE(f.reason.empty());
    }
    for (const auto& [kind, store] : fault.expected) expected.emplace(kind, store, ID, FAULT_DAY);
    EXPECT_EQ(found, expected);
    EXPECT_TRUE(report.skipped.empty());
    EXPECT_EQ(report.minbar_days, bar_days);
    EXPECT_EQ(report.tick_days, DAYS.size());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Audit,
    ::testing::Values(
        Fault{"clean", [](Day&) {}, {}},
        Fault{"thin_day",
              [](Day& d) {
                  d.bars.resize(120);
                  d.ticks.resize(120);
              },
              {{Kind::ThinDay, Store::Minbar}}},
        Fault{"repeated_time_stamp",
              [](Day& d) { d.bars[10].datetime = d.bars[9].datetime; },
              {{Kind::TimeOrder, Store::Minbar}}},
        Fault{"bars_out_of_order",
              [](Day& d) { std::swap(d.bars[10].datetime, d.bars[11].datetime); },
              {{Kind::TimeOrder, Store::Minbar}}},
        Fault{"bar_outside_session",
              [](Day& d) { d.bars[239].datetime += 100; },  // 15:01
              {{Kind::OutsideSession, Store::Minbar}}},
        Fault{"bar_of_another_day",
              [](Day& d) { d.bars[0].datetime -= 1000000; },  // the day before, 09:31
              {{Kind::OutsideSession, Store::Minbar}, {Kind::TimeOrder, Store::Minbar}}},
        Fault{"high_below_close",
              [](Day& d) { d.bars[5].high = d.bars[5].close - 0.005; },
              {{Kind::Ohlc, Store::Minbar}}},
        Fault{"price_not_positive", [](Day& d) { d.bars[7].open = 0; }, {{Kind::Ohlc, Store::Minbar}}},
        Fault{"negative_turnover",
              [](Day& d) { d.bars[3].total_turnover = -5; },
              {{Kind::NegativeVolume, Store::Minbar}}},
        Fault{"turnover_unexplained", [](Day& d) { d.bars[4].total_turnover *= 3; }, {{Kind::Turnover, Store::Minbar}}},
        Fault{"tick_past_limit",
              [](Day& d) { d.ticks[50].last = d.ticks[50].limit_up + 100; },
              {{Kind::Limit, Store::Tick}}},
        Fault{"bars_past_limit",
              [](Day& d) {
                  d.bars[8].high = 11.5;
                  d.ticks.back().high = 115000;
              },
              {{Kind::Limit, Store::Minbar}}},
        Fault{"cumulative_volume_falls",
              [](Day& d) { d.ticks[60].volume = d.ticks[59].volume - 1; },
              {{Kind::CumulativeFalls, Store::Tick}}},
        Fault{"ticks_out_of_order",
              [](Day& d) { std::swap(d.ticks[20].time, d.ticks[21].time); },
              {{Kind::TimeOrder, Store::Tick}}},
        Fault{"negative_tick_volume", [](Day& d) { d.ticks[0].volume = -1; }, {{Kind::NegativeVolume, Store::Tick}}},
        Fault{"bars_disagree_with_ticks",
              [](Day& d) { d.ticks.back().volume += 100; },
              {{Kind::MinuteVsTick, Store::Minbar}}},
        // One book level, as futures ticks often have: the empty levels hold 0 and show no step.
        Fault{"bars_disagree_with_one_level_ticks",
              [](Day& d) {
                  for (auto& t : d.ticks) t.a2 = t.b2 = 0;
                  d.ticks.back().high += 5000;
              },
              {{Kind::MinuteVsTick, Store::Minbar}}},
        Fault{"bar_stamped_at_the_opening", [](Day& d) { d.bars[0].datetime -= 100; },  // 09:30:00
              {{Kind::OutsideSession, Store::Minbar}}},
        Fault{"bar_without_trade_is_no_fault", [](Day& d) {
                  for (auto& t : std::span(d.ticks).subspan(30)) t.volume -= std::int64_t(d.bars[30].volume);
                  d.bars[30].volume = d.bars[30].total_turnover = 0; }, {}},
        Fault{"trades_at_the_limits_are_no_fault",
              [](Day& d) { d.ticks[50].last = d.ticks[50].limit_up; d.ticks[51].last = d.ticks[51].limit_down; }, {}},
        // The next day's bars hold the same volume: the ticks' differs, so comparing them shows.
        Fault{"ticks_of_a_day_without_bars_meet_no_other_day",
              [](Day& d) { d.bars.clear(); d.ticks.back().volume += 100; }, {}},
        Fault{"snapshot_before_the_first_trade_is_no_fault",
              [](Day& d) { d.ticks[0].last = d.ticks[0].volume = d.ticks[0].total_turnover = 0; },
              {}}),
    [](const ::testing::TestParamInfo<Fault>& info) { return info.param.name; });

// Days that are short by the exchange's rule are not thin: Hong Kong's half days, and a night
// group's days (judged by their day sessions) after a holiday without a night session. A bar
// stamped with no date is outside the sessions, not the end of the instrument's audit.
TEST(AuditRules, ShortDaysByRuleAreNotThinAndABadDateIsAFinding) {
    std::vector<Finding> found;
    // At most half of either measure is thin, each rule on its own (the usual day above the
    // sessions' minutes, and below them).
    const Sessions a_share = sessions_of("equities", ID);
    for (const auto& [bars, usual, reason] : std::vector<std::tuple<std::size_t, double, std::string>>{
             {150, 300, "150 bars, the instrument's usual day has 300"},
             {151, 300, ""},
             {120, 230, "120 bars, the sessions hold 240 minutes"},
             {121, 230, ""}}) {
        found.clear();
        thin_day(Subject{ID, &found}, FAULT_DAY, bars, usual, a_share);
        EXPECT_EQ(found.empty() ? "" : found[0].reason, reason) << bars << " of " << usual;
    }
    found.clear();
    const Subject hk{"00700.XHKG", &found};
    thin_day(hk, FAULT_DAY, 150, 330, sessions_of("equities", "00700.XHKG"));
    EXPECT_TRUE(found.empty());
    thin_day(hk, FAULT_DAY, 120, 330, sessions_of("equities", "00700.XHKG"));
    EXPECT_EQ(found.size(), 1u);
    EXPECT_TRUE(in_day_session(20261202090100));
    EXPECT_FALSE(in_day_session(20261201210100));
    EXPECT_FALSE(in_day_session(20261202023000));

    found.clear();
    const EquityBar bad{20261345213000, 1, 1, 1, 1, 1, 1};
    outside_session(Subject{"AU2612", &found}, FAULT_DAY, Bars(&bad, 1), sessions_of(layout::FUTURE_GROUP, "AU2612"),
                    true, {});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].kind, Kind::OutsideSession);

    // A low above the high: the turnover's range is shown low before high.
    found.clear();
    const EquityBar inverted{20261202101100, 1464, 1463.02, 1464.02, 1464, 100, 100 * 1500.0};
    turnover(Subject{"600519.XSHG", &found}, FAULT_DAY, Bars(&inverted, 1), 1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].reason.find("outside [1463.02, 1464.02]"), std::string::npos) << found[0].reason;
}

// The coverage page marks the month of a day with findings; the text and JSON views carry it.
TEST_F(Audit, ViewsAndCoveragePageShowTheFindings) {
    testing::internal::CaptureStderr();
    const Report report = audited([](Day& d) { d.bars[4].total_turnover *= 3; });
    EXPECT_NE(testing::internal::GetCapturedStderr().find("auditing 2/2"), std::string::npos);  // files, as read
    ASSERT_EQ(report.findings.size(), 1u);
    const auto json = json_view(report);
    EXPECT_NE(json.find("\"kind\": \"turnover\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"date\": 20261202"), std::string::npos) << json;
    EXPECT_NE(text_view(report, 0).find("turnover"), std::string::npos);

    host::set_clock(host::make_datetime(2026, 12, 4, 18, 0, 0));
    const auto status = status::bundle_status(root.str());
    host::set_clock(std::nullopt);
    const std::string path = report.minbar_paths.at(ID);
    const std::string clean = status::html_view(status, {});
    EXPECT_EQ(clean.find("class=\"finding\""), std::string::npos);
    const std::string page = status::html_view(status, {{path, {{FAULT_DAY, "turnover: too much"}}}});
    // Only a page without findings calls everything good; one file is "1 file".
    const std::string good = "<p class=\"good\">Everything is current and complete.</p>";
    EXPECT_NE(clean.find(good), std::string::npos);
    EXPECT_EQ(page.find(good), std::string::npos);
    EXPECT_NE(page.find("(1 file)"), std::string::npos);
    EXPECT_NE(page.find("class=\"finding\""), std::string::npos);
    EXPECT_NE(page.find("2026-12-02</b> turnover: too much"), std::string::npos);
}

// A tick member that is no day: a ".tmp-" day (dated by its day), a stray name (date 0).
TEST_F(Audit, NamesTickMembersThatAreNoDays) {
    audited([](Day&) {});
    {
        h5::File file = h5::File::open((root.path() / "bundle/ticks" / (std::string(ID) + ".h5")).string(),
                                       h5::File::Access::ReadWrite);
        const auto type = h5::DataType::copy(H5T_STD_I32LE);
        for (const std::string& name : {".tmp-" + tick::day_key(FAULT_DAY), std::string("notes")})
            file.create_dataset(name, type, H5T_NATIVE_INT32, 0, nullptr, {});
        file.commit();
    }
    const Report report = audit_bundle(root.str(), {1});
    std::set<std::tuple<Kind, Store, int>> found;
    for (const auto& f : report.findings) found.emplace(f.kind, f.store, f.date);
    EXPECT_EQ(found, (std::set<std::tuple<Kind, Store, int>>{{Kind::NonDayMember, Store::Tick, FAULT_DAY},
                                                             {Kind::NonDayMember, Store::Tick, 0}}));
    EXPECT_EQ(report.tick_days, DAYS.size());
}

// Read-only: a file left with an undo journal is read at its last committed state, and both
// stay as they were.
TEST_F(Audit, LeavesAnUnsettledFileAndItsJournalAlone) {
    audited([](Day&) {});
    const fs::path ticks = root.path() / "bundle/ticks" / (std::string(ID) + ".h5");
    const fs::path journal = ticks.string() + ".journal";
    test::write_bytes(journal, "undo");
    const auto before = fs::last_write_time(ticks);
    const Report report = audit_bundle(root.str(), {1});
    EXPECT_TRUE(report.skipped.empty());
    EXPECT_EQ(report.tick_days, DAYS.size());
    EXPECT_TRUE(report.findings.empty());
    EXPECT_TRUE(fs::exists(journal));
    EXPECT_EQ(fs::last_write_time(ticks), before);
}

// A clean bundle of the simulated market: stocks (one with suspensions), futures with their
// night session, each with minute bars and ticks that must agree.
TEST(AuditSimulated, CleanBundleHasNoFindings) {
    host::set_clock(host::make_datetime(2026, 12, 4, 18, 0, 0));
    auto previous = service::install(std::make_unique<service::SimulatedMarket>());
    test::TempDir root;
    fs::create_directories(root.path() / "bundle");
    test::write_calendar(root.path() / "bundle", service::current().get_trading_dates(20260101, 20261231));
    for (const char* id : {"000001.XSHE", "600519.XSHG", "IF2612", "CU2701"})
        minbar::_append_h5(id, layout::minbar_root(root.str()));
    for (const char* id : {"000001.XSHE", "000002.XSHE", "IF2612", "CU2701"})
        tick::_append_h5_tick(id, layout::tick_root(root.str()));
    const Report report = audit_bundle(root.str(), {2});
    service::install(std::move(previous));
    host::set_clock(std::nullopt);
    EXPECT_EQ(report.minbar_files, 4u);
    EXPECT_EQ(report.tick_files, 4u);
    EXPECT_GT(report.tick_days, 30u);
    EXPECT_GT(report.minbar_days, 100u);
    EXPECT_TRUE(report.clean()) << text_view(report, 20);
}

}  // namespace
}  // namespace tarnwick::bundle::audit
