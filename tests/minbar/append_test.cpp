// The minute-bar file update: which file an instrument gets, what is fetched for it, how a
// file is created, repaired and extended, and how failures are reported.
#include "tarnwick/bundle/minbar/append.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "minbar/minbar_files.hpp"
#include "support/child_process.hpp"
#include "support/scoped_client.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/instrument_type.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/service/errors.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace tarnwick::bundle::minbar {
namespace {

namespace fs = std::filesystem;
namespace IT = host::INSTRUMENT_TYPE;
using host::DateTime;
using layout::DerivativeBar;
using layout::EquityBar;
using layout::IndexRecord;
using service::InstrumentLookup;
using test::read_store;
using test::Store;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kPermissionText = "失败，请检查文件的权限以及是否被其他进程占用";
const std::string kDamagedText = "失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令";

// Minute bars that a scripted service hands out for one made-up instrument, every weekday from
// `first_day` on (the scripted client's calendar is plain weekdays too). Equities trade at 09:31,
// 10:00 and 15:00; derivatives trade 21:01 and 21:02 on the evening of the previous weekday and
// 09:01 and 15:00 on the day, with the trading date in a column of its own.
struct FakeBars {
    std::string id;
    bool derivative = false;
    bool trading_date_column = true;  // derivatives only
    int first_day = 20261102;

    struct Row {
        DateTime time;
        int trading_date;
        int k;  // row within the trading day
    };

    static bool trading(int d) {
        const int w = host::weekday(d);
        return w != 0 && w != 6;
    }
    static int previous_trading(int d) {
        do d = host::add_days(d, -1);
        while (!trading(d));
        return d;
    }
    static DateTime at_minute(int d, int minute) { return host::date_from_number(d) + std::chrono::minutes{minute}; }

    std::vector<Row> rows(int start, int end) const {
        std::vector<Row> out;
        for (int d = std::max(start, first_day); d <= end; d = host::add_days(d, 1)) {
            if (!trading(d)) continue;
            int k = 0;
            if (derivative) {
                const int eve = previous_trading(d);
                for (int minute : {21 * 60 + 1, 21 * 60 + 2}) out.push_back({at_minute(eve, minute), d, k++});
                for (int minute : {9 * 60 + 1, 15 * 60}) out.push_back({at_minute(d, minute), d, k++});
            } else {
                for (int minute : {9 * 60 + 31, 10 * 60, 15 * 60}) out.push_back({at_minute(d, minute), d, k++});
            }
        }
        return out;
    }

    static double price(const Row& r) { return (r.trading_date % 10000) + 0.01 * r.k; }
    static double volume(const Row& r) { return 100.0 * (r.k + 1); }
    // Beyond 2^32, so a narrowing conversion anywhere shows.
    static double open_interest(const Row& r) { return 5000000000.0 + (r.trading_date % 10000) * 10 + r.k; }

    std::optional<service::Frame> frame(const service::PriceQuery& q) const {
        const std::vector<Row> rs = rows(q.start_date, q.end_date);
        if (rs.empty()) return std::nullopt;
        std::vector<DateTime> times, trading_dates;
        std::map<std::string, std::vector<double>> columns;
        for (const Row& r : rs) {
            times.push_back(r.time);
            trading_dates.push_back(host::date_from_number(r.trading_date));
            const double p = price(r);
            columns["open"].push_back(p);
            columns["high"].push_back(p + 0.5);
            columns["low"].push_back(p - 0.5);
            columns["close"].push_back(p + 0.25);
            columns["volume"].push_back(volume(r));
            columns["total_turnover"].push_back(volume(r) * p);
            if (derivative) columns["open_interest"].push_back(open_interest(r));
        }
        std::optional<std::vector<DateTime>> td;
        if (derivative && trading_date_column) td = trading_dates;
        return service::make_frame(id, times, columns, td);
    }

    template <class Bar>
    std::vector<Bar> bars(int start, int end) const {
        std::vector<Bar> out;
        for (const Row& r : rows(start, end)) {
            Bar b{};
            b.datetime = host::convert_dt_to_int(r.time);
            b.open = price(r);
            b.high = price(r) + 0.5;
            b.low = price(r) - 0.5;
            b.close = price(r) + 0.25;
            b.volume = volume(r);
            b.total_turnover = volume(r) * price(r);
            if constexpr (std::is_same_v<Bar, DerivativeBar>)
                b.open_interest = static_cast<std::int64_t>(open_interest(r));
            out.push_back(b);
        }
        return out;
    }

    // The first row of each trading date (of each calendar date when the service sends no
    // trading dates), numbered from the start of the range.
    std::vector<IndexRecord> index(int start, int end) const {
        std::vector<IndexRecord> out;
        std::set<int> seen;
        const std::vector<Row> rs = rows(start, end);
        for (std::size_t row = 0; row < rs.size(); ++row) {
            const int day =
                (derivative && trading_date_column) ? rs[row].trading_date : host::date_to_number(rs[row].time);
            if (seen.insert(day).second) out.push_back({day, static_cast<std::uint32_t>(row)});
        }
        return out;
    }
};

service::Instrument record(const std::string& id, const std::string& type, const std::string& de_listed_date) {
    service::Instrument i;
    i.order_book_id = id;
    i.type = type;
    i.de_listed_date = de_listed_date;
    return i;
}

class AppendH5Test : public test::ScriptedClientFixture {
protected:
    void SetUp() override {
        ScriptedClientFixture::SetUp();
        host::process_init(std::make_shared<host::SharedFlag>(true));
        previous_observer_ = host::system_log().observe([this](const std::string& level, const std::string& text) {
            if (level == "error") errors_.push_back(text);
        });
        clock(2026, 11, 20, 18, 0);
        client().on_instruments = [this](const std::string& id, const std::optional<std::string>&) {
            const auto it = lookups_.find(id);
            return it == lookups_.end() ? InstrumentLookup{} : it->second;
        };
        client().on_get_price = [this](const service::PriceQuery& q) -> std::optional<service::Frame> {
            const auto it = bars_.find(q.order_book_id);
            if (it == bars_.end()) return std::nullopt;
            return it->second.frame(q);
        };
    }
    void TearDown() override {
        host::system_log().observe(std::move(previous_observer_));
        host::set_clock(std::nullopt);
        host::process_init(nullptr);
        ScriptedClientFixture::TearDown();
    }

