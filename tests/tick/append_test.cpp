// One instrument's tick file against a scripted service: what is fetched, what is written, and
// what a failure leaves behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <csignal>
#include <stdexcept>

#include <unistd.h>

#include <fmt/format.h>

#include "support/scoped_env_var.hpp"
#include "support/child_process.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/host/interrupt.hpp"
#include "tarnwick/bundle/layout/blosc.hpp"
#include "tarnwick/bundle/service/errors.hpp"
#include "tarnwick/bundle/tick/append.hpp"
#include "tick/tick_fixtures.hpp"

namespace tarnwick::bundle::tick {
namespace {

namespace fs = std::filesystem;
using test_support::members;
using test_support::read_all_days;
using test_support::read_day;
using test_support::ScriptedInstrument;
using test_support::TickRecord;
using test_support::weekdays_from;
using test_support::write_day_directly;

const std::string kDamaged = " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\n";
const std::string kOsError = " 失败，请检查文件的权限以及是否被其他进程占用\n";

class AppendTickTest : public test_support::TickTest {
protected:
    void SetUp() override {
        TickTest::SetUp();
        ins_.trading_days = weekdays_from(20261116, 10);  // 16 Nov .. 27 Nov
    }
    void TearDown() override {
        testing::set_step_hook(nullptr);
        TickTest::TearDown();
    }

    std::string file() const { return (dir_ / "000001.XSHE.h5").string(); }
    void update(bool rebuild = false) {
        ins_.serve(client());
        _append_h5_tick(ins_.id, dir_.str(), std::nullopt, 20261116, rebuild);
    }
    // A stored file: the given days as `version` 0 of the instrument wrote them.
    void store(const std::vector<int>& days, const std::vector<std::string>& extra_members = {}) {
        h5::File f = h5::File::create(file());
        for (int d : days) write_day_directly(f, day_key(d), ins_.expected(d));
        for (const auto& name : extra_members) write_day_directly(f, name, {});
    }
    void expect_day(int day, const ScriptedInstrument& source) {
        const auto records = read_day(file(), day_key(day));
        const auto expected = source.expected(day);
        ASSERT_EQ(records.size(), expected.size()) << day;
        for (std::size_t k = 0; k < records.size(); ++k) EXPECT_TRUE(records[k] == expected[k]) << day << " row " << k;
    }
    std::vector<std::string> keys(const std::vector<int>& days) {
        std::vector<std::string> out;
        for (int d : days) out.push_back(day_key(d));
        return out;
    }

