#include "tarnwick/bundle/commands/daybar.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "host/run_python.hpp"
#include "support/scoped_client.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/formats/npy.hpp"
#include "tarnwick/bundle/formats/pickle.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace tarnwick::bundle::commands {
namespace {

namespace fs = std::filesystem;
using formats::read_npy;
using host::add_days;
using host::DateTime;
using host::InstrumentType;
using host::make_datetime;
using host::set_clock;
using host::system_log;
using host::SystemLog;
using host::weekday;
using service::Instrument;
using service::InstrumentLookup;
using service::ListingRow;
using test::TempDir;
namespace pickle = formats::pickle;

struct ClockAt {
    explicit ClockAt(DateTime t) { set_clock(t); }
    ~ClockAt() { set_clock(std::nullopt); }
};

struct LogCapture {
    std::vector<std::string> errors;
    SystemLog::Observer previous;
    LogCapture() {
        previous = system_log().observe([this](const std::string& level, const std::string& text) {
            if (level == "error") errors.push_back(text);
        });
    }
    ~LogCapture() { system_log().observe(previous); }
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::int64_t> weekdays(int from, int to) {
    std::vector<std::int64_t> out;
    for (int d = from; d <= to; d = add_days(d, 1))
        if (weekday(d) != 0 && weekday(d) != 6) out.push_back(d);
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string join(const std::vector<std::int64_t>& v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) out += (i ? "," : "") + std::to_string(v[i]);
    return out;
}

// A small market: stocks of three mainland exchanges (one of the Beijing Stock Exchange), one
// delisted, one delisted before the calendar starts, one with two records, a Hong Kong stock,
// an ETF, a future, an option and a convertible.
class DaybarTest : public test::ScriptedClientFixture {
protected:
    TempDir dir;
    std::string bundle = (dir / "bundle").string();
    ClockAt clock{make_datetime(2026, 12, 7, 18, 0)};  // end date 2026-12-07
    std::map<std::string, std::vector<int>> suspended{
        {"000001.XSHE", {20261020, 20261021, 20261022, 20261023}},
        {"600087.XSHG", {20050105, 20261014}},
        {"00700.XHKG", {20261201}},
    };

    void SetUp() override {
        ScriptedClientFixture::SetUp();
        auto& c = client();
        c.on_all_instruments = [&c] {
            service::Listing out{
                {"000001.XSHE", "CS", "", "", "XSHE"},
                {"600087.XSHG", "CS", "", "", "XSHG"},
                {"000003.XSHE", "CS", "", "", "XSHE"},
                {"601313.XSHG", "CS", "", "", "XSHG"},
                {"510050.XSHG", "ETF", "", "", "XSHG"},
                {"IF2612", "Future", "IF", "IF", "CCFX"},
                {"10005000", "Option", "", "510050.XSHG", "XSHG"},
                {"113050.XSHG", "Convertible", "", "", "XSHG"},
            };
            if (c.bjse) out.push_back({"430047.BJSE", "CS", "", "", "BJSE"});
            return out;
        };
        c.on_all_instruments_hk = [](const InstrumentType&) {
            return service::Listing{{"00700.XHKG", "CS", "", "", "XHKG"}};
        };
        c.on_instruments = [](const std::string& id, const std::optional<std::string>&) -> InstrumentLookup {
            const auto rec = [&](std::string listed, std::string delisted, std::string symbol, std::string type,
                                 std::string stock_code = "") {
                return Instrument{id,
                                  std::move(type),
                                  "",
                                  std::move(listed),
                                  std::move(delisted),
                                  std::move(stock_code),
                                  std::move(symbol)};
            };
            if (id == "000001.XSHE") return {rec("1991-04-03", "0000-00-00", "平安银行", "CS")};
            if (id == "600087.XSHG") return {rec("1997-07-23", "2026-10-15", "Nanjing Tanker", "CS")};
            if (id == "000003.XSHE") return {rec("1991-07-03", "2002-06-14", "PT Jintian", "CS")};
            if (id == "601313.XSHG")
                return {std::vector<Instrument>{rec("2001-03-01", "2016-03-01", "Jiangnan Jiajie", "CS"),
                                                rec("2018-02-28", "0000-00-00", "360 Security", "CS")}};
            if (id == "430047.BJSE") return {rec("2026-11-02", "0000-00-00", "Nuosi Lanbo", "CS")};
            if (id == "00700.XHKG") return {rec("2004-06-16", "0000-00-00", "Tencent", "CS")};
            if (id == "113050.XSHG")
                return {rec("2019-11-15", "0000-00-00", "SPD Convertible", "Convertible", "600000.XSHG")};
            if (id == "IF2612") return {rec("2026-04-20", "2026-12-18", "IF2612", "Future")};
            return {};  // 510050.XSHG and the option have no record here
        };
        c.on_is_suspended = [this](const std::string& id, int start, int end) {
            service::SuspensionTable out;
            const auto it = suspended.find(id);
            for (std::int64_t d : weekdays(std::max(start, 20261001), end)) {
                const bool s =
                    it != suspended.end() && std::find(it->second.begin(), it->second.end(), d) != it->second.end();
                out.push_back({static_cast<int>(d), s});
            }
            // Days before October only where they are suspended, to keep the table short.
            if (it != suspended.end())
                for (int d : it->second)
                    if (d < 20261001 && d >= start && d <= end) out.push_back({d, true});
            return out;
        };
    }