    static void clock(int y, int mo, int d, int h, int mi, int s = 0, int us = 0) {
        host::set_clock(host::make_datetime(y, mo, d, h, mi, s, us));
    }

    // One listed (or delisted) instrument whose bars come from `bars`.
    FakeBars& listed(const std::string& id, const std::string& type, const std::string& de_listed_date = "0000-00-00") {
        lookups_[id] = InstrumentLookup{record(id, type, de_listed_date)};
        FakeBars& b = bars_[id];
        b.id = id;
        b.derivative = type == IT::FUTURE || type == IT::OPTION;
        return b;
    }

    std::vector<std::string> args_of(const std::string& operation) {
        std::vector<std::string> out;
        for (const auto& call : client().calls)
            if (call.operation == operation) out.push_back(call.args);
        return out;
    }
    std::string price_call(const std::string& id, int start, int end, const std::string& market = "cn") const {
        return id + " start_date=" + std::to_string(start) + " end_date=" + std::to_string(end) +
               " frequency=1m adjust_type=none market=" + market;
    }

    fs::path file_of(const std::string& group, const std::string& id) const {
        return fs::path(root_) / group / (id + ".h5");
    }
    static bool flag() { return host::sval().value(); }

    test::TempDir tmp_;
    const std::string root_ = (tmp_ / "h5").string();
    std::map<std::string, InstrumentLookup> lookups_;
    std::map<std::string, FakeBars> bars_;
    std::vector<std::string> errors_;

private:
    host::SystemLog::Observer previous_observer_;
};

// ---- Where the file goes -------------------------------------------------------------------

TEST_F(AppendH5Test, MissingFileWithBarsIsCreatedWithBothDatasetsInEquitiesLayout) {
    const FakeBars& bars = listed("600000.XSHG", IT::CS);
    _append_h5("600000.XSHG", root_);

    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("600000.XSHG", 20050104, 20261120)));
    const fs::path file = file_of("equities", "600000.XSHG");
    const auto store = read_store<EquityBar>(file);
    EXPECT_THAT(store.members, ElementsAre("data", "index"));
    EXPECT_EQ(store.data, bars.bars<EquityBar>(20050104, 20261120));
    EXPECT_EQ(store.index, bars.index(20050104, 20261120));
    ASSERT_EQ(store.index.size(), 15u);  // 2 to 20 November, weekdays
    EXPECT_EQ(store.index.back(), (IndexRecord{20261120, 42}));

    const h5::File f = h5::File::open(file.string(), h5::File::Access::ReadOnly);
    EXPECT_TRUE(f.open_dataset("data").file_type().equals(layout::EQUITIES_DTYPE().id()));
    EXPECT_TRUE(f.open_dataset("index").file_type().equals(layout::INDEX_DTYPE().id()));
    EXPECT_THAT(test::entries(file.parent_path()), ElementsAre("600000.XSHG.h5"));
    EXPECT_TRUE(flag());
    EXPECT_THAT(errors_, IsEmpty());
}

TEST_F(AppendH5Test, FuturesAndOptionsGetDerivativesLayoutAndNightBarsJoinTheNextTradingDay) {
    for (auto [id, type, group] :
         {std::tuple{"IF2612", IT::FUTURE, "future"}, std::tuple{"IO2612-C-4000", IT::OPTION, "option"}}) {
        SCOPED_TRACE(id);
        const FakeBars& bars = listed(id, type);
        _append_h5(id, root_);
        const fs::path file = file_of(group, id);
        const auto store = read_store<DerivativeBar>(file);
        EXPECT_THAT(store.members, ElementsAre("data", "index"));
        EXPECT_EQ(store.data, bars.bars<DerivativeBar>(20050104, 20261120));
        EXPECT_EQ(store.index, bars.index(20050104, 20261120));
        // Monday 2 November opens with Friday evening's night bars.
        ASSERT_GE(store.data.size(), 4u);
        EXPECT_EQ(store.data.front().datetime, 20261030210100);
        EXPECT_EQ(store.index.front(), (IndexRecord{20261102, 0}));
        EXPECT_EQ(store.index[1], (IndexRecord{20261103, 4}));
        EXPECT_EQ(store.data.front().open_interest, 5000000000 + 1102 * 10);
        const h5::File f = h5::File::open(file.string(), h5::File::Access::ReadOnly);
        EXPECT_TRUE(f.open_dataset("data").file_type().equals(layout::DERIVATIVES_DTYPE().id()));
    }
    EXPECT_FALSE(fs::exists(fs::path(root_) / "equities"));
    EXPECT_TRUE(flag());
}

class AppendH5GroupTest : public AppendH5Test,
                          public ::testing::WithParamInterface<std::pair<std::string, std::string>> {};

TEST_P(AppendH5GroupTest, TypeChoosesTheGroupDirectory) {
    const auto& [type, group] = GetParam();
    listed("X1", type);
    _append_h5("X1", root_);
    EXPECT_THAT(test::entries(root_), ElementsAre(group));
    EXPECT_THAT(test::entries(fs::path(root_) / group), ElementsAre("X1.h5"));
    const h5::File f = h5::File::open(file_of(group, "X1").string(), h5::File::Access::ReadOnly);
    const auto expected = group == "equities" ? layout::EQUITIES_DTYPE() : layout::DERIVATIVES_DTYPE();
    EXPECT_TRUE(f.open_dataset("data").file_type().equals(expected.id()));
}