    ScriptedInstrument ins_;
};

TEST_F(AppendTickTest, NewFileHoldsOneDatasetPerTradingDate) {
    end_date_is(20261127);
    update();
    EXPECT_TRUE(flag());
    EXPECT_TRUE(log_.empty()) << log_.front();
    EXPECT_EQ(members(file()), keys(ins_.trading_days));
    for (int d : ins_.trading_days) expect_day(d, ins_);
    // The day bars are asked from min_start_date to the end date, then one block of ticks.
    const auto prices = calls("get_price");
    ASSERT_EQ(prices.size(), 2u);
    EXPECT_EQ(prices[0], "000001.XSHE start_date=20261116 end_date=20261127 frequency=1d adjust_type=none");
    EXPECT_EQ(prices[1], "000001.XSHE start_date=20261116 end_date=20261127 frequency=tick adjust_type=none");
    EXPECT_EQ(console_lines(), std::vector<std::string>{"2026-11-16 2026-11-27"});
    EXPECT_FALSE(fs::exists(file() + ".tmp"));
}

TEST_F(AppendTickTest, DaysWithTicksAreBloscLz4Level9) {
    end_date_is(20261117);
    update();
    const h5::File f = h5::File::open(file(), h5::File::Access::ReadOnly);
    const h5::Dataset day = f.open_dataset("20261116");
    EXPECT_TRUE(day.file_type().equals(layout::H5TicksLoader::DTYPES().id()));
    const auto filters = day.filters();
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters[0].id, layout::BLOSC_FILTER_ID);
    ASSERT_GE(filters[0].cd_values.size(), 7u);
    EXPECT_EQ(filters[0].cd_values[4], 9u);                           // level
    EXPECT_EQ(filters[0].cd_values[6], 1u);                           // LZ4
    EXPECT_EQ(day.chunk_rows(), std::optional<hsize_t>(day.rows()));  // one chunk per day
}

TEST_F(AppendTickTest, TwoHundredFiftyDaysAreFetchedInThreeAnnouncedBlocks) {
    ins_.trading_days = weekdays_from(20250101, 250);
    end_date_is(ins_.trading_days.back());
    ins_.serve(client());
    _append_h5_tick(ins_.id, dir_.str(), std::nullopt, 20250101);
    const auto& days = ins_.trading_days;
    const auto text = [](int d) { return host::hyphenated(d); };
    EXPECT_EQ(console_lines(),
              (std::vector<std::string>{text(days[0]) + " " + text(days[99]), text(days[100]) + " " + text(days[199]),
                                        text(days[200]) + " " + text(days[249])}));
    std::vector<std::string> tick_calls;
    for (const auto& c : calls("get_price"))
        if (c.find("frequency=tick") != std::string::npos) tick_calls.push_back(c);
    ASSERT_EQ(tick_calls.size(), 3u);
    EXPECT_NE(tick_calls[1].find(fmt::format("start_date={} end_date={}", days[100], days[199])), std::string::npos);
    EXPECT_NE(tick_calls[2].find(fmt::format("start_date={} end_date={}", days[200], days[249])), std::string::npos);
    EXPECT_EQ(members(file()).size(), 250u);
}

TEST_F(AppendTickTest, NewestStoredDayIsFetchedAgainAndReplaced) {
    store({20261116, 20261117});
    ins_.version = 1;
    end_date_is(20261119);
    update();
    EXPECT_TRUE(flag());
    EXPECT_EQ(calls("get_price").front(),
              "000001.XSHE start_date=20261117 end_date=20261119 frequency=1d adjust_type=none");
    EXPECT_EQ(members(file()), keys({20261116, 20261117, 20261118, 20261119}));
    ScriptedInstrument old = ins_;
    old.version = 0;
    expect_day(20261116, old);  // older days are never touched
    expect_day(20261117, ins_);
    expect_day(20261119, ins_);
}

TEST_F(AppendTickTest, EndDateBeforeTheNewestDayAsksAndWritesNothing) {
    ins_.suspended = {20261118};
    store({20261119});
    end_date_is(20261118);
    update();
    EXPECT_TRUE(flag());
    EXPECT_TRUE(client().calls.empty());
    EXPECT_EQ(members(file()), keys({20261119}));
}

TEST_F(AppendTickTest, NoDayBarsLeavesAnEmptyFileAndMarksNothing) {
    ins_.suspended = {20261116};
    ins_.trading_days = {20261116};
    end_date_is(20261117);
    update();
    EXPECT_TRUE(flag());
    ASSERT_TRUE(fs::exists(file()));
    EXPECT_TRUE(members(file()).empty());
    EXPECT_EQ(client().count("is_suspended"), 0u);
    EXPECT_TRUE(console_.empty());
}

TEST_F(AppendTickTest, BlockWithoutTicksIsSkipped) {
    ins_.trading_days = weekdays_from(20250101, 150);
    for (std::size_t i = 0; i < 100; ++i) ins_.no_ticks.insert(ins_.trading_days[i]);
    end_date_is(ins_.trading_days.back());
    ins_.serve(client());
    _append_h5_tick(ins_.id, dir_.str(), std::nullopt, 20250101);
    EXPECT_TRUE(flag());
    EXPECT_EQ(console_lines().size(), 2u);
    const auto names = members(file());
    ASSERT_EQ(names.size(), 50u);
    EXPECT_EQ(names.front(), day_key(ins_.trading_days[100]));
}

TEST_F(AppendTickTest, SuspendedStockDaysGetEmptyUnfilteredDatasetsOnlyWhereNoneExists) {
    ins_.suspended = {20261118, 20261119};
    // 18 Nov already holds ticks from an earlier update: they stay.
    store({20261116, 20261118});
    end_date_is(20261120);
    update();
    EXPECT_TRUE(flag());
    EXPECT_EQ(calls("is_suspended"), std::vector<std::string>{"000001.XSHE start_date=20261118 end_date=20261120"});
    EXPECT_EQ(members(file()), keys({20261116, 20261118, 20261119, 20261120}));
    expect_day(20261118, ins_);
    const h5::File f = h5::File::open(file(), h5::File::Access::ReadOnly);
    const h5::Dataset empty = f.open_dataset("20261119");
    EXPECT_EQ(empty.rows(), 0u);
    EXPECT_TRUE(empty.filters().empty());
    EXPECT_TRUE(empty.file_type().equals(layout::H5TicksLoader::DTYPES().id()));
}

TEST_F(AppendTickTest, OtherTypesAreNotAskedForSuspensions) {
    ins_.type = "Future";
    ins_.open_interest = true;
    ins_.suspended = {20261117};
    end_date_is(20261118);
    update();
    EXPECT_EQ(client().count("is_suspended"), 0u);
    EXPECT_EQ(members(file()), keys({20261116, 20261118}));
    expect_day(20261118, ins_);
}

TEST_F(AppendTickTest, StrayMemberAfterTheDaysIsADamagedFile) {
    store({20261116}, {"zz_notes"});
    end_date_is(20261120);
    update();
    EXPECT_FALSE(flag());
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(log_[0].rfind("error:更新 " + file() + kDamaged, 0), 0u) << log_[0];
    EXPECT_EQ(client().count("get_price"), 0u);
    EXPECT_EQ(members(file()), (std::vector<std::string>{"20261116", "zz_notes"}));
}

TEST_F(AppendTickTest, StrayMemberBeforeTheDaysIsIgnored) {
    store({20261116}, {"-notes", ".tmp-2026"});
    end_date_is(20261117);
    update();
    EXPECT_TRUE(flag());
    EXPECT_EQ(members(file()), (std::vector<std::string>{"-notes", ".tmp-2026", "20261116", "20261117"}));
}

TEST_F(AppendTickTest, PermissionDeniedIsLoggedWithItsOwnText) {
    client().fail("get_price", std::make_exception_ptr(service::PermissionDenied("no tick rights")));
    end_date_is(20261120);
    update();
    EXPECT_FALSE(flag());
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(log_[0],
              "error:更新 " + file() + " 失败，您没有相关数据的使用权限，可联系Quorvane开通相关权限：0000-00000000");
}

TEST_F(AppendTickTest, PermissionDeniedOnTicksKeepsTheDaysBefore) {
    ins_.trading_days = weekdays_from(20250101, 150);
    end_date_is(ins_.trading_days.back());
    ins_.serve(client());
    // Day bars, first tick block, then the second tick block is refused.
    client().fail("get_price", std::make_exception_ptr(service::PermissionDenied("no")), 2);
    _append_h5_tick(ins_.id, dir_.str(), std::nullopt, 20250101);
    EXPECT_FALSE(flag());
    EXPECT_EQ(members(file()).size(), 100u);
}

TEST_F(AppendTickTest, ServiceOsErrorIsLoggedAsAFileSystemProblem) {
    client().fail("get_price", std::make_exception_ptr(OsError(OsError::Kind::Other, 5, "connection lost")));
    end_date_is(20261120);
    update();
    EXPECT_FALSE(flag());
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(log_[0], "error:更新 " + file() + kOsError + "connection lost");
}

TEST_F(AppendTickTest, UnknownInstrumentIsLoggedAsADamagedFile) {
    store({20261116});
    end_date_is(20261117);
    ins_.serve(client());
    client().on_instruments = nullptr;  // the look-up gives "none"
    _append_h5_tick(ins_.id, dir_.str(), std::nullopt, 20261116);
    EXPECT_FALSE(flag());
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_NE(log_[0].find(kDamaged + "标的 000001.XSHE 不存在"), std::string::npos) << log_[0];
    EXPECT_EQ(members(file()), keys({20261116}));
    expect_day(20261116, ins_);
}

TEST_F(AppendTickTest, UnknownInstrumentGetsNoNewFileAndRaises) {
    end_date_is(20261117);
    ins_.serve(client());
    client().on_instruments = nullptr;  // the look-up gives "none"
    EXPECT_THROW(_append_h5_tick(ins_.id, dir_.str(), std::nullopt, 20261116), ValueError);
    EXPECT_FALSE(fs::exists(file())) << "an empty file would look like an updated one";
    EXPECT_EQ(client().count("get_price"), 0u);
    // A rebuild would delete the file first: it is refused before that.
    store({20261116});
    EXPECT_THROW(_append_h5_tick(ins_.id, dir_.str(), std::nullopt, 20261116, true), ValueError);
    EXPECT_EQ(members(file()), keys({20261116}));
}

TEST_F(AppendTickTest, SuspendedDaysAreMarkedInDateOrderAmongTheTickDays) {
    ins_.suspended = {20261117, 20261120};
    std::vector<std::string> made;
    testing::set_step_hook([&](std::string_view step, int day) {
        if (step == "suspended_marked" || step == "day_done") made.push_back(std::to_string(day));
    });
    end_date_is(20261123);
    update();
    EXPECT_TRUE(flag());
    EXPECT_EQ(made, (std::vector<std::string>{"20261116", "20261117", "20261118", "20261119", "20261120", "20261123"}));
    EXPECT_EQ(members(file()), keys({20261116, 20261117, 20261118, 20261119, 20261120, 20261123}));
}

TEST_F(AppendTickTest, FileHeldByAnotherProcessIsAFileSystemProblem) {
    store({20261116});
    test::ChildProcess holder([&](test::ChildProcess& self) {
        h5::File held = h5::File::open(file(), h5::File::Access::ReadOnly);
        self.ready();
        pause();
        return 0;
    });
    ASSERT_TRUE(holder.wait_ready());
    end_date_is(20261120);
    // A reader delays only the commit, which is given up after the commit wait.
    const test::ScopedEnvVar short_wait("TARNWICK_COMMIT_WAIT_SECONDS", "0.3");
    update();
    EXPECT_FALSE(flag());
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(log_[0].rfind("error:更新 " + file() + kOsError, 0), 0u) << log_[0];
    EXPECT_EQ(members(file()), keys({20261116})) << "rolled back";
}

TEST_F(AppendTickTest, RebuildStartsAgainFromMinStartDate) {
    store({20261120}, {"zz_notes"});
    end_date_is(20261118);
    update(/*rebuild=*/true);
    EXPECT_TRUE(flag());
    EXPECT_EQ(members(file()), keys({20261116, 20261117, 20261118}));
}

// A rebuild puts a new file in place of the old one only once it is complete: a refused fetch,
// of the day bars or of a later block of ticks, or a stop leaves the old file byte for byte.
TEST_F(AppendTickTest, FailedRebuildLeavesTheOldFileAsItWas) {
    const auto bytes = [this] {
        std::ifstream in(file(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    ins_.trading_days = weekdays_from(20250101, 150);
    end_date_is(ins_.trading_days.back());
    // The price query refused after `passed` others (day bars, ticks of 100 days, the next
    // block); -1: stopped after the first day instead.
    for (const int passed : {0, 1, 2, -1}) {
        SCOPED_TRACE(passed);
        store({20250101, 20250102});
        const std::string before = bytes();
        ins_.serve(client());
        client().fail("get_price", passed < 0 ? nullptr : std::make_exception_ptr(service::PermissionDenied("no")),
                      passed);
        testing::set_step_hook([&](std::string_view step, int) {
            if (passed < 0 && step == "day_done") throw host::Interrupted(SIGTERM);
        });
        try { _append_h5_tick(ins_.id, dir_.str(), std::nullopt, 20250101, /*rebuild=*/true); } catch (const host::Interrupted&) {}
        EXPECT_FALSE(host::sval().value() && passed >= 0);
        EXPECT_TRUE(bytes() == before) << "the old file changed";
        EXPECT_FALSE(fs::exists(file() + ".tmp"));
        testing::set_step_hook(nullptr);
    }
}

TEST_F(AppendTickTest, GivenFileNameIsUsedAsItIs) {
    end_date_is(20261116);
    ins_.serve(client());
    _append_h5_tick(ins_.id, (dir_ / "deeper" / "ticks").string(), std::string("custom"), 20261116);
    EXPECT_TRUE(flag());
    EXPECT_EQ(members((dir_ / "deeper" / "ticks" / "custom").string()), keys({20261116}));
    EXPECT_FALSE(fs::exists(dir_ / "deeper" / "ticks" / "000001.XSHE.h5"));
}

TEST_F(AppendTickTest, ErrorsBeforeTheFileIsOpenedPropagate) {
    // The tick folder cannot be made: a file stands where it should be.
    std::ofstream(dir_ / "blocker") << "x";
    ins_.serve(client());
    EXPECT_THROW(_append_h5_tick(ins_.id, (dir_ / "blocker" / "ticks").string()), OsError);
    EXPECT_TRUE(flag());
    EXPECT_TRUE(log_.empty());
}

// A failure at any step of replacing the newest stored day leaves that day whole: the old
// records until the day's commit, the new ones after it.
TEST_F(AppendTickTest, FailedReplacementLeavesTheOldOrTheNewDay) {
    const std::vector<std::pair<std::string, bool>> steps = {
        {"old_unlinked", false}, {"day_written", false}, {"day_done", true}};
    for (const auto& [failing_step, new_expected] : steps) {
        SCOPED_TRACE(failing_step);
        log_.clear();
        client().calls.clear();
        host::process_init(std::make_shared<host::SharedFlag>(true));
        ins_.version = 0;
        store({20261116, 20261117});
        ins_.version = 1;
        testing::set_step_hook([&, failing_step = failing_step](std::string_view step, int day) {
            if (step == failing_step && day == 20261117) throw std::runtime_error("injected at " + std::string(step));
        });
        end_date_is(20261118);
        update();
        testing::set_step_hook(nullptr);
        EXPECT_FALSE(host::sval().value());
        ASSERT_EQ(log_.size(), 1u);
        EXPECT_NE(log_[0].find("injected at " + failing_step), std::string::npos);
        EXPECT_NE(log_[0].find("stored up to 2026-11-17"), std::string::npos) << log_[0];
        EXPECT_EQ(members(file()), keys({20261116, 20261117}));
        ScriptedInstrument old = ins_;
        old.version = 0;
        expect_day(20261117, new_expected ? ins_ : old);
    }
}

TEST_F(AppendTickTest, FailureWritingANewDayLeavesNoTraceOfIt) {
    store({20261116});
    testing::set_step_hook([](std::string_view step, int day) {
        if (step == "day_written" && day == 20261118) throw std::runtime_error("injected");
    });
    end_date_is(20261119);
    update();
    EXPECT_FALSE(flag());
    EXPECT_EQ(members(file()), keys({20261116, 20261117}));
}

// In a pool worker commits wait to be made durable in groups. A stop or a failure there keeps
// every day whose commit was made (one commit a day), leaves no member that is not a day, and
// says how far the file got.
TEST_F(AppendTickTest, StoppedOrFailedUpdateInAWorkerKeepsItsFinishedDays) {
    // The fault comes at this step of 19 Nov (of 18 Nov for "day_done"): a stop request or an error.
    struct Case { std::string step; bool stop; };
    for (const Case& c : {Case{"day_done", true}, Case{"day_done", false}, Case{"day_written", false}, Case{"day_written", true}}) {
        SCOPED_TRACE(c.step + (c.stop ? " stop" : " failure"));
        fs::remove_all(dir_.path());
        fs::create_directories(dir_.path());
        log_.clear();
        host::process_init(std::make_shared<host::SharedFlag>(true));
        h5::defer_commits(true);
        const int fault_day = c.step == "day_done" ? 20261118 : 20261119;
        testing::set_step_hook([&](std::string_view step, int day) {
            if (step != c.step || day != fault_day) return;
            if (c.stop) throw host::Interrupted(SIGTERM);
            throw std::runtime_error("injected");
        });
        end_date_is(20261123);
        if (c.stop) { EXPECT_THROW(update(), host::Interrupted); } else { update(); }
        h5::defer_commits(false);  // as the worker settles its group when it ends
        testing::set_step_hook(nullptr);
        EXPECT_EQ(members(file()), keys({20261116, 20261117, 20261118}));
        expect_day(20261118, ins_);
        EXPECT_EQ(host::sval().value(), c.stop);  // a stop is reported by the run, not through the flag
        ASSERT_EQ(log_.size(), 1u);
        EXPECT_NE(log_[0].find("stored up to 2026-11-18"), std::string::npos) << log_[0];
    }
}

TEST_F(AppendTickTest, InterruptedReplacementsAreFinishedBeforeTheUpdate) {
    // As an earlier version's stopped update left them. A temporary next to its day may be
    // incomplete: it goes. A temporary alone replaced a day already unlinked: it becomes that day.
    {
        h5::File f = h5::File::create(file());
        ScriptedInstrument newer = ins_;
        newer.version = 1;
        write_day_directly(f, "20261116", ins_.expected(20261116));
        write_day_directly(f, temporary_member("20261116"), newer.expected(20261116));
        write_day_directly(f, temporary_member("20261117"), newer.expected(20261117));
    }
    end_date_is(20261116);  // before the newest day once the temporary is in place: no fetch
    update();
    EXPECT_TRUE(flag());
    EXPECT_TRUE(client().calls.empty());
    EXPECT_EQ(members(file()), keys({20261116, 20261117}));
    expect_day(20261116, ins_);
    ScriptedInstrument newer = ins_;
    newer.version = 1;
    expect_day(20261117, newer);
}

TEST_F(AppendTickTest, TemporaryMemberNamesAreRecognisedExactly) {
    EXPECT_EQ(day_of_temporary_member(temporary_member("20261116")), std::optional<std::string>("20261116"));
    EXPECT_LT(temporary_member("20261116"), std::string("00000000"));
    EXPECT_FALSE(day_of_temporary_member("20261116"));
    EXPECT_FALSE(day_of_temporary_member(".tmp-2026111"));
    EXPECT_FALSE(day_of_temporary_member(".tmp-2026111x"));
    EXPECT_FALSE(day_of_temporary_member(".tmp-202611160"));
}

TEST_F(AppendTickTest, RepeatingAnUpdateChangesNothing) {
    end_date_is(20261127);
    update();
    const auto first = read_all_days(file());
    client().calls.clear();
    update();
    EXPECT_TRUE(flag());
    EXPECT_EQ(read_all_days(file()), first);
    EXPECT_EQ(calls("get_price").front(),
              "000001.XSHE start_date=20261127 end_date=20261127 frequency=1d adjust_type=none");
}

TEST(TickChunks, WholeDayUpToTheCap) {
    EXPECT_EQ(chunk_rows(4800, 248), 4800u);
    EXPECT_EQ(chunk_rows(16912, 248), 16912u);  // 4 MiB / 248 bytes
    EXPECT_EQ(chunk_rows(20000, 248), 16912u);
    EXPECT_EQ(chunk_rows(1, 248), 1u);
    EXPECT_EQ(chunk_rows(0, 248), 1u);  // HDF5 refuses chunks of zero rows
    EXPECT_EQ(chunk_rows(5, 8 << 20), 1u);
}

}  // namespace
}  // namespace tarnwick::bundle::tick
