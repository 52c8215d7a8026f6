// The update drivers' shared mechanism: the announcement, one task per instrument in workers,
// and a result that is false whenever any instrument was not updated.
#include "tarnwick/bundle/drivers/per_instrument.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "support/scoped_env_var.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/minbar/driver.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace tarnwick::bundle::drivers {
namespace {

namespace fs = std::filesystem;
using Ids = std::set<std::string>;

TEST(AbbreviatedSet, EmptyFewManyAndLongIdentifiers) {
    EXPECT_EQ(abbreviated_set({}), "set()");
    EXPECT_EQ(abbreviated_set({"IF2612", "000001.XSHE", "600000.XSHG"}), "{'000001.XSHE', '600000.XSHG', 'IF2612'}");
    EXPECT_EQ(abbreviated_set({"h", "g", "f", "e", "d", "c", "b", "a"}), "{'a', 'b', 'c', 'd', 'e', 'f', ...}");
    EXPECT_EQ(abbreviated_set({"a", "b", "c", "d", "e", "f"}), "{'a', 'b', 'c', 'd', 'e', 'f'}");
    const std::string fits(28, 'x');
    EXPECT_EQ(abbreviated_set({fits}), "{'" + fits + "'}");
    EXPECT_EQ(abbreviated_set({std::string(29, 'x')}), "{'xxxxxxxxxxxx...xxxxxxxxxxxxx'}");
    const std::string long_id = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // As Python's reprlib shows it: 30 characters with the quotes, the identifier's start and end.
    EXPECT_EQ(abbreviated_set({long_id}), "{'ABCDEFGHIJKL...XYZ0123456789'}");
}

// Console and log capture. Workers are forked, so log records are appended to a file that the
// test reads afterwards.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        host::set_clock(host::make_datetime(2026, 12, 7, 18, 0));
        previous_console_ = host::set_console({[this](const std::string& t) { console += t; }, nullptr});
        const std::string log_file = (dir / "log.txt").string();
        previous_log_ = host::system_log().observe([log_file](const std::string&, const std::string& text) {
            std::ofstream(log_file, std::ios::app) << text << "\n<end>\n";
        });
    }
    void TearDown() override {
        host::set_console(previous_console_);
        host::system_log().observe(previous_log_);
        service::install(std::move(previous_client_));
        host::set_clock(std::nullopt);
    }
    void use(std::unique_ptr<service::Client> client) { previous_client_ = service::install(std::move(client)); }
    std::string log() const {
        std::ifstream in((dir / "log.txt").string());
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string root() const { return (dir / "h5").string(); }
    bool has_file(const std::string& group, const std::string& id) const {
        return fs::exists(dir / "h5" / group / (id + ".h5"));
    }

    test::TempDir dir;
    std::string console;
    host::ConsoleHooks previous_console_;
    host::SystemLog::Observer previous_log_;
    std::unique_ptr<service::Client> previous_client_;
};

// The simulated market with one instrument that its listing carries but its look-up does not
// know, one whose fetch kills the worker, and one whose first fetch does (`once` marks it done).
class TroubledMarket : public service::SimulatedMarket {
public:
    explicit TroubledMarket(fs::path once) : once_(std::move(once)) {}
    service::Listing all_instruments() override {
        auto listing = SimulatedMarket::all_instruments();
        listing.push_back({"GHOST.XSHE", host::INSTRUMENT_TYPE::CS, {}, {}, "XSHE"});
        return listing;
    }
    service::InstrumentLookup instruments(const std::string& id, const std::optional<std::string>& market) override {
        if (id == "GHOST.XSHE") return {};
        return SimulatedMarket::instruments(id, market);
    }
    std::optional<service::Frame> get_price(const service::PriceQuery& query) override {
        if (query.order_book_id == "600519.XSHG") ::raise(SIGKILL);
        if (query.order_book_id == "600000.XSHG" && !fs::exists(once_)) {
            std::ofstream(once_.string()) << "killed\n";
            ::raise(SIGKILL);
        }
        return SimulatedMarket::get_price(query);
    }

private:
    fs::path once_;
};

TEST_F(DriverTest, EmptySelectionAnnouncesZeroAndSucceeds) {
    use(std::make_unique<service::SimulatedMarket>());
    EXPECT_TRUE(minbar::update_minbar(root(), {}, false, 2));
    EXPECT_EQ(console, "开始更新 0 只标的的分钟线数据：set()\n");
}