INSTANTIATE_TEST_SUITE_P(Types, AppendH5GroupTest,
                         ::testing::Values(std::pair{IT::CS, "equities"}, std::pair{IT::ETF, "equities"},
                                           std::pair{IT::LOF, "equities"}, std::pair{IT::INDX, "equities"},
                                           std::pair{IT::CONVERTIBLE, "equities"}, std::pair{IT::REITs, "equities"},
                                           std::pair{IT::FUTURE, "future"}, std::pair{IT::OPTION, "option"}));

TEST_F(AppendH5Test, OtherTypesLeaveNoDirectoryAndNoFile) {
    for (const std::string type : {"Spot", "Repo", "FenjiA", ""}) {
        SCOPED_TRACE(type);
        listed("X1", type);
        _append_h5("X1", root_);
        EXPECT_FALSE(fs::exists(root_));
    }
    EXPECT_THAT(args_of("get_price"), IsEmpty());
    EXPECT_TRUE(flag());
}

TEST_F(AppendH5Test, ExplicitFileNameReplacesTheDefaultUnlessEmpty) {
    listed("600000.XSHG", IT::CS);
    _append_h5("600000.XSHG", root_, std::string("spd.h5"));
    _append_h5("600000.XSHG", root_, std::string());
    EXPECT_THAT(test::entries(fs::path(root_) / "equities"), ElementsAre("600000.XSHG.h5", "spd.h5"));
}

// ---- Market and look-up ----------------------------------------------------------------------

TEST_F(AppendH5Test, HongKongIdentifierUsesMarketHkForEveryServiceCall) {
    const FakeBars& bars = listed("00700.XHKG", IT::CS);
    _append_h5("00700.XHKG", root_);
    clock(2026, 11, 24, 18, 0);
    _append_h5("00700.XHKG", root_);

    EXPECT_THAT(args_of("instruments"), ElementsAre("00700.XHKG market=hk", "00700.XHKG market=hk"));
    EXPECT_THAT(args_of("get_next_trading_date"), ElementsAre("20261120 market=hk"));
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("00700.XHKG", 20050104, 20261120, "hk"),
                                                  price_call("00700.XHKG", 20261123, 20261124, "hk")));
    EXPECT_EQ(read_store<EquityBar>(file_of("equities", "00700.XHKG")).data, bars.bars<EquityBar>(20050104, 20261124));
}

TEST_F(AppendH5Test, OtherIdentifiersUseMarketCn) {
    listed("600000.XSHG", IT::CS);
    listed("XHKG.XSHE", IT::CS);  // "XHKG" elsewhere than at the end does not make it Hong Kong
    for (const std::string id : {"600000.XSHG", "XHKG.XSHE"}) {
        _append_h5(id, root_);
        clock(2026, 11, 24, 18, 0);
        _append_h5(id, root_);
        clock(2026, 11, 20, 18, 0);
    }
    for (const auto& call : client().calls) EXPECT_THAT(call.args, ::testing::HasSubstr("market=cn")) << call.operation;
    EXPECT_EQ(args_of("get_next_trading_date").size(), 2u);
}

TEST_F(AppendH5Test, ListWithOneListedEntryCountsAsListed) {
    listed("601313.XSHG", IT::CS);
    lookups_["601313.XSHG"] = InstrumentLookup{std::vector<service::Instrument>{
        record("601313.XSHG", IT::CS, "2016-03-01"), record("601313.XSHG", IT::CS, "0000-00-00"),
        record("601313.XSHG", IT::CS, "2019-05-06")}};
    _append_h5("601313.XSHG", root_);
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("601313.XSHG", 20050104, 20261120)));
}

TEST_F(AppendH5Test, ListOfDelistedEntriesUsesTheLatestDateAndTheFirstEntrysType) {
    FakeBars& bars = listed("X1", IT::FUTURE);
    bars.first_day = 20160222;
    lookups_["X1"] = InstrumentLookup{std::vector<service::Instrument>{record("X1", IT::FUTURE, "2012-06-01"),
                                                                       record("X1", IT::CS, "2016-03-01"),
                                                                       record("X1", IT::CS, "2010-01-04")}};
    _append_h5("X1", root_);
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("X1", 20050104, 20160301)));
    const auto store = read_store<DerivativeBar>(file_of("future", "X1"));
    EXPECT_EQ(store.data, bars.bars<DerivativeBar>(20160222, 20160301));
}

TEST_F(AppendH5Test, EmptyListFailsBeforeAnythingIsTouched) {
    listed("X1", IT::CS);
    lookups_["X1"] = InstrumentLookup{std::vector<service::Instrument>{}};
    EXPECT_ANY_THROW(_append_h5("X1", root_));
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_THAT(args_of("get_price"), IsEmpty());
    EXPECT_TRUE(flag());
    EXPECT_THAT(errors_, IsEmpty());
}

TEST_F(AppendH5Test, UnknownInstrumentIsAValueErrorAndLeavesTheFlagAlone) {
    try {
        _append_h5("999999.XSHG", root_);
        ADD_FAILURE() << "no error";
    } catch (const ValueError& e) {
        EXPECT_STREQ(e.what(), "标的 999999.XSHG 不存在");
    }
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_THAT(args_of("get_price"), IsEmpty());
    EXPECT_TRUE(flag());
    EXPECT_THAT(errors_, IsEmpty());
}

// ---- Delisting -------------------------------------------------------------------------------

TEST_F(AppendH5Test, DelistedBeforeTheFirstBundleDayIsSkipped) {
    std::vector<std::string> said;
    const auto previous = host::system_log().observe(
        [&said](const std::string&, const std::string& text) { said.push_back(text); });
    for (const std::string date : {"2005-01-03", "1999-12-31"}) {
        listed("000003.XSHE", IT::CS, date);
        _append_h5("000003.XSHE", root_);
    }
    host::system_log().observe(previous);
    ASSERT_EQ(said.size(), 2u) << "one line each saying why no file is made";
    EXPECT_NE(said[1].find("000003.XSHE: delisted on 19991231, before 20050104"), std::string::npos) << said[1];
    EXPECT_FALSE(fs::exists(root_));
    EXPECT_THAT(args_of("get_price"), IsEmpty());
    EXPECT_TRUE(flag());
}

