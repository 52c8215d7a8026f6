// A tick update killed with SIGKILL at any moment: the file is absent or opens with every day it
// held before (each old or new, never half-written), and the next update completes it exactly.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "support/child_process.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/tick/append.hpp"
#include "tick/tick_fixtures.hpp"

namespace tarnwick::bundle::tick {
namespace {

namespace fs = std::filesystem;
using service::SimulatedMarket;
using test_support::at;
using test_support::read_all_days;
using test_support::TickRecord;
using Days = std::map<std::string, std::vector<TickRecord>>;

// 000002.XSHE: ticks from 16 Nov, suspended 20-23 Oct and 24-25 Nov, so the update writes new
// days, replaces the newest stored one and marks suspended days.
const std::string kId = "000002.XSHE";
const host::DateTime kBeforeClock = at(20261120, 18);
const host::DateTime kClock = at(20261204, 18);

struct KillPoint {
    std::string step;
    int day;
};

class TickCrashTest : public ::testing::Test {
protected:
    // The uninterrupted results are the same for every test: made once.
    static void SetUpTestSuite() {
        shared_ = new Shared;
        Scope scope;
        shared_->reference = update_into((shared_->dir / "reference").string(), kClock);
        shared_->before = update_into((shared_->dir / "before").string(), kBeforeClock);
    }
    static void TearDownTestSuite() {
        delete shared_;
        shared_ = nullptr;
    }
    void SetUp() override { scope_ = std::make_unique<Scope>(); }
    void TearDown() override { scope_.reset(); }

    // The simulated market as the service, a silent console and a fresh flag, for one scope.
    struct Scope {
        Scope() {
            previous_client = service::install(std::make_unique<SimulatedMarket>(SimulatedMarket::Settings{}));
            previous_console = host::set_console({[](const std::string&) {}, nullptr});
            host::process_init(std::make_shared<host::SharedFlag>(true));
        }
        ~Scope() {
            host::set_clock(std::nullopt);
            host::set_console(std::move(previous_console));
            host::process_init(nullptr);
            service::install(std::move(previous_client));
        }
        std::unique_ptr<service::Client> previous_client;
        host::ConsoleHooks previous_console;
    };
    struct Shared {
        test::TempDir dir;
        Days reference;  // the file after an uninterrupted update at kClock
        Days before;     // the stored file an existing-file update starts from
    };
    static Shared* shared_;

    static Days update_into(const std::string& dir, host::DateTime clock) {
        host::set_clock(clock);
        _append_h5_tick(kId, dir);
        EXPECT_TRUE(host::sval().value());
        return read_all_days(dir + "/" + kId + ".h5");
    }

    // A fresh folder holding the stored file, or nothing for a new file.
    std::string prepare(const std::string& name, bool existing) {
        const fs::path dir = dir_ / name;
        fs::create_directories(dir);
        if (existing) fs::copy_file(shared_->dir / "before" / (kId + ".h5"), dir / (kId + ".h5"));
        return dir.string();
    }

    // What a killed update may leave: no file (new files only), or a file that opens and holds
    // every stored day, each day as stored or as the finished update writes it.
    void expect_consistent_after_kill(const std::string& dir, bool existing, const KillPoint* point) {
        const std::string file = dir + "/" + kId + ".h5";
        if (!fs::exists(file)) {
            EXPECT_FALSE(existing) << "a stored file disappeared";
            return;
        }
        // The next writer (an update or a check) first undoes what the killed one left half
        // done; read before that, HDF5's half-done writes may show.
        h5::recover_interrupted_update(file);
        Days left;
        ASSERT_NO_THROW(left = read_all_days(file)) << "the file does not open or a day does not read";
        const Days& before = existing ? shared_->before : Days{};
        for (const auto& [name, records] : before) {
            ASSERT_TRUE(left.count(name)) << "stored day " << name << " is gone";
        }
        for (const auto& [name, records] : left) {
            EXPECT_TRUE(layout::is_day_member(name)) << "member " << name << " is no day";
            const bool as_before = before.count(name) && before.at(name) == records;
            const bool as_after = shared_->reference.count(name) && shared_->reference.at(name) == records;
            EXPECT_TRUE(as_before || as_after) << "day " << name << " is neither the stored nor the new one";
        }
        // A day whose replacement was flushed survives the kill.
        if (point && (point->step == "day_done")) {
            const std::string key = day_key(point->day);
            ASSERT_TRUE(left.count(key)) << key;
            EXPECT_TRUE(left.at(key) == shared_->reference.at(key)) << key;
        }
    }

