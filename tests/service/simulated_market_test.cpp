#include "tarnwick/bundle/service/simulated_market.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::service {
namespace {

using host::make_datetime;

// Sets an environment variable for the life of the object and puts the old value back after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

PriceQuery query(std::string id, int from, int to, Frequency f, std::optional<std::string> market = std::nullopt) {
    return PriceQuery{std::move(id), from, to, f, "none", std::move(market)};
}

class SimulatedMarketTest : public ::testing::Test {
protected:
    void SetUp() override { host::set_clock(make_datetime(2026, 12, 7, 16, 0, 0)); }
    void TearDown() override { host::set_clock(std::nullopt); }

    std::optional<Frame> price(const std::string& id, int from, int to, Frequency f,
                               std::optional<std::string> market = std::nullopt) {
        return market_.get_price(query(id, from, to, f, std::move(market)));
    }

    SimulatedMarket market_{SimulatedMarket::Settings{}};
};

// Appends `part` to `whole` row by row, as a caller stitching partial answers would.
void append(Frame& whole, const Frame& part) {
    whole.order_book_id.insert(whole.order_book_id.end(), part.order_book_id.begin(), part.order_book_id.end());
    whole.timestamp.insert(whole.timestamp.end(), part.timestamp.begin(), part.timestamp.end());
    for (const auto& [name, values] : part.columns)
        whole.columns[name].insert(whole.columns[name].end(), values.begin(), values.end());
    if (part.trading_date) {
        if (!whole.trading_date) whole.trading_date.emplace();
        whole.trading_date->insert(whole.trading_date->end(), part.trading_date->begin(), part.trading_date->end());
    }
}

void expect_same(const Frame& a, const Frame& b) {
    ASSERT_EQ(a.rows(), b.rows());
    EXPECT_EQ(a.timestamp, b.timestamp);
    EXPECT_EQ(a.order_book_id, b.order_book_id);
    EXPECT_EQ(a.trading_date, b.trading_date);
    ASSERT_EQ(a.columns.size(), b.columns.size());
    for (const auto& [name, values] : a.columns) EXPECT_EQ(values, b.column(name)) << name;
}

// The same days asked for in ten pieces give the same rows as one query.
void expect_split_equals_whole(SimulatedMarket& m, const std::string& id, Frequency f, int from, int to) {
    const auto whole = m.get_price(query(id, from, to, f));
    ASSERT_TRUE(whole.has_value());
    const auto days = m.get_trading_dates(from, to);
    ASSERT_GE(days.size(), 10u);
    Frame stitched;
    const std::size_t step = (days.size() + 9) / 10;
    for (std::size_t i = 0; i < days.size(); i += step) {
        const int last = days[std::min(days.size(), i + step) - 1];
        if (auto part = m.get_price(query(id, days[i], last, f))) append(stitched, *part);
    }
    expect_same(*whole, stitched);
}

TEST_F(SimulatedMarketTest, MinuteBarsDoNotDependOnTheQueriedRange) {
    expect_split_equals_whole(market_, "000001.XSHE", Frequency::Minute, 20260901, 20261204);
    expect_split_equals_whole(market_, "IF2612", Frequency::Minute, 20260901, 20261204);
    expect_split_equals_whole(market_, "600519.XSHG", Frequency::Day, 20260901, 20261204);
}

TEST_F(SimulatedMarketTest, TicksDoNotDependOnTheQueriedRange) {
    expect_split_equals_whole(market_, "600000.XSHG", Frequency::Tick, 20261116, 20261204);
    expect_split_equals_whole(market_, "IH2612", Frequency::Tick, 20261116, 20261204);
}

TEST_F(SimulatedMarketTest, SameSeedSameDataOtherSeedOtherData) {
    SimulatedMarket twin{SimulatedMarket::Settings{}};
    SimulatedMarket::Settings other;
    other.seed = 2;
    SimulatedMarket reseeded{other};
    const PriceQuery q = query("000001.XSHE", 20261201, 20261204, Frequency::Minute);
    const auto a = market_.get_price(q), b = twin.get_price(q), c = reseeded.get_price(q);
    ASSERT_TRUE(a && b && c);
    expect_same(*a, *b);
    EXPECT_NE(a->column("close"), c->column("close"));
}

TEST_F(SimulatedMarketTest, StockMinuteBarsFollowTheSessionsAndPriceRules) {
    const auto f = price("000001.XSHE", 20261201, 20261201, Frequency::Minute);
    ASSERT_TRUE(f.has_value());
    ASSERT_EQ(f->rows(), 240u);
    EXPECT_EQ(f->timestamp.front(), make_datetime(2026, 12, 1, 9, 31));
    EXPECT_EQ(f->timestamp[119], make_datetime(2026, 12, 1, 11, 30));
    EXPECT_EQ(f->timestamp[120], make_datetime(2026, 12, 1, 13, 1));
    EXPECT_EQ(f->timestamp.back(), make_datetime(2026, 12, 1, 15, 0));
    EXPECT_FALSE(f->trading_date.has_value());
    EXPECT_FALSE(f->has("open_interest"));
    EXPECT_TRUE(std::all_of(f->order_book_id.begin(), f->order_book_id.end(),
                            [](const std::string& id) { return id == "000001.XSHE"; }));
    for (std::size_t i = 0; i < f->rows(); ++i) {
        const double o = f->column("open")[i], h = f->column("high")[i], l = f->column("low")[i],
                     c = f->column("close")[i];
        EXPECT_GE(h, std::max(o, c));
        EXPECT_LE(l, std::min(o, c));
        EXPECT_GT(l, 0.0);
        EXPECT_GT(f->column("volume")[i], 0.0);
        for (double p : {o, h, l, c}) EXPECT_DOUBLE_EQ(p, std::round(p * 100) / 100) << p;
        if (i > 0) {
            EXPECT_LT(f->timestamp[i - 1], f->timestamp[i]);
        }
    }
}

TEST_F(SimulatedMarketTest, DayBarAgreesWithItsMinuteBars) {
    for (const char* id : {"600519.XSHG", "IF2612"}) {
        const auto day = price(id, 20261203, 20261203, Frequency::Day);
        const auto bars = price(id, 20261203, 20261203, Frequency::Minute);
        ASSERT_TRUE(day && bars);
        ASSERT_EQ(day->rows(), 1u);
        EXPECT_EQ(day->timestamp[0], make_datetime(2026, 12, 3));
        const auto& high = bars->column("high");
        const auto& low = bars->column("low");
        const auto& volume = bars->column("volume");
        EXPECT_EQ(day->column("open")[0], bars->column("open").front()) << id;
        EXPECT_EQ(day->column("close")[0], bars->column("close").back()) << id;
        EXPECT_EQ(day->column("high")[0], *std::max_element(high.begin(), high.end())) << id;
        EXPECT_EQ(day->column("low")[0], *std::min_element(low.begin(), low.end())) << id;
        double total = 0;
        for (double v : volume) total += v;
        EXPECT_EQ(day->column("volume")[0], total) << id;
    }
}

TEST_F(SimulatedMarketTest, DerivativeBarsCarryNightSessionTradingDateAndInterest) {
    // Monday 7 December: the night session is Friday evening's.
    const auto f = price("IF2612", 20261207, 20261207, Frequency::Minute);
    ASSERT_TRUE(f.has_value());
    ASSERT_EQ(f->rows(), 345u);
    EXPECT_EQ(f->timestamp.front(), make_datetime(2026, 12, 4, 21, 1));
    EXPECT_EQ(f->timestamp[119], make_datetime(2026, 12, 4, 23, 0));
    EXPECT_EQ(f->timestamp[120], make_datetime(2026, 12, 7, 9, 1));
    EXPECT_EQ(f->timestamp.back(), make_datetime(2026, 12, 7, 15, 0));
    ASSERT_TRUE(f->trading_date.has_value());
    ASSERT_EQ(f->trading_date->size(), f->rows());
    for (const auto& d : *f->trading_date) EXPECT_EQ(d, make_datetime(2026, 12, 7));
    for (double oi : f->column("open_interest")) EXPECT_EQ(oi, std::floor(oi));
    for (double p : f->column("close")) EXPECT_NEAR(std::remainder(p, 0.2), 0.0, 1e-9) << p;
    EXPECT_TRUE(std::is_sorted(f->timestamp.begin(), f->timestamp.end()));

    const auto copper = price("CU2701", 20261207, 20261207, Frequency::Minute);
    ASSERT_TRUE(copper.has_value());
    for (double p : copper->column("low")) EXPECT_EQ(std::fmod(p, 10.0), 0.0) << p;
    const auto opt = price("10008001", 20261207, 20261207, Frequency::Minute);
    ASSERT_TRUE(opt.has_value());
    EXPECT_TRUE(opt->has("open_interest"));
    for (double p : opt->column("high")) EXPECT_NEAR(p * 10000, std::round(p * 10000), 1e-6) << p;
}

TEST_F(SimulatedMarketTest, DayAppearsAtFifteenHundredNotBefore) {
    host::set_clock(make_datetime(2026, 12, 4, 14, 59, 59));
    for (Frequency f : {Frequency::Day, Frequency::Minute, Frequency::Tick}) {
        const auto before = price("000001.XSHE", 20261202, 20261204, f);
        ASSERT_TRUE(before.has_value());
        EXPECT_EQ(host::date_to_number(before->timestamp.back()), 20261203);
    }
    EXPECT_FALSE(price("000001.XSHE", 20261204, 20261204, Frequency::Minute).has_value());

    host::set_clock(make_datetime(2026, 12, 4, 15, 0, 0));
    const auto after = price("000001.XSHE", 20261204, 20261204, Frequency::Minute);
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->rows(), 240u);
    EXPECT_TRUE(price("000001.XSHE", 20261204, 20261204, Frequency::Tick).has_value());
    EXPECT_TRUE(price("000001.XSHE", 20261204, 20261204, Frequency::Day).has_value());
}