TEST_F(AppendH5Test, DelistedOnTheFirstBundleDayIsProcessed) {
    FakeBars& bars = listed("X1", IT::CS, "2005-01-04");
    bars.first_day = 20050103;
    _append_h5("X1", root_);
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("X1", 20050104, 20050104)));
    EXPECT_EQ(read_store<EquityBar>(file_of("equities", "X1")).index, (std::vector<IndexRecord>{{20050104, 0}}));
}

TEST_F(AppendH5Test, DelistedAndCompleteFileIsOpenedButNothingIsFetched) {
    const FakeBars& bars = listed("600087.XSHG", IT::CS, "2026-11-18");
    _append_h5("600087.XSHG", root_);
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("600087.XSHG", 20050104, 20261118)));
    client().calls.clear();

    clock(2026, 11, 27, 18, 0);
    _append_h5("600087.XSHG", root_);
    EXPECT_THAT(args_of("get_price"), IsEmpty());
    EXPECT_THAT(args_of("get_next_trading_date"), IsEmpty());
    EXPECT_EQ(read_store<EquityBar>(file_of("equities", "600087.XSHG")).data, bars.bars<EquityBar>(20050104, 20261118));
    EXPECT_TRUE(flag());

    // The file is opened all the same: one held by another process fails the update.
    const std::string file = file_of("equities", "600087.XSHG").string();
    test::ChildProcess holder([&](test::ChildProcess& self) {
        h5::File held = h5::File::open(file, h5::File::Access::ReadWrite);
        self.ready();
        pause();
        return 0;
    });
    ASSERT_TRUE(holder.wait_ready());
    _append_h5("600087.XSHG", root_);
    EXPECT_FALSE(flag());
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_TRUE(errors_[0].starts_with("更新 " + file + " " + kPermissionText + "\n")) << errors_[0];
}

TEST_F(AppendH5Test, DelistedInstrumentStillBeingFilledFetchesUpToItsDelistingDate) {
    const FakeBars& bars = listed("600087.XSHG", IT::CS, "2026-11-18");
    clock(2026, 11, 16, 18, 0);
    _append_h5("600087.XSHG", root_);
    clock(2026, 11, 25, 18, 0);
    _append_h5("600087.XSHG", root_);
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("600087.XSHG", 20050104, 20261116),
                                                  price_call("600087.XSHG", 20261117, 20261118)));
    EXPECT_EQ(read_store<EquityBar>(file_of("equities", "600087.XSHG")).data, bars.bars<EquityBar>(20050104, 20261118));
}

// ---- Creation ------------------------------------------------------------------------------

TEST_F(AppendH5Test, MissingFileWithoutBarsCreatesNoFile) {
    listed("600000.XSHG", IT::CS);
    bars_.erase("600000.XSHG");  // get_price gives none
    _append_h5("600000.XSHG", root_);
    EXPECT_THAT(test::entries(fs::path(root_) / "equities"), IsEmpty());

    // An empty table counts as no bars too.
    client().on_get_price = [](const service::PriceQuery& q) -> std::optional<service::Frame> {
        return service::make_frame(q.order_book_id, {}, {{"open", {}}, {"close", {}}});
    };
    _append_h5("600000.XSHG", root_);
    EXPECT_THAT(test::entries(fs::path(root_) / "equities"), IsEmpty());
    EXPECT_EQ(args_of("get_price").size(), 2u);
    EXPECT_TRUE(flag());
}

TEST_F(AppendH5Test, NewFileStartsAtMinStartDate) {
    const FakeBars& bars = listed("600000.XSHG", IT::CS);
    _append_h5("600000.XSHG", root_, std::nullopt, 20261110);
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("600000.XSHG", 20261110, 20261120)));
    const auto store = read_store<EquityBar>(file_of("equities", "600000.XSHG"));
    EXPECT_EQ(store.data, bars.bars<EquityBar>(20261110, 20261120));
    EXPECT_EQ(store.index, bars.index(20261110, 20261120));
}

TEST_F(AppendH5Test, FileWithDataButNoIndexIsRebuiltFromMinStartDate) {
    const FakeBars& bars = listed("600000.XSHG", IT::CS);
    fs::create_directories(fs::path(root_) / "equities");
    const fs::path file = file_of("equities", "600000.XSHG");
    const std::vector<EquityBar> stale = {{20200102093100, 1, 1, 1, 1, 1, 1}, {20200102093200, 2, 2, 2, 2, 2, 2}};
    test::write_store<EquityBar>(file, stale, nullptr);

    _append_h5("600000.XSHG", root_, std::nullopt, 20261109);
    EXPECT_THAT(args_of("get_next_trading_date"), IsEmpty());
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("600000.XSHG", 20261109, 20261120)));
    const auto store = read_store<EquityBar>(file);
    EXPECT_THAT(store.members, ElementsAre("data", "index"));
    EXPECT_EQ(store.data, bars.bars<EquityBar>(20261109, 20261120));
    EXPECT_EQ(store.index, bars.index(20261109, 20261120));
    EXPECT_TRUE(flag());
}

TEST_F(AppendH5Test, FileWithDataButNoIndexIsLeftEmptyWhenTheRebuildFetchesNothing) {
    listed("600000.XSHG", IT::CS);
    bars_.erase("600000.XSHG");
    fs::create_directories(fs::path(root_) / "equities");
    const fs::path file = file_of("equities", "600000.XSHG");
    test::write_store<EquityBar>(file, {{20200102093100, 1, 1, 1, 1, 1, 1}}, nullptr);

    _append_h5("600000.XSHG", root_);
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("600000.XSHG", 20050104, 20261120)));
    ASSERT_TRUE(fs::exists(file));
    EXPECT_THAT(read_store<EquityBar>(file).members, IsEmpty());
    EXPECT_TRUE(flag());
    EXPECT_THAT(errors_, IsEmpty());
}