    void expect_resumed_update_completes(const std::string& dir) {
        host::set_clock(kClock);
        _append_h5_tick(kId, dir);
        EXPECT_TRUE(host::sval().value());
        const Days after = read_all_days(dir + "/" + kId + ".h5");
        EXPECT_EQ(after.size(), shared_->reference.size());
        EXPECT_TRUE(after == shared_->reference) << "the resumed update differs from an uninterrupted one";
    }

    // Runs the update in a child that kills itself at `point`.
    void kill_at(const std::string& dir, const KillPoint& point) {
        test::ChildProcess child([&](test::ChildProcess&) {
            host::set_clock(kClock);
            testing::set_step_hook([&](std::string_view step, int day) {
                if (step == point.step && day == point.day) std::raise(SIGKILL);
            });
            _append_h5_tick(kId, dir);
            return 0;
        });
        ASSERT_EQ(child.wait_exit_status(), -SIGKILL) << "the update never reached " << point.step << " " << point.day;
    }

    void run_points(const std::vector<KillPoint>& points, bool existing) {
        int n = 0;
        for (const KillPoint& point : points) {
            SCOPED_TRACE(point.step + " " + std::to_string(point.day));
            const std::string dir = prepare((existing ? "existing-" : "new-") + std::to_string(n++), existing);
            kill_at(dir, point);
            expect_consistent_after_kill(dir, existing, &point);
            expect_resumed_update_completes(dir);
        }
    }

    test::TempDir dir_;

private:
    std::unique_ptr<Scope> scope_;
};

TickCrashTest::Shared* TickCrashTest::shared_ = nullptr;

TEST_F(TickCrashTest, NewFileKilledWhileStarting) {
    run_points(
        {{"file_created", 0}, {"suspended_marked", 20261021}, {"day_written", 20261116}, {"day_done", 20261118}},
        /*existing=*/false);
}

TEST_F(TickCrashTest, NewFileKilledLater) {
    run_points({{"day_written", 20261120}, {"day_done", 20261123}, {"suspended_marked", 20261125}, {"day_done", 20261204}},
               /*existing=*/false);
}

TEST_F(TickCrashTest, ExistingFileKilledWhileReplacingItsNewestDay) {
    // 20 Nov is the newest stored day: it is written again.
    run_points({{"old_unlinked", 20261120}, {"day_written", 20261120}, {"day_done", 20261120}},
               /*existing=*/true);
}

TEST_F(TickCrashTest, ExistingFileKilledWhileAddingDays) {
    run_points(
        {{"day_written", 20261123}, {"suspended_marked", 20261124}, {"day_done", 20261126}, {"day_done", 20261204}},
        /*existing=*/true);
}

// Kills at moments nobody chose: wherever the update happens to be.
class TickTimedKillTest : public TickCrashTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TickTimedKillTest, KilledAfterVariousDelays) {
    const bool existing = GetParam();
    int n = 0;
    for (int delay_ms : {0, 3, 10, 25, 50, 90}) {
        SCOPED_TRACE(std::to_string(delay_ms) + " ms");
        const std::string dir = prepare("timed-" + std::to_string(n++), existing);
        test::ChildProcess child([&](test::ChildProcess& self) {
            host::set_clock(kClock);
            self.ready();
            _append_h5_tick(kId, dir);
            return 0;
        });
        ASSERT_TRUE(child.wait_ready());
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        child.kill_now();
        const int status = child.wait_exit_status();
        EXPECT_TRUE(status == -SIGKILL || status == 0) << status;
        expect_consistent_after_kill(dir, existing, nullptr);
        expect_resumed_update_completes(dir);
    }
}

INSTANTIATE_TEST_SUITE_P(NewAndExistingFile, TickTimedKillTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ExistingFile" : "NewFile"; });

}  // namespace
}  // namespace tarnwick::bundle::tick