TEST_F(SimulatedMarketTest, NightSessionWaitsForItsTradingDay) {
    // Friday 23:30: the night bars have happened but belong to Monday.
    host::set_clock(make_datetime(2026, 12, 4, 23, 30, 0));
    EXPECT_FALSE(price("IF2612", 20261207, 20261207, Frequency::Minute).has_value());
    const auto friday = price("IF2612", 20261204, 20261207, Frequency::Minute);
    ASSERT_TRUE(friday.has_value());
    EXPECT_EQ(friday->timestamp.back(), make_datetime(2026, 12, 4, 15, 0));
}

TEST_F(SimulatedMarketTest, CalendarSkipsWeekendsAndHolidays) {
    const auto days = market_.get_trading_dates(20260101, 20261231);
    ASSERT_FALSE(days.empty());
    for (int d : days) {
        const int wd = host::weekday(d), md = d % 10000;
        EXPECT_TRUE(wd != 0 && wd != 6) << d;
        EXPECT_NE(md, 101) << d;
        EXPECT_FALSE(md >= 501 && md <= 505) << d;
        EXPECT_FALSE(md >= 1001 && md <= 1007) << d;
        EXPECT_FALSE(d >= 20260216 && d <= 20260222) << d;  // Spring Festival 2026
    }
    EXPECT_EQ(days.front(), 20260102);
    EXPECT_EQ(market_.get_next_trading_date(20260930, "cn"), 20261008);
    EXPECT_EQ(market_.get_next_trading_date(20261204, "cn"), 20261207);
    EXPECT_EQ(market_.get_next_trading_date(20261231, "cn"), 20270104);
    EXPECT_EQ(market_.get_trading_dates(20261205, 20261206), std::vector<int>{});
    EXPECT_THROW(market_.get_trading_dates(20261332, 20261401), ValueError);

    const auto f = price("600000.XSHG", 20260925, 20261012, Frequency::Day);
    ASSERT_TRUE(f.has_value());
    std::vector<int> got;
    for (const auto& t : f->timestamp) got.push_back(host::date_to_number(t));
    EXPECT_EQ(got, (std::vector<int>{20260925, 20260928, 20260929, 20260930, 20261008, 20261009, 20261012}));
}

