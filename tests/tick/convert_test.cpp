// From the service's tick table to the records of tick days.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/tick/convert.hpp"
#include "tick/tick_fixtures.hpp"

namespace tarnwick::bundle::tick {
namespace {

using service::DateTime;
using test_support::at;
using test_support::ScriptedInstrument;

TEST(TickScaling, RoundsToTheNearestInteger) {
    // 0.29 * 10000 is 2899.9999999999995 in binary floating point.
    EXPECT_EQ(scaled_i8(0.29, 10000), 2900);
    EXPECT_EQ(scaled_i8(10.29, 10000), 102900);
    EXPECT_EQ(scaled_i8(-0.29, 10000), -2900);
    EXPECT_EQ(scaled_i8(2.5, 1), 3);
    EXPECT_EQ(scaled_i8(-2.5, 1), -3);
    EXPECT_EQ(scaled_i8(123456.49, 1), 123456);
    EXPECT_EQ(scaled_u4(93003500.0, 1), 93003500u);
}

TEST(TickScaling, NotANumberAndOutOfRangeStoreZero) {
    EXPECT_EQ(scaled_i8(std::numeric_limits<double>::quiet_NaN(), 10000), 0);
    EXPECT_EQ(scaled_i8(std::numeric_limits<double>::infinity(), 1), 0);
    EXPECT_EQ(scaled_i8(-std::numeric_limits<double>::infinity(), 1), 0);
    EXPECT_EQ(scaled_i8(1e300, 10000), 0);
    EXPECT_EQ(scaled_i8(9.3e18, 1), 0);
    EXPECT_EQ(scaled_i8(9.2e18, 1), 9200000000000000000);
    EXPECT_EQ(scaled_u4(std::numeric_limits<double>::quiet_NaN(), 1), 0u);
    EXPECT_EQ(scaled_u4(-1, 1), 0u);
    EXPECT_EQ(scaled_u4(5e9, 1), 0u);
}

TEST(ConvertTicks, LaterDuplicateSurvivesAndValuesAreScaled) {
    ScriptedInstrument ins;
    ins.trading_days = {20261116, 20261117};
    const auto days = convert_ticks(ins.ticks(20261116, 20261117));
    ASSERT_EQ(days.size(), 2u);
    for (const TickDay& day : days) {
        ASSERT_EQ(day.records.size(), 3u) << day.trading_date;
        const auto expected = ins.expected(day.trading_date);
        for (std::size_t k = 0; k < 3; ++k) EXPECT_TRUE(day.records[k] == expected[k]) << day.trading_date << " " << k;
    }
    EXPECT_EQ(days[0].trading_date, 20261116);
    EXPECT_EQ(days[0].records[1].time, 93003500u);
    EXPECT_EQ(days[0].records[1].last, 109500);  // 10.29 + 0.16 (day 16) + 0.5 (row 1)
    EXPECT_EQ(days[0].records[0].open_interest, 0);
}

TEST(ConvertTicks, DuplicatesApartInTheTableKeepTheLastAtItsOwnPlace) {
    const DateTime t1 = at(20261116, 9, 30, 0), t2 = at(20261116, 9, 30, 3);
    // Rows: t2(a), t1(b), t2(c): t2's last row is c, which stays after b.
    auto frame = service::make_frame("X", {t2, t1, t2}, {}, std::vector<DateTime>(3, at(20261116)));
    for (const auto& name : layout::H5TicksLoader::COLUMNS)
        if (name != "date" && name != "time" && name != "open_interest")
            frame.columns[std::string(name)] = {1.0, 2.0, 3.0};
    const auto days = convert_ticks(frame);
    ASSERT_EQ(days.size(), 1u);
    ASSERT_EQ(days[0].records.size(), 2u);
    EXPECT_EQ(days[0].records[0].volume, 2);
    EXPECT_EQ(days[0].records[0].time, 93000000u);
    EXPECT_EQ(days[0].records[1].volume, 3);
    EXPECT_EQ(days[0].records[1].last, 30000);
}

TEST(ConvertTicks, NightTicksBelongToTheirTradingDateButKeepTheirOwnDate) {
    // Friday 20 Nov evening ticks trade for Monday 23 Nov; the table lists them in time order.
    const std::vector<DateTime> times = {at(20261120, 14, 59, 0), at(20261120, 21, 0, 1), at(20261123, 9, 30, 0)};
    const std::vector<DateTime> trading = {at(20261120), at(20261123), at(20261123)};
    std::map<std::string, std::vector<double>> columns;
    for (const auto& name : layout::H5TicksLoader::COLUMNS)
        if (name != "date" && name != "time") columns[std::string(name)] = {1.0, 2.0, 3.0};
    const auto days = convert_ticks(service::make_frame("IF2612", times, columns, trading));
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].trading_date, 20261120);
    ASSERT_EQ(days[1].records.size(), 2u);
    EXPECT_EQ(days[1].trading_date, 20261123);
    EXPECT_EQ(days[1].records[0].date, 20261120u);
    EXPECT_EQ(days[1].records[0].time, 210001000u);
    EXPECT_EQ(days[1].records[0].open_interest, 2);
    EXPECT_EQ(days[1].records[1].date, 20261123u);
}

TEST(ConvertTicks, GroupsComeOutInAscendingTradingDate) {
    std::map<std::string, std::vector<double>> columns;
    for (const auto& name : layout::H5TicksLoader::COLUMNS)
        if (name != "date" && name != "time" && name != "open_interest") columns[std::string(name)] = {1.0, 2.0};
    const auto frame = service::make_frame("X", {at(20261117, 10), at(20261116, 10)}, columns,
                                           std::vector<DateTime>{at(20261117), at(20261116)});
    const auto days = convert_ticks(frame);
    ASSERT_EQ(days.size(), 2u);
    EXPECT_EQ(days[0].trading_date, 20261116);
    EXPECT_EQ(days[0].records[0].volume, 2);
    EXPECT_EQ(days[1].trading_date, 20261117);
}

TEST(ConvertTicks, MissingColumnsAreValueErrors) {
    ScriptedInstrument ins;
    ins.trading_days = {20261116};
    auto without_trading_date = ins.ticks(20261116, 20261116);
    without_trading_date.trading_date.reset();
    EXPECT_THROW(convert_ticks(without_trading_date), ValueError);

    auto without_b5 = ins.ticks(20261116, 20261116);
    without_b5.columns.erase("b5");
    try {
        convert_ticks(without_b5);
        FAIL() << "no error for a missing column";
    } catch (const ValueError& e) {
        EXPECT_NE(std::string(e.what()).find("b5"), std::string::npos) << e.what();
    }
}

TEST(ConvertTicks, EmptyTableGivesNoDays) { EXPECT_TRUE(convert_ticks(service::Frame{}).empty()); }

}  // namespace
}  // namespace tarnwick::bundle::tick
