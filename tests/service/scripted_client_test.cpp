#include "tarnwick/bundle/service/scripted_client.hpp"

#include <stdexcept>

#include <gtest/gtest.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace tarnwick::bundle::service {
namespace {

using host::make_datetime;

std::vector<std::string> rendered(const ScriptedClient& c) {
    std::vector<std::string> out;
    for (const auto& call : c.calls) out.push_back(call.operation + "(" + call.args + ")");
    return out;
}

TEST(ScriptedClientTest, RecordsEveryCallWithReadableArguments) {
    ScriptedClient c;
    c.init(true);
    c.all_instruments();
    c.all_instruments("Future");
    c.all_instruments_hk("CS");
    c.all_instruments_on("ETF", make_datetime(2026, 11, 16, 10, 0));
    c.instruments("000001.XSHE", "cn");
    c.instruments("IF2612", std::nullopt);
    c.convertible_instruments({"113050.XSHG", "128041.XSHE"});
    c.get_price({"IF2612", 20261116, 20261120, Frequency::Minute, "none", "cn"});
    c.probe_price("600000.XSHG");
    c.get_next_trading_date(20261120, "cn");
    c.is_suspended("000002.XSHE", 20261116, 20261120);
    c.get_trading_dates(20261116, 20261120);
    c.bjse_enabled();
    EXPECT_EQ(rendered(c), (std::vector<std::string>{
                               "init(enable_bjse=true)",
                               "all_instruments()",
                               "all_instruments(Future)",
                               "all_instruments(CS market=hk)",
                               "all_instruments(ETF date=2026-11-16)",
                               "instruments(000001.XSHE market=cn)",
                               "instruments(IF2612)",
                               "convertible_instruments(113050.XSHG,128041.XSHE)",
                               "get_price(IF2612 start_date=20261116 end_date=20261120 frequency=1m "
                               "adjust_type=none market=cn)",
                               "probe_price(600000.XSHG)",
                               "get_next_trading_date(20261120 market=cn)",
                               "is_suspended(000002.XSHE start_date=20261116 end_date=20261120)",
                               "get_trading_dates(start_date=20261116 end_date=20261120)",
                               "bjse_enabled()",
                           }));
    EXPECT_EQ(c.count("all_instruments"), 4u);
    EXPECT_EQ(c.count("get_price"), 1u);
    EXPECT_EQ(c.count("nothing"), 0u);
}

TEST(ScriptedClientTest, DefaultsAreEmptyAnswersAndAWeekdayCalendar) {
    ScriptedClient c;
    EXPECT_TRUE(c.all_instruments().empty());
    EXPECT_TRUE(c.all_instruments("CS").empty());
    EXPECT_TRUE(c.instruments("000001.XSHE", std::nullopt).is_none());
    EXPECT_TRUE(c.convertible_instruments({"113050.XSHG"}).is_none());
    EXPECT_FALSE(c.get_price({"000001.XSHE", 20261116, 20261120, Frequency::Day, "none", std::nullopt}).has_value());
    EXPECT_NO_THROW(c.probe_price("000001.XSHE"));
    EXPECT_TRUE(c.is_suspended("000001.XSHE", 20261116, 20261120).empty());
    EXPECT_EQ(c.get_next_trading_date(20261120, "cn"), 20261123);  // Friday -> Monday
    EXPECT_EQ(c.get_next_trading_date(20261123, "cn"), 20261124);
    EXPECT_EQ(c.get_trading_dates(20261219, 20261229),
              (std::vector<int>{20261221, 20261222, 20261223, 20261224, 20261225, 20261228, 20261229}));
    EXPECT_FALSE(c.bjse_enabled());
}

TEST(ScriptedClientTest, HandlersReceiveArgumentsAndShapeAnswers) {
    ScriptedClient c;
    PriceQuery seen;
    c.on_get_price = [&](const PriceQuery& q) -> std::optional<Frame> {
        seen = q;
        return make_frame(q.order_book_id, {make_datetime(2026, 11, 16, 9, 31)}, {{"close", {10.29}}});
    };
    c.on_instruments = [](const std::string& id, const std::optional<std::string>& market) {
        InstrumentLookup l;
        if (market == std::optional<std::string>("hk")) {
            Instrument hk;
            hk.order_book_id = id;
            hk.type = "CS";
            hk.exchange = "XHKG";
            l.value = hk;
        }
        return l;
    };
    c.on_next_trading_date = [](int date, const std::string&) { return date + 7; };
    const auto f = c.get_price({"600000.XSHG", 20261116, 20261117, Frequency::Tick, "none", "cn"});
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->order_book_id, std::vector<std::string>{"600000.XSHG"});
    EXPECT_EQ(f->column("close"), std::vector<double>{10.29});
    EXPECT_EQ(seen.frequency, Frequency::Tick);
    EXPECT_EQ(seen.end_date, 20261117);
    EXPECT_TRUE(c.instruments("00700.XHKG", std::nullopt).is_none());
    ASSERT_NE(c.instruments("00700.XHKG", "hk").single(), nullptr);
    EXPECT_EQ(c.get_next_trading_date(20261116, "cn"), 20261123);
}