TEST_F(SimulatedMarketTest, BeijingStocksListedOnlyWhileEnabledButServedWhenNamed) {
    auto has_bjse = [](const Listing& l) {
        return std::any_of(l.begin(), l.end(), [](const ListingRow& r) { return r.order_book_id == "430047.BJSE"; });
    };
    EXPECT_FALSE(market_.bjse_enabled());
    EXPECT_FALSE(has_bjse(market_.all_instruments()));
    EXPECT_FALSE(has_bjse(market_.all_instruments("CS")));
    EXPECT_FALSE(has_bjse(market_.all_instruments_on("CS", make_datetime(2026, 12, 1))));
    // A query naming the stock is served with the setting off: the incremental update extends
    // existing files of the exchange that way.
    EXPECT_NE(market_.instruments("830799.BJSE", std::nullopt).single(), nullptr);
    EXPECT_TRUE(price("430047.BJSE", 20261201, 20261204, Frequency::Day).has_value());
    EXPECT_FALSE(market_.is_suspended("430047.BJSE", 20261201, 20261204).empty());

    market_.init(true);
    EXPECT_TRUE(market_.bjse_enabled());
    EXPECT_TRUE(has_bjse(market_.all_instruments()));
    EXPECT_TRUE(has_bjse(market_.all_instruments("CS")));
    EXPECT_TRUE(has_bjse(market_.all_instruments_on("CS", make_datetime(2026, 12, 1))));
    EXPECT_NE(market_.instruments("830799.BJSE", "cn").single(), nullptr);
    EXPECT_TRUE(price("430047.BJSE", 20261201, 20261204, Frequency::Day).has_value());

    market_.init(false);
    EXPECT_FALSE(has_bjse(market_.all_instruments()));
    EXPECT_TRUE(price("430047.BJSE", 20261201, 20261204, Frequency::Minute).has_value());
}

