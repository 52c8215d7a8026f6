// Guard rails of the host stand-ins: a pool sized by its calls, a bounded clock, the log file
// opened once, and the progress switch.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/host/process_pool.hpp"
#include "tarnwick/bundle/layout/constants.hpp"

namespace tarnwick::bundle::host {
namespace {

namespace fs = std::filesystem;

// The address space of this process in bytes, from /proc/self/statm (pages).
rlim_t address_space() {
    std::ifstream statm("/proc/self/statm");
    unsigned long pages = 0;
    statm >> pages;
    return static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

TEST(PoolSizing, AHugeWorkerCountCostsNothingBeyondTheCalls) {
    // 50 million requested workers for one call, with 256 MiB of address space to spare: a pool
    // that set up a slot per requested worker (8 bytes each) could not even start.
    test::ChildProcess child([](test::ChildProcess&) {
        const rlimit limit{address_space() + (rlim_t{256} << 20), RLIM_INFINITY};
        if (setrlimit(RLIMIT_AS, &limit) != 0) return 10;
        try {
            ProgressedProcessPoolExecutor pool(50'000'000, [] {});
            pool.submit("one", [] {});
            pool.shutdown();
            return pool.failures().empty() && pool.finished() == 1 ? 0 : 11;
        } catch (...) {
            return 12;
        }
    });
    EXPECT_EQ(child.wait_exit_status(), 0);
}

class Clock : public ::testing::Test {
protected:
    void TearDown() override { set_clock(std::nullopt); }
};

TEST_F(Clock, IsBoundedByTheLastDateOfTheCalendar) {
    EXPECT_EQ(LAST_CLOCK_DATE, layout::MAX_END_DATE);
    set_clock(make_datetime(2999, 12, 31, 23, 59, 59));
    EXPECT_EQ(date_to_number(now()), 29991231);
    EXPECT_THROW(set_clock(make_datetime(3000, 1, 1)), ValueError);
    EXPECT_EQ(date_to_number(now()), 29991231) << "a refused setting changes nothing";
    EXPECT_THROW(set_clock(make_datetime(9999, 12, 31, 23, 59, 59)), ValueError);
}

TEST(SystemLog, AFileThatCannotBeOpenedIsAnOsErrorNamingIt) {
    test::TempDir dir;
    std::ofstream(dir / "plain") << "x";
    const std::string unusable = (dir / "plain" / "log.txt").string();
    try {
        set_log_file(unusable);
        FAIL() << "opened a log file inside a regular file";
    } catch (const OsError& error) {
        EXPECT_NE(std::string(error.what()).find(unusable), std::string::npos) << error.what();
    }
    // The log goes on as before and its file appends.
    const fs::path file = dir / "log.txt";
    std::ofstream(file) << "earlier\n";
    set_log_file(file.string());
    system_log().error("更新 x 失败");
    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    EXPECT_EQ(text.str().rfind("earlier\n", 0), 0u);
    EXPECT_NE(text.str().find("更新 x 失败"), std::string::npos);
    set_log_file("");
}

}  // namespace
}  // namespace tarnwick::bundle::host