TEST_F(AppendH5Test, RebuildOfAMissingFileCreatesItFromMinStartDate) {
    const FakeBars& bars = listed("600000.XSHG", IT::CS);
    _append_h5("600000.XSHG", root_, std::nullopt, layout::MIN_START_DATE, true);
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("600000.XSHG", 20050104, 20261120)));
    EXPECT_EQ(read_store<EquityBar>(file_of("equities", "600000.XSHG")).data, bars.bars<EquityBar>(20050104, 20261120));
    EXPECT_TRUE(flag());
}

TEST_F(AppendH5Test, RebuildReplacesAnExistingFileWhateverItHolds) {
    const FakeBars& bars = listed("600000.XSHG", IT::CS);
    fs::create_directories(fs::path(root_) / "equities");
    const fs::path file = file_of("equities", "600000.XSHG");
    const std::vector<EquityBar> stale = {{20261119093100, 1, 1, 1, 1, 1, 1}};
    const std::vector<IndexRecord> stale_index = {{20261119, 0}};
    test::write_store<EquityBar>(file, stale, &stale_index);

    _append_h5("600000.XSHG", root_, std::nullopt, 20261116, true);
    EXPECT_THAT(args_of("get_next_trading_date"), IsEmpty());
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("600000.XSHG", 20261116, 20261120)));
    const auto store = read_store<EquityBar>(file);
    EXPECT_EQ(store.data, bars.bars<EquityBar>(20261116, 20261120));
    EXPECT_EQ(store.index, bars.index(20261116, 20261120));
}

// The new file replaces the old one only once complete: a refused fetch (before the new file is
// begun) or bars that cannot be converted leave the old file byte for byte.
TEST_F(AppendH5Test, FailedRebuildLeavesTheOldFileAsItWas) {
    listed("600000.XSHG", IT::CS);
    fs::create_directories(fs::path(root_) / "equities");
    const fs::path file = file_of("equities", "600000.XSHG");
    const std::vector<IndexRecord> index = {{20261119, 0}};
    test::write_store<EquityBar>(file, {{20261119093100, 1, 1, 1, 1, 1, 1}}, &index);
    const auto bytes = [&] {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string before = bytes();
    client().fail("get_price", std::make_exception_ptr(service::PermissionDenied("no")));
    EXPECT_THROW(_append_h5("600000.XSHG", root_, std::nullopt, 20261116, true), service::PermissionDenied);
    EXPECT_TRUE(bytes() == before);
    client().fail("get_price", nullptr);
    client().on_get_price = [](const service::PriceQuery& q) -> std::optional<service::Frame> {
        return service::make_frame(q.order_book_id, {host::make_datetime(2026, 11, 20, 9, 31)}, {{"open", {1.0}}});
    };
    EXPECT_ANY_THROW(_append_h5("600000.XSHG", root_, std::nullopt, 20261116, true));
    EXPECT_TRUE(bytes() == before);
    EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
}

// ---- Append --------------------------------------------------------------------------------

TEST_F(AppendH5Test, AppendStartsTheDayAfterTheLastStoredDayAndContinuesTheLineNumbers) {
    const FakeBars& bars = listed("600000.XSHG", IT::CS);
    clock(2026, 11, 18, 18, 0);
    _append_h5("600000.XSHG", root_);
    const fs::path file = file_of("equities", "600000.XSHG");
    const std::size_t old_rows = read_store<EquityBar>(file).data.size();
    ASSERT_EQ(old_rows, 39u);

    clock(2026, 11, 20, 18, 0);
    _append_h5("600000.XSHG", root_);
    EXPECT_THAT(args_of("get_next_trading_date"), ElementsAre("20261118 market=cn"));
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("600000.XSHG", 20050104, 20261118),
                                                  price_call("600000.XSHG", 20261119, 20261120)));
    const auto store = read_store<EquityBar>(file);
    ASSERT_EQ(store.index.size(), 15u);
    EXPECT_EQ(store.index[13], (IndexRecord{20261119, static_cast<std::uint32_t>(old_rows)}));
    EXPECT_EQ(store.data, bars.bars<EquityBar>(20050104, 20261120));
    EXPECT_EQ(store.index, bars.index(20050104, 20261120));
    EXPECT_TRUE(flag());
}

TEST_F(AppendH5Test, AppendedNightBarsJoinTheNextTradingDaysIndexEntry) {
    const FakeBars& bars = listed("IF2612", IT::FUTURE);
    _append_h5("IF2612", root_);  // through Friday 20 November
    const fs::path file = file_of("future", "IF2612");
    const std::size_t old_rows = read_store<DerivativeBar>(file).data.size();

    clock(2026, 11, 23, 18, 0);
    _append_h5("IF2612", root_);
    const auto store = read_store<DerivativeBar>(file);
    EXPECT_EQ(store.data, bars.bars<DerivativeBar>(20050104, 20261123));
    EXPECT_EQ(store.index, bars.index(20050104, 20261123));
    // Friday evening's bars open Monday's entry.
    ASSERT_GT(store.data.size(), old_rows);
    EXPECT_EQ(store.data[old_rows].datetime, 20261120210100);
    EXPECT_EQ(store.index.back(), (IndexRecord{20261123, static_cast<std::uint32_t>(old_rows)}));
}

TEST_F(AppendH5Test, WithoutATradingDateColumnBarsAreIndexedByTheirCalendarDate) {
    FakeBars& bars = listed("IF2612", IT::FUTURE);
    bars.trading_date_column = false;
    _append_h5("IF2612", root_, std::nullopt, 20261116);
    const auto store = read_store<DerivativeBar>(file_of("future", "IF2612"));
    EXPECT_EQ(store.data, bars.bars<DerivativeBar>(20261116, 20261120));
    // Friday 13 November's evening bars come first and get an entry of their own.
    ASSERT_GE(store.index.size(), 2u);
    EXPECT_EQ(store.index[0], (IndexRecord{20261113, 0}));
    EXPECT_EQ(store.index[1], (IndexRecord{20261116, 2}));
    EXPECT_EQ(store.index, bars.index(20261116, 20261120));
}