TEST_F(SimulatedMarketTest, HongKongStocksNeedTheHongKongMarket) {
    EXPECT_TRUE(market_.instruments("00700.XHKG", std::nullopt).is_none());
    EXPECT_TRUE(market_.instruments("00700.XHKG", "cn").is_none());
    EXPECT_NE(market_.instruments("00700.XHKG", "hk").single(), nullptr);
    EXPECT_TRUE(market_.instruments("000001.XSHE", "hk").is_none());
    EXPECT_TRUE(market_.instruments("000001.XSHE", std::nullopt).single());
    EXPECT_TRUE(market_.instruments("NOPE.XSHE", std::nullopt).is_none());

    EXPECT_EQ(market_.all_instruments_hk("CS").size(), 2u);
    for (const auto& row : market_.all_instruments()) EXPECT_NE(row.exchange, "XHKG") << row.order_book_id;

    EXPECT_FALSE(price("00700.XHKG", 20261201, 20261204, Frequency::Minute).has_value());
    EXPECT_FALSE(price("00700.XHKG", 20261201, 20261204, Frequency::Minute, "cn").has_value());
    const auto bars = price("09988.XHKG", 20261201, 20261204, Frequency::Minute, "hk");
    ASSERT_TRUE(bars.has_value());
    EXPECT_EQ(bars->rows(), 4u * 240u);
    EXPECT_FALSE(price("000001.XSHE", 20261201, 20261204, Frequency::Minute, "hk").has_value());
}

TEST_F(SimulatedMarketTest, LookupShapes) {
    const auto reused = market_.instruments("601313.XSHG", std::nullopt);
    ASSERT_NE(reused.list(), nullptr);
    ASSERT_EQ(reused.list()->size(), 2u);
    std::set<std::string> ends;
    for (const auto& r : *reused.list()) ends.insert(r.de_listed_date);
    EXPECT_EQ(ends, (std::set<std::string>{"2016-03-01", "0000-00-00"}));

    EXPECT_TRUE(market_.convertible_instruments({"000001.XSHE", "NOPE"}).is_none());
    const auto one = market_.convertible_instruments({"113050.XSHG", "000001.XSHE"});
    ASSERT_NE(one.single(), nullptr);
    EXPECT_EQ(one.single()->stock_code, "600000.XSHG");
    const auto two = market_.convertible_instruments({"113050.XSHG", "128041.XSHE"});
    ASSERT_NE(two.list(), nullptr);
    EXPECT_EQ(two.list()->size(), 2u);

    const auto futures = market_.all_instruments("Future");
    const auto ih =
        std::find_if(futures.begin(), futures.end(), [](const ListingRow& r) { return r.order_book_id == "IH2701"; });
    ASSERT_NE(ih, futures.end());
    EXPECT_EQ(ih->underlying_symbol, "IH");
    EXPECT_EQ(ih->underlying_order_book_id, "000016.XSHG");
    for (const auto& r : market_.all_instruments("Option")) EXPECT_FALSE(r.underlying_order_book_id.empty());
}

