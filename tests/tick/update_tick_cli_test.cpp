// End to end: `tarnwick-bundle update-tick` against the simulated market.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include <sys/wait.h>

#include <fmt/format.h>

#include "support/temp_dir.hpp"
#include "tick/tick_fixtures.hpp"

namespace tarnwick::bundle::tick {
namespace {

struct CliRun {
    int status = -1;
    std::string out;
};

CliRun run_cli(const std::string& environment, const std::string& arguments) {
    const std::string command = fmt::format("{} {} update-tick {} 2>/dev/null", environment, TARNWICK_CLI, arguments);
    CliRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(UpdateTickCli, UpdatesTheSelectedFilesAndAnnouncesEachBlock) {
    test::TempDir dir;
    const std::string ticks = (dir / "bundle" / "ticks").string();
    const CliRun run =
        run_cli("TARNWICK_NOW='2026-11-18 18:00:00' TARNWICK_SIM_DENY=", ticks + " 000002.XSHE IF2612 -j 2");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.rfind("开始更新 2 只标的的tick数据：{'000002.XSHE', 'IF2612'}\n", 0), 0u) << run.out;
    // Day bars start on 1 Sep in the simulated market: one block per instrument.
    EXPECT_EQ(count(run.out, "2026-09-01 2026-11-18\n"), 2u) << run.out;
    EXPECT_EQ(test_support::members(ticks + "/IF2612.h5").back(), "20261118");
    EXPECT_EQ(test_support::members(ticks + "/000002.XSHE.h5").front(), "20261020");  // a suspension mark
}

TEST(UpdateTickCli, RefusedDataFailsTheRunWithTheServiceText) {
    test::TempDir dir;
    const std::string log = (dir / "log.txt").string();
    const CliRun run =
        run_cli(fmt::format("TARNWICK_NOW='2026-11-18 18:00:00' TARNWICK_SIM_DENY=IF2612 TARNWICK_LOG_FILE={}", log),
                dir.str() + " IF2612 000001.XSHE -j 1");
    EXPECT_EQ(run.status, 1) << run.out;
    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    EXPECT_NE(text.str().find("更新 " + dir.str() +
                              "/IF2612.h5 失败，您没有相关数据的使用权限，可联系Quorvane开通相关权限："
                              "0000-00000000"),
              std::string::npos)
        << text.str();
    EXPECT_EQ(test_support::members(dir.str() + "/000001.XSHE.h5").back(), "20261118");
}

}  // namespace
}  // namespace tarnwick::bundle::tick