TEST(ScriptedClientTest, InitSetsBjseUnlessOverridden) {
    ScriptedClient c;
    bool told = false;
    c.on_init = [&](bool enable) { told = enable; };
    c.init(true);
    EXPECT_TRUE(told);
    EXPECT_TRUE(c.bjse);
    EXPECT_TRUE(c.bjse_enabled());
    c.on_bjse_enabled = [] { return false; };
    EXPECT_FALSE(c.bjse_enabled());
    c.init(false);
    EXPECT_FALSE(c.bjse);
}

TEST(ScriptedClientTest, FailThrowsAfterSkippedCallsAndKeepsThrowing) {
    ScriptedClient c;
    c.fail("get_price", std::make_exception_ptr(PermissionDenied("denied")), 2);
    const PriceQuery q{"000001.XSHE", 20261116, 20261116, Frequency::Day, "none", std::nullopt};
    EXPECT_NO_THROW(c.get_price(q));
    EXPECT_NO_THROW(c.get_price(q));
    EXPECT_THROW(c.get_price(q), PermissionDenied);
    EXPECT_THROW(c.get_price(q), PermissionDenied);
    EXPECT_EQ(c.count("get_price"), 4u);  // failed calls are recorded too
    EXPECT_NO_THROW(c.probe_price("000001.XSHE"));

    c.fail("get_price", nullptr);
    EXPECT_NO_THROW(c.get_price(q));
}

TEST(ScriptedClientTest, FailCountsFromWhenItIsSet) {
    ScriptedClient c;
    c.get_trading_dates(20261116, 20261120);
    c.get_trading_dates(20261116, 20261120);
    c.fail("get_trading_dates", std::make_exception_ptr(OsError(OsError::Kind::Other, 0, "network")), 1);
    EXPECT_NO_THROW(c.get_trading_dates(20261116, 20261120));
    EXPECT_THROW(c.get_trading_dates(20261116, 20261120), OsError);
}

TEST(ScriptedClientTest, AllInstrumentsFailureCoversEveryOverload) {
    ScriptedClient c;
    c.fail("all_instruments", std::make_exception_ptr(std::runtime_error("down")));
    EXPECT_THROW(c.all_instruments(), std::runtime_error);
    EXPECT_THROW(c.all_instruments("CS"), std::runtime_error);
    EXPECT_THROW(c.all_instruments_hk("CS"), std::runtime_error);
    EXPECT_THROW(c.all_instruments_on("CS", make_datetime(2026, 11, 16)), std::runtime_error);
    EXPECT_EQ(c.count("all_instruments"), 4u);
    EXPECT_THROW(c.fail("all_instrument", std::make_exception_ptr(std::runtime_error("typo"))), std::invalid_argument);
}

TEST(ScriptedClientTest, MakeFrameChecksColumnLengths) {
    const std::vector<DateTime> times{make_datetime(2026, 11, 16, 9, 31), make_datetime(2026, 11, 16, 9, 32)};
    const Frame f = make_frame("IF2612", times, {{"close", {1.0, 2.0}}, {"open_interest", {5, 6}}},
                               std::vector<DateTime>(2, make_datetime(2026, 11, 16)));
    EXPECT_EQ(f.rows(), 2u);
    EXPECT_EQ(f.order_book_id, (std::vector<std::string>{"IF2612", "IF2612"}));
    EXPECT_TRUE(f.has("open_interest"));
    ASSERT_TRUE(f.trading_date.has_value());
    EXPECT_THROW(make_frame("IF2612", times, {{"close", {1.0}}}), ValueError);
    EXPECT_THROW(make_frame("IF2612", times, {}, std::vector<DateTime>(1)), ValueError);
}

TEST(CurrentClientTest, InstallReplacesAndLazyDefaultIsTheSimulatedMarket) {
    auto scripted = std::make_unique<ScriptedClient>();
    ScriptedClient* raw = scripted.get();
    auto previous = install(std::move(scripted));
    EXPECT_EQ(&current(), raw);
    current().probe_price("000001.XSHE");
    EXPECT_EQ(raw->count("probe_price"), 1u);

    auto mine = install(nullptr);
    EXPECT_EQ(mine.get(), raw);
    EXPECT_NE(dynamic_cast<SimulatedMarket*>(&current()), nullptr);
    install(std::move(previous));
}

}  // namespace
}  // namespace tarnwick::bundle::service