TEST_F(SimulatedMarketTest, DelistedInstrumentsStopAtTheirDelistingDate) {
    const auto tanker = price("600087.XSHG", 20261001, 20261204, Frequency::Minute);
    ASSERT_TRUE(tanker.has_value());
    EXPECT_EQ(host::date_to_number(tanker->timestamp.back()), 20261015);
    const auto expired = price("IF2611", 20261101, 20261204, Frequency::Day);
    ASSERT_TRUE(expired.has_value());
    EXPECT_EQ(host::date_to_number(expired->timestamp.back()), 20261120);
    EXPECT_FALSE(price("000003.XSHE", 20260901, 20261204, Frequency::Day).has_value());
    EXPECT_EQ(market_.instruments("600087.XSHG", std::nullopt).single()->de_listed_date, "2026-10-15");

    auto listed = [&](const std::string& id, int day) {
        const auto l = market_.all_instruments_on("Future", host::date_from_number(day));
        return std::any_of(l.begin(), l.end(), [&](const ListingRow& r) { return r.order_book_id == id; });
    };
    EXPECT_TRUE(listed("IF2611", 20261120));
    EXPECT_FALSE(listed("IF2611", 20261123));
    EXPECT_TRUE(listed("IF2612", 20261123));
}

TEST_F(SimulatedMarketTest, SuspendedDaysHaveNoDataAndAreReported) {
    const auto f = price("000002.XSHE", 20261019, 20261026, Frequency::Minute);
    ASSERT_TRUE(f.has_value());
    std::set<int> days;
    for (const auto& t : f->timestamp) days.insert(host::date_to_number(t));
    EXPECT_EQ(days, (std::set<int>{20261019, 20261026}));
    EXPECT_FALSE(price("000002.XSHE", 20261124, 20261125, Frequency::Tick).has_value());

    const auto table = market_.is_suspended("000002.XSHE", 20261116, 20261130);
    const auto trading = market_.get_trading_dates(20261116, 20261130);
    ASSERT_EQ(table.size(), trading.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(table[i].date, trading[i]);
        EXPECT_EQ(table[i].suspended, table[i].date == 20261124 || table[i].date == 20261125) << table[i].date;
    }
    for (const auto& row : market_.is_suspended("000001.XSHE", 20261019, 20261023)) EXPECT_FALSE(row.suspended);
}

TEST_F(SimulatedMarketTest, StockTicksHaveDuplicatesButNoOpenInterest) {
    const auto f = price("000001.XSHE", 20261116, 20261204, Frequency::Tick);
    ASSERT_TRUE(f.has_value());
    EXPECT_FALSE(f->has("open_interest"));
    ASSERT_TRUE(f->trading_date.has_value());
    for (const char* col : {"open", "last", "high", "low", "prev_close", "limit_up", "limit_down", "volume",
                            "total_turnover", "a1", "a5", "a1_v", "b5_v"})
        EXPECT_TRUE(f->has(col)) << col;
    EXPECT_TRUE(std::is_sorted(f->timestamp.begin(), f->timestamp.end()));
    EXPECT_EQ(host::date_to_number(f->timestamp.front()), 20261116);
    EXPECT_GE(f->timestamp.front(), make_datetime(2026, 11, 16, 9, 30));

    std::size_t duplicates = 0;
    const auto& last = f->column("last");
    const auto& volume = f->column("volume");
    for (std::size_t i = 1; i < f->rows(); ++i) {
        if (f->timestamp[i] == f->timestamp[i - 1]) {
            ++duplicates;
            EXPECT_NE(last[i], last[i - 1]);
        }
        if (f->trading_date->at(i) == f->trading_date->at(i - 1)) {
            EXPECT_GE(volume[i], volume[i - 1]);
        }
        EXPECT_LT(f->column("b1")[i], f->column("a1")[i]);
        EXPECT_DOUBLE_EQ(last[i], std::round(last[i] * 100) / 100);
    }
    EXPECT_GT(duplicates, 0u);
    EXPECT_LT(duplicates, f->rows() / 100);

    EXPECT_FALSE(price("000001.XSHE", 20261110, 20261113, Frequency::Tick).has_value());
}

