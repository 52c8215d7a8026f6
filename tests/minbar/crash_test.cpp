// A minute-bar update killed (SIGKILL) while it writes: the store file must afterwards be either
// absent or readable with every day it held before, no half-written file may pass for a store
// file, and the next update must leave the same file as an update that was never interrupted.
//
// The update runs in a child process against the simulated market with a long history, so that
// writing takes a while; the child signals once its fetch has returned, and the parent kills it
// after a range of delays measured against an uninterrupted run. Fetched tables are cached and
// inherited by the children, so their time goes into converting and writing.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "minbar/minbar_files.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace tarnwick::bundle::minbar {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using layout::EquityBar;
using service::DateTime;

// The simulated market, with price answers cached and a hook run after every price fetch.
class HookedMarket : public service::Client {
public:
    explicit HookedMarket(service::SimulatedMarket::Settings settings) : market_(std::move(settings)) {}

    std::function<void()> after_fetch;

    void init(bool enable_bjse) override { market_.init(enable_bjse); }
    bool bjse_enabled() override { return market_.bjse_enabled(); }
    service::Listing all_instruments() override { return market_.all_instruments(); }
    service::Listing all_instruments(const service::InstrumentType& type) override {
        return market_.all_instruments(type);
    }
    service::Listing all_instruments_hk(const service::InstrumentType& type) override {
        return market_.all_instruments_hk(type);
    }
    service::Listing all_instruments_on(const service::InstrumentType& type, DateTime date) override {
        return market_.all_instruments_on(type, date);
    }
    service::InstrumentLookup instruments(const std::string& id, const std::optional<std::string>& market) override {
        return market_.instruments(id, market);
    }
    service::InstrumentLookup convertible_instruments(const std::vector<std::string>& ids) override {
        return market_.convertible_instruments(ids);
    }
    std::optional<service::Frame> get_price(const service::PriceQuery& q) override {
        const auto key = std::tuple{q.order_book_id, q.start_date, q.end_date, host::date_to_number(host::now())};
        auto it = cache_.find(key);
        if (it == cache_.end()) it = cache_.emplace(key, market_.get_price(q)).first;
        if (after_fetch) after_fetch();
        return it->second;
    }
    void probe_price(const std::string& id) override { market_.probe_price(id); }
    int get_next_trading_date(int date, const std::string& market) override {
        return market_.get_next_trading_date(date, market);
    }
    service::SuspensionTable is_suspended(const std::string& id, int start, int end) override {
        return market_.is_suspended(id, start, end);
    }
    std::vector<int> get_trading_dates(int start, int end) override { return market_.get_trading_dates(start, end); }

private:
    service::SimulatedMarket market_;
    std::map<std::tuple<std::string, int, int, int>, std::optional<service::Frame>> cache_;
};

service::SimulatedMarket::Settings long_history() {
    service::SimulatedMarket::Settings s;
    s.first_date = 20260302;
    return s;
}

class MinbarCrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        host::process_init(std::make_shared<host::SharedFlag>(true));
        auto owned = std::make_unique<HookedMarket>(long_history());
        market_ = owned.get();
        previous_ = service::install(std::move(owned));
    }
    void TearDown() override {
        service::install(std::move(previous_));
        host::set_clock(std::nullopt);
        host::process_init(nullptr);
    }

    // One uninterrupted update in this process; returns how long it spent after its last fetch.
    Clock::duration update(const std::string& id, const std::string& root, DateTime now) {
        host::set_clock(now);
        Clock::time_point fetched{};
        market_->after_fetch = [&] { fetched = Clock::now(); };
        _append_h5(id, root);
        const Clock::duration writing = Clock::now() - fetched;
        market_->after_fetch = nullptr;
        EXPECT_TRUE(host::sval().value());
        return writing;
    }

    // The same update in a child process, killed `delay` after its last fetch returned.
    // True when the kill landed before the update had finished.
    bool update_and_kill(const std::string& id, const std::string& root, DateTime now, Clock::duration delay) {
        test::ChildProcess child([&](test::ChildProcess& self) {
            host::set_clock(now);
            market_->after_fetch = [&] { self.ready(); };
            _append_h5(id, root);
            return host::sval().value() ? 0 : 1;
        });
        EXPECT_TRUE(child.wait_ready());
        std::this_thread::sleep_for(delay);
        child.kill_now();
        const int status = child.wait_exit_status();
        EXPECT_TRUE(status == 0 || status == -SIGKILL) << status;
        return status == -SIGKILL;
    }

    static std::vector<Clock::duration> delays(Clock::duration writing) {
        std::vector<Clock::duration> out;
        for (double f : {0.0, 0.25, 0.5, 0.75, 1.2})
            out.push_back(std::chrono::duration_cast<Clock::duration>(writing * f));
        return out;
    }

    // Only the store file itself may end in ".h5".
    static void expect_no_other_store_file(const fs::path& group_dir, const std::string& id) {
        for (const std::string& name : test::entries(group_dir)) {
            if (name.ends_with(".h5")) {
                EXPECT_EQ(name, id + ".h5");
            }
        }
    }

    template <class Bar>
    void kill_appends(const std::string& id, const std::string& group, DateTime until);

    HookedMarket* market_ = nullptr;
    test::TempDir tmp_;

