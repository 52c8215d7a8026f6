// The updater converts a tick table one trading day at a time into a reused buffer; the days it
// sees must be exactly those of the whole conversion, in ascending order.
#include <gtest/gtest.h>

#include <cstring>

#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/tick/convert.hpp"
#include "tick/tick_fixtures.hpp"

namespace tarnwick::bundle::tick {
namespace {

using service::DateTime;
using test_support::at;
using test_support::ScriptedInstrument;

std::vector<TickDay> by_day(const service::Frame& frame) {
    std::vector<TickDay> seen;
    for_each_tick_day(frame, [&](const TickDay& day) { seen.push_back(day); });
    return seen;
}

bool same_days(const std::vector<TickDay>& a, const std::vector<TickDay>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t d = 0; d < a.size(); ++d)
        if (a[d].trading_date != b[d].trading_date || a[d].records.size() != b[d].records.size() ||
            std::memcmp(a[d].records.data(), b[d].records.data(), a[d].records.size() * sizeof(layout::TickRecord)) !=
                0)
            return false;
    return true;
}

TEST(ConvertTicksByDay, SeesTheDaysOfTheWholeConversionInOrder) {
    // Night-session futures (evening ticks belong to the next trading day) and a stock.
    service::SimulatedMarket market(service::SimulatedMarket::Settings{});
    host::set_clock(host::make_datetime(2026, 11, 20, 18, 0));
    for (const char* id : {"IF2612", "000001.XSHE"}) {
        SCOPED_TRACE(id);
        service::PriceQuery query;
        query.order_book_id = id;
        query.start_date = 20261116;
        query.end_date = 20261120;
        query.frequency = service::Frequency::Tick;
        const auto frame = market.get_price(query);
        ASSERT_TRUE(frame);
        const auto whole = convert_ticks(*frame);
        const auto seen = by_day(*frame);
        EXPECT_GE(seen.size(), 4u);
        EXPECT_TRUE(same_days(seen, whole));
        for (std::size_t d = 1; d < seen.size(); ++d) EXPECT_LT(seen[d - 1].trading_date, seen[d].trading_date);
    }
    host::set_clock(std::nullopt);
}

TEST(ConvertTicksByDay, TradingDatesOutOfOrderAreGroupedAscending) {
    // Rows of the 17th before rows of the 16th, and the 16th's rows split in two runs.
    const DateTime a = at(20261116, 9, 30, 0), b = at(20261116, 9, 30, 3), c = at(20261117, 9, 30, 0);
    auto frame = service::make_frame("X", {c, a, c + std::chrono::seconds(3), b}, {},
                                     std::vector<DateTime>{at(20261117), at(20261116), at(20261117), at(20261116)});
    ScriptedInstrument ins;
    ins.trading_days = {20261116};
    const auto sample = ins.ticks(20261116, 20261116);
    ASSERT_FALSE(sample.empty());
    for (const auto& [name, values] : sample.columns) frame.columns[name] = std::vector<double>(4, values.front());
    const auto seen = by_day(frame);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].trading_date, 20261116);
    EXPECT_EQ(seen[1].trading_date, 20261117);
    ASSERT_EQ(seen[0].records.size(), 2u);
    EXPECT_EQ(seen[0].records[0].time, 93000000u);
    EXPECT_EQ(seen[0].records[1].time, 93003000u);
    ASSERT_EQ(seen[1].records.size(), 2u);
    EXPECT_EQ(seen[1].records[1].time, 93003000u);
    EXPECT_TRUE(same_days(seen, convert_ticks(frame)));
    EXPECT_TRUE(by_day(service::Frame{}).empty());
}

}  // namespace
}  // namespace tarnwick::bundle::tick