TEST_F(AppendH5Test, EndDateBeforeTheNextTradingDayCallsNoService) {
    listed("600000.XSHG", IT::CS);
    _append_h5("600000.XSHG", root_);  // through Friday 20 November
    const fs::path file = file_of("equities", "600000.XSHG");
    const auto before = read_store<EquityBar>(file);
    client().calls.clear();

    clock(2026, 11, 21, 18, 0);  // Saturday: end date 21, next trading day 23
    _append_h5("600000.XSHG", root_);
    clock(2026, 11, 23, 17, 30);  // Monday at the cut-off: end date 22
    _append_h5("600000.XSHG", root_);
    EXPECT_THAT(args_of("get_next_trading_date"), ElementsAre("20261120 market=cn", "20261120 market=cn"));
    EXPECT_THAT(args_of("get_price"), IsEmpty());
    const auto after = read_store<EquityBar>(file);
    EXPECT_EQ(after.data, before.data);
    EXPECT_EQ(after.index, before.index);
    EXPECT_TRUE(flag());

    clock(2026, 11, 23, 17, 30, 0, 1);  // one microsecond later Monday counts
    _append_h5("600000.XSHG", root_);
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("600000.XSHG", 20261123, 20261123)));
}

TEST_F(AppendH5Test, DuplicateRowsKeepTheFirstOccurrence) {
    listed("600000.XSHG", IT::CS);
    const auto t = [](int minute) { return host::make_datetime(2026, 11, 20, 9, minute); };
    // A repeat after the series went back in time, and a repeat right after its first row in an
    // otherwise ordered batch.
    const std::vector<std::pair<std::vector<host::DateTime>, std::vector<double>>> batches = {
        {{t(31), t(32), t(32), t(33), t(31)}, {1, 2, 20, 3, 10}},
        {{t(31), t(32), t(32), t(33)}, {1, 2, 20, 3}},
    };
    for (const auto& [times, open] : batches) {
        SCOPED_TRACE(open.size());
        client().on_get_price = [&](const service::PriceQuery& q) -> std::optional<service::Frame> {
            return service::make_frame(q.order_book_id, times,
                                       {{"open", open},
                                        {"high", open},
                                        {"low", open},
                                        {"close", open},
                                        {"volume", open},
                                        {"total_turnover", open}});
        };
        _append_h5("600000.XSHG", root_, std::nullopt, layout::MIN_START_DATE, true);
        EXPECT_TRUE(errors_.empty()) << ::testing::PrintToString(errors_);
        const auto store = read_store<EquityBar>(file_of("equities", "600000.XSHG"));
        ASSERT_EQ(store.data.size(), 3u);
        EXPECT_EQ(store.data[0].datetime, 20261120093100);
        EXPECT_EQ(store.data[1].datetime, 20261120093200);
        EXPECT_EQ(store.data[2].datetime, 20261120093300);
        EXPECT_EQ(store.data[0].open, 1);
        EXPECT_EQ(store.data[1].open, 2);
        EXPECT_EQ(store.data[2].open, 3);
        EXPECT_EQ(store.index, (std::vector<IndexRecord>{{20261120, 0}}));
    }
}

// ---- Repair --------------------------------------------------------------------------------

// Appends one record to the "index" of a store file, as an update killed between its two
// appends leaves it.
void append_index_entry(const fs::path& file, IndexRecord entry) {
    h5::File f = h5::File::open(file.string(), h5::File::Access::ReadWrite);
    h5::Dataset index = f.open_dataset("index");
    const auto memory = layout::index_memory_type();
    std::vector<IndexRecord> added = {entry};
    index.append<IndexRecord>(memory.id(), added);
    f.commit();
    f.close();
}

TEST_F(AppendH5Test, IndexAheadOfDataIsCutBackAndTheDayOfTheLastBarFetchedAgain) {
    const FakeBars& bars = listed("600000.XSHG", IT::CS);
    clock(2026, 11, 18, 18, 0);
    _append_h5("600000.XSHG", root_);
    const fs::path file = file_of("equities", "600000.XSHG");
    const std::size_t rows = read_store<EquityBar>(file).data.size();
    append_index_entry(file, {20261119, static_cast<std::uint32_t>(rows)});
    client().calls.clear();

    clock(2026, 11, 20, 18, 0);
    _append_h5("600000.XSHG", root_);
    EXPECT_THAT(args_of("get_next_trading_date"), ElementsAre("20261117 market=cn"));
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("600000.XSHG", 20261118, 20261120)));
    const auto store = read_store<EquityBar>(file);
    EXPECT_EQ(store.data, bars.bars<EquityBar>(20050104, 20261120));
    EXPECT_EQ(store.index, bars.index(20050104, 20261120));
    EXPECT_TRUE(flag());
    EXPECT_THAT(errors_, IsEmpty());
}

TEST_F(AppendH5Test, DataAheadOfIndexIsCutBackToo) {
    const FakeBars& bars = listed("600000.XSHG", IT::CS);
    clock(2026, 11, 18, 18, 0);
    _append_h5("600000.XSHG", root_);
    const fs::path file = file_of("equities", "600000.XSHG");
    {
        h5::File f = h5::File::open(file.string(), h5::File::Access::ReadWrite);
        h5::Dataset index = f.open_dataset("index");
        index.resize(index.rows() - 1);  // the index ends on the 17th, the bars on the 18th
        f.commit();
        f.close();
    }
    client().calls.clear();

    clock(2026, 11, 20, 18, 0);
    _append_h5("600000.XSHG", root_);
    EXPECT_THAT(args_of("get_next_trading_date"), ElementsAre("20261116 market=cn"));
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("600000.XSHG", 20261117, 20261120)));
    const auto store = read_store<EquityBar>(file);
    EXPECT_EQ(store.data, bars.bars<EquityBar>(20050104, 20261120));
    EXPECT_EQ(store.index, bars.index(20050104, 20261120));
}

