// Tick files written from the simulated market: read back by the host's Python stack, and the
// same whether written in one update or in many.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <sys/wait.h>

#include <fmt/format.h>

#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/tick/append.hpp"
#include "tick/tick_fixtures.hpp"

namespace tarnwick::bundle::tick {
namespace {

namespace fs = std::filesystem;
using service::SimulatedMarket;
using test_support::at;
using test_support::read_all_days;

class SimulatedTicksTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_client_ = service::install(std::make_unique<SimulatedMarket>(SimulatedMarket::Settings{}));
        previous_console_ = host::set_console({[](const std::string&) {}, nullptr});
        flag_ = std::make_shared<host::SharedFlag>(true);
        host::process_init(flag_);
    }
    void TearDown() override {
        host::set_clock(std::nullopt);
        host::set_console(std::move(previous_console_));
        host::process_init(nullptr);
        service::install(std::move(previous_client_));
    }

    void update_at(const std::string& dir, const std::string& id, host::DateTime clock) {
        host::set_clock(clock);
        _append_h5_tick(id, dir);
        ASSERT_TRUE(flag_->value()) << id << " at " << host::date_to_number(clock);
    }

    test::TempDir dir_;

private:
    std::unique_ptr<service::Client> previous_client_;
    host::ConsoleHooks previous_console_;
    std::shared_ptr<host::SharedFlag> flag_;
};

// Whether a dataset holds ticks (Blosc) or marks a suspension (no filter), for comparisons.
std::map<std::string, std::size_t> filter_counts(const std::string& path) {
    const h5::File file = h5::File::open(path, h5::File::Access::ReadOnly);
    std::map<std::string, std::size_t> counts;
    for (const auto& name : file.members()) counts[name] = file.open_dataset(name).filters().size();
    return counts;
}

TEST_F(SimulatedTicksTest, TenStepUpdateEqualsOneUpdate) {
    // A stock with suspensions (20-23 Oct, 24-25 Nov) and a future with night sessions.
    const std::vector<std::string> ids = {"000002.XSHE", "IF2612"};
    const std::vector<host::DateTime> steps = {
        at(20261116, 16), at(20261117, 18),     at(20261118, 10), at(20261120, 18), at(20261123, 18),
        at(20261124, 18), at(20261125, 17, 45), at(20261127, 18), at(20261130, 9),  at(20261202, 18)};
    const host::DateTime final_clock = at(20261204, 18);
    const std::string stepwise = (dir_ / "steps").string(), at_once = (dir_ / "once").string();
    for (const auto& id : ids) {
        for (const auto& clock : steps) update_at(stepwise, id, clock);
        update_at(stepwise, id, final_clock);
        update_at(at_once, id, final_clock);
    }
    for (const auto& id : ids) {
        SCOPED_TRACE(id);
        const std::string a = stepwise + "/" + id + ".h5", b = at_once + "/" + id + ".h5";
        const auto days = read_all_days(b);
        EXPECT_GE(days.size(), 14u);
        EXPECT_TRUE(read_all_days(a) == days);
        EXPECT_EQ(filter_counts(a), filter_counts(b));
    }
    // The stock's suspended days are empty datasets in both.
    EXPECT_EQ(read_all_days(stepwise + "/000002.XSHE.h5").at("20261124").size(), 0u);
}

// Dumps the service's ticks of [first, last] for the Python check.
void dump_ticks(const std::string& dump_dir, const std::string& prefix, const service::Frame& frame) {
    const auto write = [&](const std::string& name, const void* data, std::size_t bytes) {
        std::ofstream out(dump_dir + "/" + prefix + "." + name, std::ios::binary);
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
    };
    std::vector<std::int64_t> stamps;
    std::vector<std::int32_t> trading;
    for (const auto& t : frame.timestamp) stamps.push_back(t.time_since_epoch().count());
    for (const auto& t : *frame.trading_date) trading.push_back(host::date_to_number(t));
    write("timestamp.i8", stamps.data(), stamps.size() * 8);
    write("trading_date.i4", trading.data(), trading.size() * 4);
    for (const auto& [name, values] : frame.columns) write(name + ".f8", values.data(), values.size() * 8);
}

std::string manifest_entry(const std::string& path, const std::string& prefix, const service::Frame& frame,
                           const std::vector<int>& suspended) {
    std::vector<std::string> names;
    for (const auto& [name, values] : frame.columns) names.push_back("\"" + name + "\"");
    return fmt::format(R"({{"path": "{}", "prefix": "{}", "rows": {}, "columns": [{}], "suspended": [{}]}})", path,
                       prefix, frame.rows(), fmt::join(names, ", "), fmt::join(suspended, ", "));
}

// Runs the Python check; returns its exit status and fills `output`.
int run_python_check(const std::string& manifest, std::string& output) {
    const std::string command =
        fmt::format("{} {}/python/check_tick_files.py {} 2>&1", TARNWICK_PYTHON, TARNWICK_TESTS_DIR, manifest);
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SimulatedTicksTest, HostPythonReadsTheFilesAsWritten) {
    const std::string ticks = (dir_ / "ticks").string();
    const std::string dump = (dir_ / "dump").string();
    fs::create_directories(dump);
    std::vector<std::string> entries;
    for (const std::string id : {"000002.XSHE", "IF2612"}) {
        update_at(ticks, id, at(20261204, 18));
        service::PriceQuery query;
        query.order_book_id = id;
        query.start_date = 20261116;
        query.end_date = 20261204;
        query.frequency = service::Frequency::Tick;
        const auto frame = service::current().get_price(query);
        ASSERT_TRUE(frame.has_value());
        dump_ticks(dump, id, *frame);
        std::vector<int> suspended;
        for (const auto& row : service::current().is_suspended(id, 20260901, 20261204))
            if (row.suspended && id == "000002.XSHE") suspended.push_back(row.date);
        entries.push_back(manifest_entry(ticks + "/" + id + ".h5", id, *frame, suspended));
    }
    const std::string manifest = dump + "/manifest.json";
    std::ofstream(manifest) << fmt::format(R"({{"files": [{}]}})", fmt::join(entries, ", "));

    std::string output;
    EXPECT_EQ(run_python_check(manifest, output), 0) << output;

    // The check is not blind: one ask price off by a tenth of a cent must be caught.
    {
        std::fstream column(dump + "/IF2612.a3.f8", std::ios::in | std::ios::out | std::ios::binary);
        double value = 0;
        column.seekg(8 * 100);
        column.read(reinterpret_cast<char*>(&value), 8);
        value += 0.001;
        column.seekp(8 * 100);
        column.write(reinterpret_cast<const char*>(&value), 8);
    }
    output.clear();
    EXPECT_EQ(run_python_check(manifest, output), 1) << output;
    EXPECT_NE(output.find("field a3"), std::string::npos) << output;
}

}  // namespace
}  // namespace tarnwick::bundle::tick