    std::string path(const char* name) const { return (fs::path(bundle) / name).string(); }
};

TEST_F(DaybarTest, WritesTheThreeFilesAndPythonLoadsThem) {
    ASSERT_TRUE(update_daybar(
        bundle, true, true, 2,
        {.tickwire_kwargs = std::map<std::string, bool>{{"enable_bjse", true}}, .enable_bjse = std::nullopt}));

    const auto r = test::run_python_script("check_daybar.py", {bundle});
    ASSERT_EQ(r.exit_status, 0) << r.output;
    const std::vector<std::int64_t> calendar = weekdays(20050104, 20261207);
    const std::vector<std::string> expected{
        "dates <i8 " + std::to_string(calendar.size()) + " " + join(calendar),
        "suspended 000001.XSHE <i8 20261020,20261021,20261022,20261023",
        "suspended 00700.XHKG <i8 20261201",
        "suspended 600087.XSHG <i8 20050105,20261014",
        "record 000001.XSHE|CS|XSHE|1991-04-03|0000-00-00|平安银行|cn",
        "record 600087.XSHG|CS|XSHG|1997-07-23|2026-10-15|Nanjing Tanker|cn",
        "record 000003.XSHE|CS|XSHE|1991-07-03|2002-06-14|PT Jintian|cn",
        "record 601313.XSHG|CS|XSHG|2018-02-28|0000-00-00|360 Security|cn",
        "record 510050.XSHG|ETF|XSHG|0000-00-00|0000-00-00|None|cn",
        "record IF2612|Future|CCFX|2026-04-20|2026-12-18|IF2612|cn",
        "record 10005000|Option|XSHG|0000-00-00|0000-00-00|None|cn",
        "record 113050.XSHG|Convertible|XSHG|2019-11-15|0000-00-00|SPD Convertible|cn",
        "record 430047.BJSE|CS|BJSE|2026-11-02|0000-00-00|Nuosi Lanbo|cn",
        "record 00700.XHKG|CS|XHKG|2004-06-16|0000-00-00|Tencent|hk",
    };
    EXPECT_EQ(lines_of(r.output), expected);

    // Our own readers see the same.
    EXPECT_EQ(read_npy(path(TRADING_DATES_FILE)), calendar);
    const std::vector<pickle::Value> records = pickle::load_records(path(INSTRUMENTS_FILE));
    ASSERT_EQ(records.size(), 10u);
    EXPECT_EQ(records[5].find("underlying_symbol")->as_str(), "IF");
    EXPECT_EQ(records[6].find("underlying_order_book_id")->as_str(), "510050.XSHG");
    EXPECT_EQ(records[7].find("stock_code")->as_str(), "600000.XSHG");
    EXPECT_EQ(records[8].find("exchange")->as_str(), "BJSE");
    const h5::File file = h5::File::open(path(SUSPENDED_DAYS_FILE), h5::File::Access::ReadOnly);
    EXPECT_EQ(read_suspended_days(file, "600087.XSHG"), (std::vector<std::int64_t>{20050105, 20261014}));
    EXPECT_TRUE(read_suspended_days(file, "000002.XSHE").empty());
    for (const auto& entry : fs::directory_iterator(bundle))
        EXPECT_EQ(entry.path().extension(), entry.path().filename() == "trading_dates.npy" ? ".npy"
                                            : entry.path().filename() == "instruments.pk"  ? ".pk"
                                                                                           : ".h5")
            << "left behind: " << entry.path();
}

TEST_F(DaybarTest, SuspensionsAreAskedOverEachStocksListedLifeOnly) {
    ASSERT_TRUE(update_daybar(bundle, false, true, 1, {.tickwire_kwargs = std::nullopt, .enable_bjse = false}));
    std::vector<std::string> asked;
    for (const auto& call : client().calls)
        if (call.operation == "is_suspended") asked.push_back(call.args);
    EXPECT_EQ(asked, (std::vector<std::string>{
                         "000001.XSHE start_date=20050104 end_date=20261207",
                         "600087.XSHG start_date=20050104 end_date=20261015",
                         // 000003.XSHE was delisted before the calendar starts: not asked
                         "601313.XSHG start_date=20180228 end_date=20261207",
                         "00700.XHKG start_date=20050104 end_date=20261207",
                     }));
    EXPECT_EQ(client().count("get_trading_dates"), 1u);
    EXPECT_EQ(client().calls.back().operation, "is_suspended");  // every query before any file
}

TEST_F(DaybarTest, BothCallShapesSetTheExchangeFlag) {
    const auto init_args = [&] {
        std::vector<std::string> out;
        for (const auto& call : client().calls)
            if (call.operation == "init") out.push_back(call.args);
        client().calls.clear();
        return out;
    };
    ASSERT_TRUE(update_daybar(
        bundle, true, true, 1,
        {.tickwire_kwargs = std::map<std::string, bool>{{"enable_bjse", true}}, .enable_bjse = std::nullopt}));
    EXPECT_EQ(init_args(), std::vector<std::string>{"enable_bjse=true"});
    EXPECT_EQ(pickle::load_records(path(INSTRUMENTS_FILE)).size(), 10u);

    ASSERT_TRUE(update_daybar(bundle, false, true, 1, {.tickwire_kwargs = std::nullopt, .enable_bjse = false}));
    EXPECT_EQ(init_args(), std::vector<std::string>{"enable_bjse=false"});
    EXPECT_EQ(pickle::load_records(path(INSTRUMENTS_FILE)).size(), 9u);

    ASSERT_TRUE(update_daybar(bundle, false, true, 1, {.tickwire_kwargs = std::nullopt, .enable_bjse = true}));
    EXPECT_EQ(init_args(), std::vector<std::string>{"enable_bjse=true"});

    ASSERT_TRUE(update_daybar(bundle, false, true, 1, {}));
    EXPECT_EQ(init_args(), std::vector<std::string>{"enable_bjse=false"});

    // Both shapes agreeing is accepted.
    ASSERT_TRUE(
        update_daybar(bundle, false, true, 1,
                      {.tickwire_kwargs = std::map<std::string, bool>{{"enable_bjse", true}}, .enable_bjse = true}));
    EXPECT_EQ(init_args(), std::vector<std::string>{"enable_bjse=true"});
}

TEST_F(DaybarTest, BadArgumentsThrowBeforeAnythingHappens) {
    EXPECT_THROW(
        update_daybar(bundle, true, true, 1,
                      {.tickwire_kwargs = std::map<std::string, bool>{{"enable_bjse", true}}, .enable_bjse = false}),
        ValueError);
    try {
        update_daybar(
            bundle, true, true, 1,
            {.tickwire_kwargs = std::map<std::string, bool>{{"enable_bjs", true}}, .enable_bjse = std::nullopt});
        FAIL() << "no error";
    } catch (const TypeError& e) {
        EXPECT_NE(std::string(e.what()).find("'enable_bjs'"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(client().calls.empty());
    EXPECT_FALSE(fs::exists(bundle));
}

TEST_F(DaybarTest, AFailedRunLeavesThePreviousFilesAsTheyWere) {
    ASSERT_TRUE(update_daybar(bundle, true, true, 1, {.tickwire_kwargs = std::nullopt, .enable_bjse = false}));
    const std::map<std::string, std::string> before{
        {TRADING_DATES_FILE, slurp(path(TRADING_DATES_FILE))},
        {SUSPENDED_DAYS_FILE, slurp(path(SUSPENDED_DAYS_FILE))},
        {INSTRUMENTS_FILE, slurp(path(INSTRUMENTS_FILE))},
    };

    // The clock moves on and the service refuses the last suspension query.
    ClockAt later(make_datetime(2026, 12, 9, 18, 0));
    client().fail("is_suspended", std::make_exception_ptr(service::PermissionDenied("no right to suspensions")), 3);
    LogCapture log;
    EXPECT_FALSE(update_daybar(bundle, false, true, 1, {.tickwire_kwargs = std::nullopt, .enable_bjse = false}));
    ASSERT_EQ(log.errors.size(), 1u);
    EXPECT_NE(log.errors[0].find(bundle), std::string::npos) << log.errors[0];
    EXPECT_NE(log.errors[0].find("no right to suspensions"), std::string::npos) << log.errors[0];
    for (const auto& [name, content] : before) EXPECT_EQ(slurp(path(name.c_str())), content) << name;
    EXPECT_EQ(std::distance(fs::directory_iterator(bundle), fs::directory_iterator()), 3);

    // Without the failure, the same run extends the calendar.
    client().fail("is_suspended", nullptr);
    EXPECT_TRUE(update_daybar(bundle, false, true, 1, {.tickwire_kwargs = std::nullopt, .enable_bjse = false}));
    EXPECT_EQ(read_npy(path(TRADING_DATES_FILE)).back(), 20261209);
}

TEST_F(DaybarTest, AStaleTemporaryFileFromACrashedRunIsReplaced) {
    fs::create_directories(bundle);
    for (const char* name : {TRADING_DATES_FILE, SUSPENDED_DAYS_FILE, INSTRUMENTS_FILE})
        std::ofstream(path(name) + ".tmp") << "half-written";
    ASSERT_TRUE(update_daybar(bundle, false, true, 1, {}));
    for (const char* name : {TRADING_DATES_FILE, SUSPENDED_DAYS_FILE, INSTRUMENTS_FILE}) {
        EXPECT_FALSE(fs::exists(path(name) + ".tmp")) << name;
        EXPECT_TRUE(fs::exists(path(name))) << name;
    }
}

TEST_F(DaybarTest, AnUnwritableBundleDirectoryGivesFalse) {
    std::ofstream(bundle) << "a file where the directory should be";
    LogCapture log;
    EXPECT_FALSE(update_daybar(bundle, true, true, 1, {}));
    EXPECT_EQ(log.errors.size(), 1u);
}

TEST_F(DaybarTest, CompressionAppliesToSuspensionDatasets) {
    for (bool compress : {true, false}) {
        SCOPED_TRACE(compress);
        ASSERT_TRUE(update_daybar(bundle, true, compress, 1, {}));
        const h5::File file = h5::File::open(path(SUSPENDED_DAYS_FILE), h5::File::Access::ReadOnly);
        const auto filters = file.open_dataset("000001.XSHE").filters();
        EXPECT_EQ(filters.size(), compress ? 1u : 0u);
        if (compress) {
            EXPECT_EQ(filters[0].id, H5Z_FILTER_DEFLATE);
        }
        EXPECT_EQ(read_suspended_days(file, "000001.XSHE").size(), 4u);
    }
}

// The stand-in against the simulated market: what the checks and the incremental update read.
TEST(DaybarSimulated, CalendarSuspensionsAndInstrumentsFromTheSimulatedMarket) {
    auto previous = service::install(std::make_unique<service::SimulatedMarket>(service::SimulatedMarket::Settings{}));
    struct Restore {
        std::unique_ptr<service::Client>& p;
        ~Restore() { service::install(std::move(p)); }
    } restore{previous};
    ClockAt clock(make_datetime(2026, 12, 7, 17, 0));  // before 17:30: the calendar ends yesterday
    TempDir dir;
    const std::string bundle = (dir / "bundle").string();
    ASSERT_TRUE(update_daybar(bundle, true, true, 2, {.tickwire_kwargs = std::nullopt, .enable_bjse = true}));

    const std::vector<std::int64_t> dates = read_npy((fs::path(bundle) / TRADING_DATES_FILE).string());
    std::vector<std::int64_t> expected;
    for (int d = 20050104; d <= 20261206; d = add_days(d, 1))
        if (service::SimulatedMarket::is_trading_day(d)) expected.push_back(d);
    EXPECT_EQ(dates, expected);

    const h5::File file = h5::File::open((fs::path(bundle) / SUSPENDED_DAYS_FILE).string(), h5::File::Access::ReadOnly);
    std::vector<std::int64_t> vanke;
    for (int d : {20261020, 20261021, 20261022, 20261023, 20261124, 20261125})
        if (service::SimulatedMarket::is_trading_day(d)) vanke.push_back(d);
    EXPECT_EQ(read_suspended_days(file, "000002.XSHE"), vanke);

    bool bjse = false;
    bool hk = false;
    for (const pickle::Value& r : pickle::load_records((fs::path(bundle) / INSTRUMENTS_FILE).string())) {
        bjse = bjse || r.find("exchange")->as_str() == "BJSE";
        hk = hk || r.find("order_book_id")->as_str() == "00700.XHKG";
    }
    EXPECT_TRUE(bjse);
    EXPECT_TRUE(hk);

    const auto r = test::run_python_script("check_daybar.py", {bundle});
    EXPECT_EQ(r.exit_status, 0) << r.output;
}

}  // namespace
}  // namespace tarnwick::bundle::commands