// A futures file interrupted between its two appends: the repair must not keep the night bars
// of the day it fetches again (they carry the previous calendar date), or that day's night
// session is stored twice.
TEST_F(AppendH5Test, RepairOfANightSessionFileStoresTheRefetchedNightBarsOnce) {
    const FakeBars& bars = listed("IF2612", IT::FUTURE);
    clock(2026, 11, 18, 18, 0);
    _append_h5("IF2612", root_);
    const fs::path file = file_of("future", "IF2612");
    const std::size_t rows = read_store<DerivativeBar>(file).data.size();
    append_index_entry(file, {20261119, static_cast<std::uint32_t>(rows)});

    clock(2026, 11, 20, 18, 0);
    _append_h5("IF2612", root_);
    const auto store = read_store<DerivativeBar>(file);
    EXPECT_EQ(store.data, bars.bars<DerivativeBar>(20050104, 20261120));
    EXPECT_EQ(store.index, bars.index(20050104, 20261120));
}

TEST_F(AppendH5Test, RepairThatEmptiesBothDatasetsResumesAfterTheFirstBundleDay) {
    const FakeBars& bars = listed("600000.XSHG", IT::CS);
    fs::create_directories(fs::path(root_) / "equities");
    const fs::path file = file_of("equities", "600000.XSHG");
    // Bars of the 2nd under an index entry of the 3rd: everything is from the 2nd on.
    const std::vector<EquityBar> data = bars.bars<EquityBar>(20261102, 20261102);
    const std::vector<IndexRecord> index = {{20261103, 0}};
    test::write_store<EquityBar>(file, data, &index);

    _append_h5("600000.XSHG", root_);
    EXPECT_THAT(args_of("get_next_trading_date"), ElementsAre("20050104 market=cn"));
    EXPECT_THAT(args_of("get_price"), ElementsAre(price_call("600000.XSHG", 20050105, 20261120)));
    const auto store = read_store<EquityBar>(file);
    EXPECT_EQ(store.data, bars.bars<EquityBar>(20050104, 20261120));
    EXPECT_EQ(store.index, bars.index(20050104, 20261120));
}

TEST_F(AppendH5Test, EmptyDatasetsCountAsEndingOnTheFirstBundleDay) {
    const FakeBars& bars = listed("600000.XSHG", IT::CS);
    fs::create_directories(fs::path(root_) / "equities");
    const fs::path file = file_of("equities", "600000.XSHG");
    const std::vector<IndexRecord> no_index;
    test::write_store<EquityBar>(file, {}, &no_index);

    _append_h5("600000.XSHG", root_);
    EXPECT_THAT(args_of("get_next_trading_date"), ElementsAre("20050104 market=cn"));
    const auto store = read_store<EquityBar>(file);
    EXPECT_EQ(store.data, bars.bars<EquityBar>(20050104, 20261120));
    EXPECT_EQ(store.index, bars.index(20050104, 20261120));
}

// ---- Failures ------------------------------------------------------------------------------

TEST_F(AppendH5Test, OperatingSystemErrorWhileTheFileIsOpenIsLoggedWithThePermissionText) {
    const FakeBars& bars = listed("600000.XSHG", IT::CS);
    _append_h5("600000.XSHG", root_);
    client().fail("get_next_trading_date",
                  std::make_exception_ptr(OsError(OsError::Kind::Other, ECONNRESET, "connection reset by peer")));
    clock(2026, 11, 24, 18, 0);
    _append_h5("600000.XSHG", root_);

    const std::string file = file_of("equities", "600000.XSHG").string();
    EXPECT_THAT(errors_, ElementsAre("更新 " + file +
                                     " 失败，请检查文件的权限以及是否被其他进程占用\nconnection reset by peer"));
    EXPECT_FALSE(flag());
    EXPECT_EQ(read_store<EquityBar>(file).data, bars.bars<EquityBar>(20050104, 20261120));
}

TEST_F(AppendH5Test, OtherErrorsWhileTheFileIsOpenAreLoggedWithTheDamagedOrThePermissionText) {
    listed("600000.XSHG", IT::CS);
    _append_h5("600000.XSHG", root_);
    const std::string file = file_of("equities", "600000.XSHG").string();
    clock(2026, 11, 24, 18, 0);

    client().fail("get_price", std::make_exception_ptr(ValueError("unexpected column \"foo\"")));
    _append_h5("600000.XSHG", root_);
    // A refusal of the service says so: the file is good, and deleting it would lose bars the
    // service will not send again.
    client().fail("get_price", std::make_exception_ptr(service::PermissionDenied("no permission to 600000.XSHG")));
    _append_h5("600000.XSHG", root_);

    EXPECT_THAT(
        errors_,
        ElementsAre("更新 " + file +
                        " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\nunexpected column \"foo\"",
                    "更新 " + file + " 失败，您没有相关数据的使用权限，可联系Quorvane开通相关权限：0000-00000000"));
    EXPECT_FALSE(flag());
}

TEST_F(AppendH5Test, ConversionErrorDuringARebuildInsideTheOpenFileIsLogged) {
    listed("600000.XSHG", IT::CS);
    fs::create_directories(fs::path(root_) / "equities");
    const fs::path file = file_of("equities", "600000.XSHG");
    test::write_store<EquityBar>(file, {{20200102093100, 1, 1, 1, 1, 1, 1}}, nullptr);
    client().on_get_price = [](const service::PriceQuery& q) -> std::optional<service::Frame> {
        return service::make_frame(q.order_book_id, {host::make_datetime(2026, 11, 20, 9, 31)}, {{"open", {1.0}}});
    };
    _append_h5("600000.XSHG", root_);
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_TRUE(errors_[0].starts_with("更新 " + file.string() + " " + kDamagedText + "\n")) << errors_[0];
    EXPECT_FALSE(flag());
}