TEST_F(SimulatedMarketTest, FutureTicksIncludeTheNightBeforeAndOpenInterest) {
    const auto f = price("IF2612", 20261207, 20261207, Frequency::Tick);
    ASSERT_TRUE(f.has_value());
    ASSERT_TRUE(f->has("open_interest"));
    EXPECT_GE(f->timestamp.front(), make_datetime(2026, 12, 4, 21, 0));
    EXPECT_LT(f->timestamp.front(), make_datetime(2026, 12, 4, 21, 0, 1));
    EXPECT_LT(f->timestamp.back(), make_datetime(2026, 12, 7, 15, 0));
    for (const auto& d : *f->trading_date) ASSERT_EQ(d, make_datetime(2026, 12, 7));
    for (double oi : f->column("open_interest")) EXPECT_EQ(oi, std::floor(oi));
}

// Minute bars and ticks of one instrument and day describe the same trading: the ticks are
// snapshots (cumulative volume and turnover of the day, running day high and low), the bars what
// traded in each minute. A bundle built from both must not contradict itself.
struct AgreementCase {
    const char* id;
    int day;
    double multiplier;  // turnover per unit of price and volume
    bool night;         // futures and options: night session and the futures day sessions
    const char* market = "cn";
};

void PrintTo(const AgreementCase& c, std::ostream* os) { *os << c.id << " on " << c.day; }

class BarsAndTicksAgreeTest : public SimulatedMarketTest, public ::testing::WithParamInterface<AgreementCase> {};

// Whether a bar stamped `minute` (minutes after midnight) ends a minute of the instrument's sessions.
bool in_sessions(int minute, bool night) {
    const auto within = [&](int from, int to) { return minute > from && minute <= to; };
    if (!night) return within(9 * 60 + 30, 11 * 60 + 30) || within(13 * 60, 15 * 60);
    return within(21 * 60, 23 * 60) || within(9 * 60, 10 * 60 + 15) || within(10 * 60 + 30, 11 * 60 + 30) ||
           within(13 * 60 + 30, 15 * 60);
}

long long cents(double money) { return std::llround(money * 100); }

