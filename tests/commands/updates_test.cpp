// The full and the incremental bundle updates against the simulated market.
#include "tarnwick/bundle/commands/updates.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <deque>
#include <filesystem>
#include <fstream>

#include "support/store_contents.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/formats/pickle.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/selection/record.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/status/status.hpp"

namespace tarnwick::bundle::commands {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::StartsWith;

class Updates : public ::testing::Test {
protected:
    void SetUp() override {
        host::set_clock(host::make_datetime(2026, 11, 25, 18, 0));
        previous_client_ = service::install(std::make_unique<service::SimulatedMarket>());
        previous_console_ = host::set_console({[this](const std::string& t) { out += t; },
                                               [this]() -> std::optional<std::string> {
                                                   if (answers.empty()) return std::nullopt;
                                                   auto a = answers.front();
                                                   answers.pop_front();
                                                   return a;
                                               }});
    }
    void TearDown() override {
        host::set_console(previous_console_);
        service::install(std::move(previous_client_));
        host::set_clock(std::nullopt);
    }
    std::size_t count(const std::string& text) const {
        std::size_t n = 0;
        for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
        return n;
    }

    test::TempDir dir;
    std::string out;
    std::deque<std::string> answers;
    host::ConsoleHooks previous_console_;
    std::unique_ptr<service::Client> previous_client_;
};

constexpr const char* QUESTION = "本次会将指定的[合约分钟]和[合约tick]的h5文件从头进行更新，是否确认?[Y/n]\n";

TEST_F(Updates, NothingAskedForDoesNothing) {
    EXPECT_TRUE(update_bundle_from_tickwirec(1, dir.str(), false, {}, {}, false));
    EXPECT_EQ(out, "");
    EXPECT_FALSE(fs::exists(dir / "bundle"));
}

TEST_F(Updates, RebuildStartsOnlyOnExactlyY) {
    answers = {"yes", "y", "Y"};
    EXPECT_TRUE(update_bundle_from_tickwirec(1, dir.str(), false, {}, {}, false, true));
    EXPECT_EQ(count(QUESTION), 3u);

    for (const auto& refusal : std::vector<std::deque<std::string>>{{"", "N", "no"}, {"n", "Y"}}) {
        out.clear();
        answers = refusal;
        try {
            update_bundle_from_tickwirec(1, dir.str(), true, {"000001.XSHE"}, {}, false, true);
            FAIL() << "the program must end";
        } catch (const RebuildDeclined& exit) {
            // Its own type, so that the command line can say that nothing was changed.
            EXPECT_EQ(exit.status(), 0);
        }
        EXPECT_EQ(count(QUESTION), refusal.size() == 3 ? 3u : 1u);
        EXPECT_FALSE(fs::exists(dir / "bundle")) << "nothing may be written before the confirmation";
    }
}

TEST_F(Updates, EndOfInputAtTheQuestionIsAnErrorBeforeAnythingIsWritten) {
    EXPECT_THROW(update_bundle_from_tickwirec(1, dir.str(), true, {"000001.XSHE"}, {}, false, true), EndOfInput);
    EXPECT_FALSE(fs::exists(dir / "bundle"));
}

class DeniedBjse : public service::SimulatedMarket {
public:
    void probe_price(const std::string& id) override {
        if (id.ends_with(".BJSE")) throw service::PermissionDenied("no right to " + id);
    }
};

TEST_F(Updates, BeijingExchangeCheck) {
    // The command does not initialise the client; the caller does, with the exchange on.
    service::current().init(true);
    EXPECT_TRUE(update_bundle_from_tickwirec(1, dir.str(), false, {}, {}, false, false, true));
    EXPECT_EQ(out, "");
    service::install(std::make_unique<DeniedBjse>());
    service::current().init(true);
    try {
        update_bundle_from_tickwirec(1, dir.str(), true, {}, {}, false, false, true);
        FAIL() << "the program must end";
    } catch (const ProgramExit& exit) {
        EXPECT_EQ(exit.status(), 0);
    }
    EXPECT_EQ(out, "没有 enable_bjse 参数，详情可联系Quorvane：0000-00000000\n");
    EXPECT_FALSE(fs::exists(dir / "bundle"));
}

class BrokenCalendar : public service::SimulatedMarket {
public:
    std::vector<int> get_trading_dates(int, int) override { throw OsError(OsError::Kind::Other, 0, "connection lost"); }
};

TEST_F(Updates, FailedDayBarsMakeTheResultFalseAndTheRestStillRuns) {
    service::install(std::make_unique<BrokenCalendar>());
    EXPECT_FALSE(update_bundle_from_tickwirec(1, dir.str(), true, {"000001.XSHE"}, {"000001.XSHE"}, false));
    EXPECT_TRUE(fs::exists(dir / "bundle" / "h5" / "equities" / "000001.XSHE.h5"));
    EXPECT_TRUE(fs::exists(dir / "bundle" / "ticks" / "000001.XSHE.h5"));
    EXPECT_EQ(out.rfind("开始更新日线及基础数据\n", 0), 0u);
}

// A market whose minute bars or ticks cannot be had.
struct BrokenFrequency : service::SimulatedMarket {
    explicit BrokenFrequency(service::Frequency f) : broken(f) {}
    std::optional<service::Frame> get_price(const service::PriceQuery& query) override {
        if (query.frequency == broken) throw OsError(OsError::Kind::Other, 0, "connection lost");
        return SimulatedMarket::get_price(query);
    }
    service::Frequency broken;
};

// The incremental update is a success only when each of its parts is.
TEST_F(Updates, AFailedPartOfTheIncrementalUpdateMakesTheResultFalse) {
    ASSERT_TRUE(update_bundle_from_tickwirec(1, dir.str(), false, {"000001.XSHE"}, {"000001.XSHE"}, false));
    for (const auto broken : {service::Frequency::Minute, service::Frequency::Tick}) {
        service::install(std::make_unique<BrokenFrequency>(broken));
        host::set_clock(host::make_datetime(2026, broken == service::Frequency::Tick ? 12 : 11, 30, 18, 0));
        EXPECT_FALSE(update_bundle_from_exist_file(1, dir.str()));
    }
}

// A selection record that cannot be read or written neither hangs nor fails an update (it warns),
// status reports it, and update-existing --selection stops on it rather than take it for none.
TEST_F(Updates, ABrokenSelectionRecordNeitherHangsNorFailsAnUpdate) {
    for (const bool fifo : {true, false}) {
        const test::TempDir root;
        const fs::path records = root / "bundle" / ".tarnwick";
        fs::create_directories(fifo ? records : records.parent_path());
        ASSERT_TRUE(fifo ? ::mkfifo((records / "selection.json").c_str(), 0644) == 0
                         : static_cast<bool>(std::ofstream(records) << "a file where the folder belongs"));
        std::string said;
        const auto previous = host::system_log().observe(
            [&said](const std::string& level, const std::string& text) { said += level + ": " + text; });
        EXPECT_TRUE(update_bundle_from_tickwirec(1, root.str(), false, {"000001.XSHE"}, {}, false)) << fifo;
        host::system_log().observe(previous);
        EXPECT_TRUE(said.starts_with("warning: the selection could not be recorded")) << said;
        EXPECT_THAT(status::bundle_status(root.str()).problems,
                    Contains(StartsWith("the recorded selection cannot be read")));
        out.clear();
        EXPECT_THROW(update_bundle_to_selection(1, root.str()), std::exception) << fifo;
        EXPECT_EQ(out.find("no recorded selection"), std::string::npos) << out;
    }
}

TEST_F(Updates, IncrementalListingSkipsSamplesLooseFilesAndTicksInsideH5) {
    const fs::path h5 = dir / "bundle" / "h5";
    fs::create_directories(h5 / "equities");
    fs::create_directories(h5 / "ticks");
    fs::create_directories(h5 / "future" / "deeper");
    for (const fs::path& p : {h5 / "equities" / "000001.XSHE.h5", h5 / "equities" / "000001.XSHE-sample.h5",
                              h5 / "loose.h5", h5 / "ticks" / "600000.XSHG.h5", h5 / "future" / "IF2612.h5",
                              h5 / "future" / "deeper" / "IF2701.h5", h5 / "equities" / "notes.txt"})
        std::ofstream(p) << "x";
    auto ids = existing_minbar_ids(h5.string());
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"000001.XSHE", "IF2612"}));
}