TEST_F(AppendH5Test, FileHeldByAnotherProcessIsLoggedWithThePermissionText) {
    listed("600000.XSHG", IT::CS);
    _append_h5("600000.XSHG", root_);
    const std::string file = file_of("equities", "600000.XSHG").string();
    test::ChildProcess holder([&](test::ChildProcess& self) {
        h5::File held = h5::File::open(file, h5::File::Access::ReadOnly);
        self.ready();
        pause();
        return 0;
    });
    ASSERT_TRUE(holder.wait_ready());
    clock(2026, 11, 24, 18, 0);
    _append_h5("600000.XSHG", root_);
    ASSERT_EQ(errors_.size(), 1u);
    const std::string head = "更新 " + file + " " + kPermissionText + "\n";
    EXPECT_TRUE(errors_[0].starts_with(head)) << errors_[0];
    EXPECT_GT(errors_[0].size(), head.size());
    EXPECT_FALSE(flag());
}

TEST_F(AppendH5Test, FileThatIsNotHdf5IsLoggedAndLeftAsItIs) {
    listed("600000.XSHG", IT::CS);
    fs::create_directories(fs::path(root_) / "equities");
    const fs::path file = file_of("equities", "600000.XSHG");
    std::ofstream(file) << "not an HDF5 file";
    _append_h5("600000.XSHG", root_);
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_TRUE(errors_[0].starts_with("更新 " + file.string() + " " + kPermissionText + "\n")) << errors_[0];
    EXPECT_FALSE(flag());
    std::ifstream in(file);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "not an HDF5 file");
}

TEST_F(AppendH5Test, ErrorOfTheFirstFetchOfANewFilePropagatesAndLeavesNothing) {
    listed("600000.XSHG", IT::CS);
    client().fail("get_price", std::make_exception_ptr(OsError(OsError::Kind::Other, ETIMEDOUT, "timed out")));
    EXPECT_THROW(_append_h5("600000.XSHG", root_), OsError);
    EXPECT_THAT(test::entries(fs::path(root_) / "equities"), IsEmpty());
    EXPECT_TRUE(flag());
    EXPECT_THAT(errors_, IsEmpty());

    // The same for a table the conversion rejects.
    client().fail("get_price", nullptr);
    client().on_get_price = [](const service::PriceQuery& q) -> std::optional<service::Frame> {
        return service::make_frame(q.order_book_id, {host::make_datetime(2026, 11, 20, 9, 31)}, {{"open", {1.0}}});
    };
    EXPECT_THROW(_append_h5("600000.XSHG", root_), ValueError);
    EXPECT_THAT(test::entries(fs::path(root_) / "equities"), IsEmpty());
    EXPECT_TRUE(flag());
}

TEST_F(AppendH5Test, AFailureNeverSetsTheFlagBackToTrue) {
    listed("600000.XSHG", IT::CS);
    host::sval().set(false);
    _append_h5("600000.XSHG", root_);
    EXPECT_FALSE(flag());
    EXPECT_TRUE(fs::exists(file_of("equities", "600000.XSHG")));
}

// ---- Updates in steps against the simulated market ---------------------------------------

class StepwiseUpdateTest : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {
protected:
    void SetUp() override { host::process_init(std::make_shared<host::SharedFlag>(true)); }
    void TearDown() override {
        host::set_clock(std::nullopt);
        host::process_init(nullptr);
    }
};

template <class Bar>
void expect_same_store(const fs::path& stepwise, const fs::path& single) {
    const auto a = read_store<Bar>(stepwise);
    const auto b = read_store<Bar>(single);
    EXPECT_EQ(a.members, b.members);
    EXPECT_EQ(a.index, b.index);
    EXPECT_EQ(a.data.size(), b.data.size());
    EXPECT_TRUE(a.data == b.data);
}

TEST_P(StepwiseUpdateTest, TenStepsGiveTheSameFileAsOneUpdate) {
    const auto& [id, group] = GetParam();
    test::ScopedClient market(std::make_unique<service::SimulatedMarket>(service::SimulatedMarket::Settings{}));
    test::TempDir tmp;
    const std::string stepwise = (tmp / "steps").string(), single = (tmp / "single").string();

    // Ten clocks: before and after the 17:30 cut-off, a weekend, the October holiday, midnight,
    // a run before the next day's data exists, and two runs on the same evening.
    const std::vector<DateTime> steps = {
        host::make_datetime(2026, 9, 3, 18, 0),   host::make_datetime(2026, 9, 4, 10, 0),
        host::make_datetime(2026, 9, 13, 20, 0),  host::make_datetime(2026, 9, 30, 17, 30),
        host::make_datetime(2026, 10, 9, 18, 0),  host::make_datetime(2026, 10, 20, 0, 5),
        host::make_datetime(2026, 10, 20, 16, 0), host::make_datetime(2026, 11, 6, 23, 59),
        host::make_datetime(2026, 11, 20, 18, 0), host::make_datetime(2026, 11, 20, 19, 0),
    };
    for (const DateTime& step : steps) {
        host::set_clock(step);
        _append_h5(id, stepwise);
    }
    host::set_clock(steps.back());
    _append_h5(id, single);
    EXPECT_TRUE(host::sval().value());

    const fs::path a = fs::path(stepwise) / group / (id + ".h5"), b = fs::path(single) / group / (id + ".h5");
    if (group == "equities")
        expect_same_store<EquityBar>(a, b);
    else
        expect_same_store<DerivativeBar>(a, b);

    // And the single update holds every trading day since the market's first one.
    std::vector<int> dates;
    for (const IndexRecord& r : test::read_index(b)) dates.push_back(r.date);
    EXPECT_EQ(dates, service::current().get_trading_dates(20260901, 20261120));
}

INSTANTIATE_TEST_SUITE_P(Instruments, StepwiseUpdateTest,
                         ::testing::Values(std::tuple{"600000.XSHG", "equities"}, std::tuple{"IF2612", "future"},
                                           std::tuple{"CU2701", "future"}, std::tuple{"IO2612-C-4000", "option"}),
                         [](const auto& info) {
                             std::string name = std::get<0>(info.param);
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
}  // namespace tarnwick::bundle::minbar