TEST_P(BarsAndTicksAgreeTest, OnVolumeTurnoverHighAndLowOfTheDayAndOfEachMinute) {
    const AgreementCase c = GetParam();
    const auto bars = price(c.id, c.day, c.day, Frequency::Minute, std::string(c.market));
    const auto ticks = price(c.id, c.day, c.day, Frequency::Tick, std::string(c.market));
    ASSERT_TRUE(bars && ticks);
    const auto &open = bars->column("open"), &high = bars->column("high"), &low = bars->column("low"),
               &close = bars->column("close"), &volume = bars->column("volume"),
               &turnover = bars->column("total_turnover");

    // The bars: inside the sessions, in order, consistent, and a price inside each bar explains
    // its turnover.
    std::map<host::DateTime, std::size_t> bar_at;
    double day_volume = 0;
    long long day_cents = 0;
    for (std::size_t i = 0; i < bars->rows(); ++i) {
        const auto t = bars->timestamp[i];
        const auto midnight = std::chrono::floor<std::chrono::days>(t);
        EXPECT_TRUE(in_sessions(
            static_cast<int>(std::chrono::duration_cast<std::chrono::minutes>(t - midnight).count()), c.night))
            << i;
        if (i > 0) {
            EXPECT_LT(bars->timestamp[i - 1], t);
        }
        bar_at[t] = i;
        EXPECT_GT(low[i], 0.0) << i;
        EXPECT_LE(low[i], std::min(open[i], close[i])) << i;
        EXPECT_GE(high[i], std::max(open[i], close[i])) << i;
        EXPECT_GT(volume[i], 0.0) << i;
        // Turnover is rounded to the cent.
        EXPECT_GE(turnover[i], low[i] * volume[i] * c.multiplier - 0.01) << i;
        EXPECT_LE(turnover[i], high[i] * volume[i] * c.multiplier + 0.01) << i;
        day_volume += volume[i];
        day_cents += cents(turnover[i]);
    }

    // The ticks: cumulative values never fall, prices stay inside the day's limits, and the day's
    // totals at the last snapshot are the bars' totals.
    const auto &last = ticks->column("last"), &tick_high = ticks->column("high"), &tick_low = ticks->column("low"),
               &tick_volume = ticks->column("volume"), &tick_turnover = ticks->column("total_turnover"),
               &limit_up = ticks->column("limit_up"), &limit_down = ticks->column("limit_down"),
               &a1 = ticks->column("a1"), &b1 = ticks->column("b1");
    const std::size_t n = ticks->rows();
    for (std::size_t r = 0; r < n; ++r) {
        EXPECT_LE(tick_low[r], last[r]) << r;
        EXPECT_GE(tick_high[r], last[r]) << r;
        EXPECT_GE(tick_low[r], limit_down[r]) << r;
        EXPECT_LE(tick_high[r], limit_up[r]) << r;
        EXPECT_LT(b1[r], a1[r]) << r;
        EXPECT_GE(b1[r], limit_down[r]) << r;
        EXPECT_LE(a1[r], limit_up[r]) << r;
        if (r == 0) continue;
        EXPECT_LE(ticks->timestamp[r - 1], ticks->timestamp[r]) << r;
        EXPECT_GE(tick_volume[r], tick_volume[r - 1]) << r;
        EXPECT_GE(tick_turnover[r], tick_turnover[r - 1]) << r;
        EXPECT_GE(tick_high[r], tick_high[r - 1]) << r;
        EXPECT_LE(tick_low[r], tick_low[r - 1]) << r;
    }
    EXPECT_EQ(tick_volume[n - 1], day_volume);
    EXPECT_EQ(cents(tick_turnover[n - 1]), day_cents);
    EXPECT_EQ(tick_high[n - 1], *std::max_element(high.begin(), high.end()));
    EXPECT_EQ(tick_low[n - 1], *std::min_element(low.begin(), low.end()));

    // Minute by minute: the snapshots a store keeps (the last of equal time stamps) of the minute
    // ending at a bar's stamp open at its open, close at its close, reach its high and its low,
    // and add its volume and turnover.
    struct Minute {
        double first = 0, last = 0, high = 0, low = 1e300, volume = 0, turnover = 0;
        std::size_t snapshots = 0;
    };
    std::vector<Minute> minutes(bars->rows());
    for (std::size_t r = 0; r < n; ++r) {
        if (r + 1 < n && ticks->timestamp[r + 1] == ticks->timestamp[r]) continue;
        const auto stamp = std::chrono::floor<std::chrono::minutes>(ticks->timestamp[r]) + std::chrono::minutes{1};
        const auto found = bar_at.find(stamp);
        ASSERT_NE(found, bar_at.end()) << "tick " << r << " in no bar's minute";
        Minute& m = minutes[found->second];
        if (m.snapshots++ == 0) m.first = last[r];
        m.last = last[r];
        m.high = std::max(m.high, last[r]);
        m.low = std::min(m.low, last[r]);
        m.volume = tick_volume[r];
        m.turnover = tick_turnover[r];
    }
    double volume_before = 0, turnover_before = 0;
    for (std::size_t i = 0; i < bars->rows(); ++i) {
        const Minute& m = minutes[i];
        ASSERT_GT(m.snapshots, 0u) << "bar " << i << " without ticks";
        EXPECT_EQ(m.first, open[i]) << i;
        EXPECT_EQ(m.last, close[i]) << i;
        EXPECT_EQ(m.high, high[i]) << i;
        EXPECT_EQ(m.low, low[i]) << i;
        EXPECT_EQ(m.volume - volume_before, volume[i]) << i;
        EXPECT_EQ(cents(m.turnover) - cents(turnover_before), cents(turnover[i])) << i;
        volume_before = m.volume;
        turnover_before = m.turnover;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Instruments, BarsAndTicksAgreeTest,
    ::testing::Values(AgreementCase{"000001.XSHE", 20261204, 1, false},
                      AgreementCase{"600519.XSHG", 20261116, 1, false},
                      AgreementCase{"510050.XSHG", 20261201, 1, false},  // ETF: a price grid of 0.001
                      AgreementCase{"113050.XSHG", 20261202, 1, false},  // convertible: lots of 10
                      AgreementCase{"09988.XHKG", 20261203, 1, false, "hk"},
                      AgreementCase{"IF2612", 20261207, 300, true},       // night session on Friday evening
                      AgreementCase{"CU2701", 20261203, 5, true},         // price grid of 10
                      AgreementCase{"10008001", 20261130, 10000, true}),  // option: price grid of 0.0001
    [](const auto& info) {
        std::string name = std::string(info.param.id) + "_" + std::to_string(info.param.day);
        std::replace_if(
            name.begin(), name.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
        return name;
    });

TEST_F(SimulatedMarketTest, SettingsComeFromTheEnvironment) {
    ScopedEnv stocks("TARNWICK_SIM_STOCKS", "3");
    ScopedEnv first("TARNWICK_SIM_FIRST_DATE", "20261102");
    ScopedEnv seed("TARNWICK_SIM_SEED", "77");
    SimulatedMarket m;
    EXPECT_EQ(m.settings().seed, 77u);
    const auto cs = m.all_instruments("CS");
    std::vector<std::string> generated;
    for (const auto& r : cs)
        if (r.order_book_id.rfind("610000", 0) == 0 || r.order_book_id.rfind("010000", 0) == 0 ||
            r.order_book_id.rfind("610001", 0) == 0)
            generated.push_back(r.order_book_id);
    EXPECT_EQ(generated, (std::vector<std::string>{"610000.XSHG", "010000.XSHE", "610001.XSHG"}));
    EXPECT_EQ(cs.size(), SimulatedMarket(SimulatedMarket::Settings{}).all_instruments("CS").size() + 3);
    const auto bars = m.get_price(query("010000.XSHE", 20261001, 20261104, Frequency::Day));
    ASSERT_TRUE(bars.has_value());
    EXPECT_EQ(host::date_to_number(bars->timestamp.front()), 20261102);
}

TEST_F(SimulatedMarketTest, BadSettingsNameTheVariable) {
    for (auto [name, value] :
         {std::pair{"TARNWICK_SIM_SEED", "-1"}, std::pair{"TARNWICK_SIM_STOCKS", "lots"},
          std::pair{"TARNWICK_SIM_FIRST_DATE", "20261340"}, std::pair{"TARNWICK_SIM_TICK_FIRST_DATE", "2026-11-16"},
          std::pair{"TARNWICK_SIM_DENY", "000001.XSHE,,600000.XSHG"}}) {
        ScopedEnv bad(name, value);
        try {
            SimulatedMarket m;
            ADD_FAILURE() << name << "=" << value << " was accepted";
        } catch (const ValueError& e) {
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
    }
}

TEST_F(SimulatedMarketTest, DeniedInstrumentsThrowPermissionDenied) {
    {
        ScopedEnv deny("TARNWICK_SIM_DENY", "000001.XSHE, IF2612");
        SimulatedMarket m;
        EXPECT_THROW(m.get_price(query("000001.XSHE", 20261201, 20261204, Frequency::Day)), PermissionDenied);
        EXPECT_THROW(m.get_price(query("IF2612", 20261201, 20261204, Frequency::Tick)), PermissionDenied);
        EXPECT_THROW(m.probe_price("IF2612"), PermissionDenied);
        EXPECT_NO_THROW(m.probe_price("600000.XSHG"));
        EXPECT_TRUE(m.get_price(query("600000.XSHG", 20261201, 20261204, Frequency::Day)).has_value());
        EXPECT_NO_THROW(m.all_instruments());
    }
    ScopedEnv deny("TARNWICK_SIM_DENY", "*");
    SimulatedMarket m;
    EXPECT_THROW(m.probe_price("600000.XSHG"), PermissionDenied);
    EXPECT_THROW(m.get_price(query("510050.XSHG", 20261201, 20261204, Frequency::Minute)), PermissionDenied);
}

TEST(FrameTest, MissingColumnIsAValueErrorNamingIt) {
    Frame f;
    f.columns["close"] = {1.0};
    EXPECT_EQ(f.column("close"), std::vector<double>{1.0});
    try {
        f.column("open_interest");
        ADD_FAILURE() << "no error";
    } catch (const ValueError& e) {
        EXPECT_NE(std::string(e.what()).find("open_interest"), std::string::npos);
    }
}

}  // namespace
}  // namespace tarnwick::bundle::service
