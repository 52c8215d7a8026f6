// update_tick: the selection's tick files updated in worker processes, one result for all.
#include <gtest/gtest.h>

#include <filesystem>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/tick/append.hpp"
#include "tarnwick/bundle/tick/driver.hpp"
#include "tick/tick_fixtures.hpp"

namespace tarnwick::bundle::tick {
namespace {

namespace fs = std::filesystem;
using service::SimulatedMarket;
using test_support::at;
using test_support::members;

class UpdateTickTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_console_ = host::set_console({[this](const std::string& text) { console_ += text; }, nullptr});
        use_market({});
    }
    void TearDown() override {
        host::set_clock(std::nullopt);
        host::set_console(std::move(previous_console_));
        service::install(std::move(previous_client_));
    }
    void use_market(SimulatedMarket::Settings settings) {
        auto previous = service::install(std::make_unique<SimulatedMarket>(std::move(settings)));
        if (!previous_client_) previous_client_ = std::move(previous);
        host::set_clock(at(20261118, 18));
    }
    std::string first_line() const { return console_.substr(0, console_.find('\n')); }

    test::TempDir dir_;
    std::string console_;

private:
    std::unique_ptr<service::Client> previous_client_;
    host::ConsoleHooks previous_console_;
};

TEST_F(UpdateTickTest, CreatesTheFolderAnnouncesAndUpdatesEveryInstrument) {
    const std::string path = (dir_ / "bundle" / "ticks").string();
    EXPECT_TRUE(update_tick(path, {"IF2612", "000001.XSHE", "000002.XSHE"}, false, 2));
    EXPECT_EQ(first_line(), "开始更新 3 只标的的tick数据：{'000001.XSHE', '000002.XSHE', 'IF2612'}");
    for (const std::string id : {"000001.XSHE", "000002.XSHE", "IF2612"}) {
        ASSERT_TRUE(fs::exists(path + "/" + id + ".h5")) << id;
        const auto names = members(path + "/" + id + ".h5");
        ASSERT_FALSE(names.empty()) << id;
        EXPECT_EQ(names.back(), "20261118") << id;
    }
}

TEST_F(UpdateTickTest, OneRefusedInstrumentFailsTheRunButNotTheOthers) {
    SimulatedMarket::Settings settings;
    settings.deny = {"IF2612"};
    use_market(settings);
    const std::string path = dir_.str();
    EXPECT_FALSE(update_tick(path, {"IF2612", "000001.XSHE"}, false, 2));
    EXPECT_EQ(members(path + "/000001.XSHE.h5").back(), "20261118");
    // The refused instrument's file exists (it was opened) but holds nothing.
    EXPECT_TRUE(members(path + "/IF2612.h5").empty());
}

TEST_F(UpdateTickTest, NothingSelectedIsASuccess) {
    const std::string path = (dir_ / "ticks").string();
    EXPECT_TRUE(update_tick(path, {"stock_not_a_tag"}, false, 1));
    EXPECT_NE(console_.find("开始更新 0 只标的的tick数据：set()\n"), std::string::npos) << console_;
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_TRUE(fs::is_empty(path));
}

TEST_F(UpdateTickTest, RebuildWritesEveryFileAgain) {
    const std::string path = dir_.str();
    {
        h5::File damaged = h5::File::create(path + "/000001.XSHE.h5");
        test_support::write_day_directly(damaged, "zz_not_a_day", {});
    }
    EXPECT_FALSE(update_tick(path, {"000001.XSHE"}, false, 1));
    EXPECT_TRUE(update_tick(path, {"000001.XSHE"}, false, 1, /*rebuild=*/true));
    const auto names = members(path + "/000001.XSHE.h5");
    EXPECT_EQ(names.front(), "20261116");
    EXPECT_EQ(names.back(), "20261118");
}

TEST_F(UpdateTickTest, BadConcurrencyIsRefusedBeforeAnythingHappens) {
    const std::string path = (dir_ / "ticks").string();
    EXPECT_THROW(update_tick(path, {"000001.XSHE"}, false, 0), ValueError);
    EXPECT_TRUE(console_.empty());
    EXPECT_FALSE(fs::exists(path));
}

}  // namespace
}  // namespace tarnwick::bundle::tick