// A dead worker's instruments are tried once more in a new one: those that fail again are
// failures, the rest are updated.
TEST_F(DriverTest, UnknownInstrumentAndDeadWorkerMakeTheResultFalseAndAreLogged) {
    use(std::make_unique<TroubledMarket>(dir / "killed-once"));
    const bool ok =
        minbar::update_minbar(root(), {"000001.XSHE", "GHOST.XSHE", "600519.XSHG", "600000.XSHG", "IF2612"}, false, 2);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(has_file("equities", "000001.XSHE"));
    EXPECT_TRUE(has_file("equities", "600000.XSHG"));
    EXPECT_TRUE(has_file("future", "IF2612"));
    EXPECT_FALSE(has_file("equities", "600519.XSHG"));
    const std::string text = log();
    EXPECT_NE(text.find("更新 GHOST.XSHE 失败\n标的 GHOST.XSHE 不存在"), std::string::npos) << text;
    EXPECT_NE(text.find("更新 600519.XSHG 失败\nworker process was killed by signal 9"), std::string::npos) << text;
    EXPECT_EQ(text.find("更新 600000.XSHG 失败"), std::string::npos) << text;
    EXPECT_EQ(console.rfind("开始更新 5 只标的的分钟线数据：{'000001.XSHE', '600000.XSHG', '600519.XSHG', "
                            "'GHOST.XSHE', 'IF2612'}\n",
                            0),
              0u)
        << console;
    const auto retried = console.find(" instruments whose worker process died are tried again: {");
    ASSERT_NE(retried, std::string::npos) << console;
    const std::string retried_line = console.substr(retried, console.find('\n', retried) - retried);
    EXPECT_NE(retried_line.find("'600000.XSHG'"), std::string::npos) << console;
    EXPECT_NE(retried_line.find("'600519.XSHG'"), std::string::npos) << console;
}

TEST_F(DriverTest, FileHeldByAnotherProcessFailsOnlyThatInstrument) {
    use(std::make_unique<service::SimulatedMarket>());
    host::set_clock(host::make_datetime(2026, 11, 20, 18, 0));
    ASSERT_TRUE(minbar::update_minbar(root(), {"000001.XSHE", "600000.XSHG"}, false, 1));
    const std::string held = (dir / "h5" / "equities" / "000001.XSHE.h5").string();
    const auto rows_before = [&](const std::string& path) {
        return h5::File::open(path, h5::File::Access::ReadOnly).open_dataset("data").rows();
    };
    const hsize_t held_rows = rows_before(held);
    const std::string other = (dir / "h5" / "equities" / "600000.XSHG.h5").string();
    const hsize_t other_rows = rows_before(other);

    test::ChildProcess holder([&](test::ChildProcess& self) {
        h5::File file = h5::File::open(held, h5::File::Access::ReadOnly);
        self.ready();
        pause();
        return 0;
    });
    ASSERT_TRUE(holder.wait_ready());
    host::set_clock(host::make_datetime(2026, 12, 7, 18, 0));
    // A reader delays only the commit of its file, which is given up after the commit wait.
    const test::ScopedEnvVar short_wait("TARNWICK_COMMIT_WAIT_SECONDS", "0.3");
    EXPECT_FALSE(minbar::update_minbar(root(), {"000001.XSHE", "600000.XSHG"}, false, 2));
    holder.kill_now();
    holder.wait_exit_status();

    EXPECT_EQ(rows_before(held), held_rows);
    EXPECT_GT(rows_before(other), other_rows);
    EXPECT_NE(log().find("更新 " + held + " 失败，请检查文件的权限以及是否被其他进程占用\n"), std::string::npos)
        << log();
    EXPECT_NE(console.find("1 instruments whose files readers kept open are tried again: {'000001.XSHE'}\n"),
              std::string::npos)
        << console;
}

TEST_F(DriverTest, ConcurrencyBelowOneFailsBeforeAnythingIsPrinted) {
    use(std::make_unique<service::SimulatedMarket>());
    EXPECT_THROW(minbar::update_minbar(root(), {"000001.XSHE"}, false, 0), ValueError);
    EXPECT_EQ(console, "");
    EXPECT_FALSE(fs::exists(root()));
}

TEST_F(DriverTest, RebuildWritesEveryFileAgain) {
    use(std::make_unique<service::SimulatedMarket>());
    ASSERT_TRUE(minbar::update_minbar(root(), {"000001.XSHE"}, false, 1));
    const std::string path = (dir / "h5" / "equities" / "000001.XSHE.h5").string();
    // Damage the file: a rebuild must not care.
    { std::ofstream(path, std::ios::trunc) << "garbage"; }
    EXPECT_FALSE(minbar::update_minbar(root(), {"000001.XSHE"}, false, 1));
    EXPECT_TRUE(minbar::update_minbar(root(), {"000001.XSHE"}, false, 1, true));
    EXPECT_GT(h5::File::open(path, h5::File::Access::ReadOnly).open_dataset("data").rows(), 0u);
}

}  // namespace
}  // namespace tarnwick::bundle::drivers