TEST_F(Updates, IncrementalListingTakesBackFilesWhoseCreationWasStopped) {
    // A run stopped while it created a file leaves "<id>.h5.tmp": the instrument is updated
    // again (its file made afresh), not dropped from the bundle for good.
    const fs::path h5 = dir / "bundle" / "h5";
    const fs::path ticks = dir / "bundle" / "ticks";
    fs::create_directories(h5 / "equities");
    fs::create_directories(ticks);
    for (const fs::path& p : {h5 / "equities" / "000001.XSHE.h5", h5 / "equities" / "000001.XSHE.h5.tmp",
                              h5 / "equities" / "600000.XSHG.h5.tmp", h5 / "equities" / "x-sample.h5.tmp",
                              ticks / "IF2612.h5.tmp", ticks / ".h5.tmp", ticks / "IF2612.h5.journal"})
        std::ofstream(p) << "x";
    EXPECT_EQ(existing_minbar_ids(h5.string()), (std::vector<std::string>{"000001.XSHE", "600000.XSHG"}));
    EXPECT_EQ(existing_tick_ids(ticks.string()), (std::vector<std::string>{"IF2612"}));
}

TEST_F(Updates, IncrementalUpdateLaterEqualsOneFullUpdateThen) {
    const std::vector<std::string> minbar = {"000001.XSHE", "IF2612", "IO2612-C-4000"};
    const std::vector<std::string> tick = {"000002.XSHE", "IF2612"};
    const fs::path first = dir / "first";
    const fs::path once = dir / "once";
    ASSERT_TRUE(update_bundle_from_tickwirec(2, first.string(), true, minbar, tick, false));
    const auto before = test::store_contents(first / "bundle");

    host::set_clock(host::make_datetime(2026, 12, 2, 18, 0));
    out.clear();
    ASSERT_TRUE(update_bundle_from_exist_file(2, first.string()));
    EXPECT_EQ(out.rfind("开始智能更新已下载数据\n开始更新日线及基础数据\n", 0), 0u) << out;
    ASSERT_TRUE(update_bundle_from_tickwirec(2, once.string(), true, minbar, tick, false));

    const auto after = test::store_contents(first / "bundle");
    EXPECT_EQ(after, test::store_contents(once / "bundle"));
    // Every minute-bar file grew, and every tick file gained days.
    for (const auto& [key, bytes] : before) {
        if (key.ends_with(":data")) {
            EXPECT_GT(after.at(key).size(), bytes.size()) << key;
        }
    }
    std::size_t tick_days_before = 0, tick_days_after = 0;
    for (const auto& [key, bytes] : before) tick_days_before += key.starts_with("ticks/");
    for (const auto& [key, bytes] : after) tick_days_after += key.starts_with("ticks/");
    EXPECT_GT(tick_days_after, tick_days_before);
}