private:
    std::unique_ptr<service::Client> previous_;
};

const DateTime kNow = host::make_datetime(2026, 11, 20, 18, 0);

TEST_F(MinbarCrashTest, KilledWhileCreatingLeavesNoFileOrACompleteOne) {
    const std::string id = "600000.XSHG";
    const std::string reference_root = (tmp_ / "reference").string();
    const Clock::duration writing = update(id, reference_root, kNow);
    const auto reference = test::read_store<EquityBar>(fs::path(reference_root) / "equities" / (id + ".h5"));
    ASSERT_GT(reference.data.size(), 30000u);

    int interrupted = 0;
    int trial = 0;
    for (const Clock::duration delay : delays(writing)) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        const std::string root = (tmp_ / ("create" + std::to_string(trial++))).string();
        const fs::path group = fs::path(root) / "equities";
        const fs::path file = group / (id + ".h5");
        interrupted += update_and_kill(id, root, kNow, delay);

        expect_no_other_store_file(group, id);
        if (fs::exists(file)) {
            const auto store = test::read_store<EquityBar>(file);
            EXPECT_EQ(store.index, reference.index);
            EXPECT_TRUE(store.data == reference.data);
        }

        update(id, root, kNow);
        const auto store = test::read_store<EquityBar>(file);
        EXPECT_EQ(store.index, reference.index);
        EXPECT_TRUE(store.data == reference.data);
        EXPECT_EQ(test::entries(group), std::vector<std::string>{id + ".h5"});
    }
    // At least the kill right after the fetch must have caught the update at work.
    EXPECT_GT(interrupted, 0);
}

template <class Bar>
void MinbarCrashTest::kill_appends(const std::string& id, const std::string& group_name, DateTime until) {
    // A short file to start from, and one long append to kill.
    const std::string base_root = (tmp_ / "base").string();
    update(id, base_root, host::make_datetime(2026, 3, 13, 18, 0));
    const fs::path base_file = fs::path(base_root) / group_name / (id + ".h5");
    const auto base = test::read_store<Bar>(base_file);
    ASSERT_FALSE(base.index.empty());

    auto copy_base = [&](const std::string& root) {
        fs::create_directories(fs::path(root) / group_name);
        fs::copy_file(base_file, fs::path(root) / group_name / base_file.filename());
    };
    const std::string reference_root = (tmp_ / "reference").string();
    copy_base(reference_root);
    const Clock::duration writing = update(id, reference_root, until);
    const auto reference = test::read_store<Bar>(fs::path(reference_root) / group_name / base_file.filename());
    ASSERT_GT(reference.data.size(), base.data.size() + 20000);

    int interrupted = 0;
    int trial = 0;
    for (const Clock::duration delay : delays(writing)) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        const std::string root = (tmp_ / ("append" + std::to_string(trial++))).string();
        const fs::path group = fs::path(root) / group_name;
        const fs::path file = group / base_file.filename();
        copy_base(root);
        interrupted += update_and_kill(id, root, until, delay);

        expect_no_other_store_file(group, id);
        ASSERT_TRUE(fs::exists(file));
        {
            // What a killed writer left is settled by the next process that opens the file for
            // writing (an update or a check); read before that, HDF5's half-done rewrite of a
            // chunk may show. Settled, the file is as it was or as the whole append made it.
            h5::recover_interrupted_update(file.string());
            const auto store = test::read_store<Bar>(file);
            ASSERT_GE(store.index.size(), base.index.size());
            ASSERT_GE(store.data.size(), base.data.size());
            EXPECT_TRUE(std::equal(base.index.begin(), base.index.end(), store.index.begin()));
            EXPECT_TRUE(std::equal(base.data.begin(), base.data.end(), store.data.begin()));
            EXPECT_TRUE((store.index == base.index && store.data == base.data) ||
                        (store.index == reference.index && store.data == reference.data));
        }

        update(id, root, until);
        const auto store = test::read_store<Bar>(file);
        EXPECT_EQ(store.index, reference.index);
        EXPECT_EQ(store.data.size(), reference.data.size());
        EXPECT_TRUE(store.data == reference.data);
    }
    EXPECT_GT(interrupted, 0);
}

TEST_F(MinbarCrashTest, KilledWhileAppendingToAStockFileKeepsEveryDayAndTheNextUpdateCompletesIt) {
    kill_appends<EquityBar>("600000.XSHG", "equities", kNow);
}

// Night sessions make the repair of an interrupted append cut bars by trading day, not by
// calendar date.
TEST_F(MinbarCrashTest, KilledWhileAppendingToAFuturesFileKeepsEveryDayAndTheNextUpdateCompletesIt) {
    // A shorter history than the stock's: these bars take longer to compress.
    kill_appends<layout::DerivativeBar>("IF2612", "future", host::make_datetime(2026, 7, 31, 18, 0));
}

}  // namespace
}  // namespace tarnwick::bundle::minbar