TEST_F(Updates, BeijingRecordInInstrumentsTurnsTheExchangeOnForDayBarsOnly) {
    const fs::path bundle = dir / "bundle";
    fs::create_directories(bundle);
    formats::pickle::dump_records((bundle / "instruments.pk").string(),
                                  {{{"order_book_id", std::string("000001.XSHE")}, {"exchange", std::string("XSHE")}},
                                   {{"order_book_id", std::string("430047.BJSE")}, {"exchange", std::string("BJSE")}}});
    ASSERT_TRUE(update_bundle_from_exist_file(1, dir.str()));
    // The day-bar update initialised the client with the exchange on; no driver ran.
    EXPECT_TRUE(service::current().bjse_enabled());
    EXPECT_EQ(out, "开始智能更新已下载数据\n开始更新日线及基础数据\n");
}

// What a stopped first download or a check's deletion leaves out stays out of the incremental
// update; with the recorded selection it is fetched.
TEST_F(Updates, TheRecordedSelectionBringsBackWhatIsAbsent) {
    ASSERT_TRUE(update_bundle_from_tickwirec(2, dir.str(), true, {"IF"}, {"000001.XSHE", "IF2612"}, false));
    const fs::path bundle = dir / "bundle";
    const std::vector<std::string> gone = {"h5/future/IF2612.h5", "h5/future/IF2701.h5", "ticks/IF2612.h5"};
    for (const auto& file : gone) ASSERT_TRUE(fs::remove(bundle / file)) << file;

    ASSERT_TRUE(update_bundle_from_exist_file(2, dir.str()));
    for (const auto& file : gone) EXPECT_FALSE(fs::exists(bundle / file)) << file;
    out.clear();
    ASSERT_TRUE(update_bundle_to_selection(2, dir.str()));
    for (const auto& file : gone) EXPECT_TRUE(fs::exists(bundle / file)) << file;
    EXPECT_EQ(count("recorded selection (minbar): 1 request resolves to 4 instruments, 2 without a store file\n"), 1u)
        << out;
    EXPECT_EQ(count("recorded selection (tick): 1 request resolves to 2 instruments, 1 without a store file\n"), 1u)
        << out;
}

// IF2706 is listed on 2026-12-21: resolving the recorded "IF" again after that day brings it in
// and refreshes the record; the plain incremental update does not.
TEST_F(Updates, ResolvingTheSelectionAgainBringsNewListings) {
    const fs::path bundle = dir / "bundle";
    host::set_clock(host::make_datetime(2026, 12, 18, 18, 0));
    ASSERT_TRUE(update_bundle_from_tickwirec(2, dir.str(), true, {"IF"}, {}, false));
    host::set_clock(host::make_datetime(2026, 12, 21, 18, 0));
    ASSERT_TRUE(update_bundle_from_exist_file(2, dir.str()));
    EXPECT_FALSE(fs::exists(bundle / "h5/future/IF2706.h5"));
    ASSERT_TRUE(update_bundle_to_selection(2, dir.str()));
    EXPECT_TRUE(fs::exists(bundle / "h5/future/IF2706.h5"));
    const auto recorded = selection::load_selection(bundle.string());
    ASSERT_EQ(recorded.minbar.size(), 1u);
    EXPECT_EQ(recorded.minbar[0].instruments,
              (std::vector<std::string>{"IF2611", "IF2612", "IF2701", "IF2703", "IF2706"}));
    EXPECT_EQ(recorded.minbar[0].resolved_at, "2026-12-21 18:00:00");
}

}  // namespace
}  // namespace tarnwick::bundle::commands
