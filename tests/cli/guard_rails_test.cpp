// End to end: the command line's exit statuses, refusals and settings, against the simulated
// market in a temporary folder.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "support/temp_dir.hpp"
#include "tarnwick/bundle/formats/npy.hpp"
#include "tarnwick/bundle/h5/h5.hpp"

namespace tarnwick::bundle {
namespace {

namespace fs = std::filesystem;

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string read_text(const fs::path& file) {
    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    return text.str();
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Runs the command line with `environment` (shell assignments) in front, `input` on standard
// input; standard output and error are kept apart.
class Cli : public ::testing::Test {
protected:
    CliRun run(const std::string& environment, const std::string& arguments, const std::string& input = "") {
        const fs::path in = scratch_ / "stdin.txt";
        const fs::path err = scratch_ / "stderr.txt";
        std::ofstream(in) << input;
        const std::string command = fmt::format("cd {} && env TARNWICK_LOG_FILE= {} {} {} <{} 2>{}", dir.str(),
                                                environment, TARNWICK_CLI, arguments, in.string(), err.string());
        CliRun result;
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) return result;
        char buffer[4096];
        while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) result.out.append(buffer, n);
        const int status = pclose(pipe);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.err = read_text(err);
        return result;
    }
    // The folder's entries, recursively, as relative paths: "nothing was created" is checked
    // against it.
    std::set<std::string> tree() const {
        std::set<std::string> out;
        for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
            out.insert(fs::relative(entry.path(), dir.path()).string());
        return out;
    }
    std::string root() const { return (dir / "root").string(); }
    std::string h5() const { return (dir / "root" / "bundle" / "h5").string(); }
    std::string ticks() const { return (dir / "root" / "bundle" / "ticks").string(); }

    test::TempDir dir;
    test::TempDir scratch_;
};

constexpr const char* EARLY = "TARNWICK_NOW='2026-09-03 18:00:00' TARNWICK_SIM_TICK_FIRST_DATE=20260901";

std::vector<std::string> members(const fs::path& file) {
    return h5::File::open(file.string(), h5::File::Access::ReadOnly).members();
}

// ---- Beijing Stock Exchange ----------------------------------------------------------------

TEST_F(Cli, AllSucceedsWithoutTheExchangeFlagOnBothCommands) {
    const CliRun minbar = run(EARLY, fmt::format("update-minbar {} all -j 2 -q", h5()));
    EXPECT_EQ(minbar.status, 0) << minbar.out << minbar.err;
    const CliRun tick = run(EARLY, fmt::format("update-tick {} all -j 2 -q", ticks()));
    EXPECT_EQ(tick.status, 0) << tick.out << tick.err;
}

TEST_F(Cli, TheExchangeFlagIncludesAndUpdatesItsStocksOnBothCommands) {
    const CliRun named = run(EARLY, fmt::format("update-minbar {} 430047.BJSE --enable-bjse -j 1", h5()));
    EXPECT_EQ(named.status, 0) << named.out << named.err;
    const CliRun stock = run(EARLY, fmt::format("update-minbar {} stock --enable-bjse -j 2", h5()));
    EXPECT_EQ(stock.status, 0) << stock.out << stock.err;
    EXPECT_NE(stock.out.find("'430047.BJSE'"), std::string::npos) << stock.out;
    for (const char* id : {"430047.BJSE", "830799.BJSE"}) {
        const fs::path file = fs::path(h5()) / "equities" / (std::string(id) + ".h5");
        ASSERT_TRUE(fs::exists(file)) << file;
        EXPECT_EQ(members(file), (std::vector<std::string>{"data", "index"}));
    }
    // Without the flag "stock" leaves them out, as before.
    const CliRun plain = run(EARLY, fmt::format("update-minbar {} stock -j 2", h5()));
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out.find("BJSE"), std::string::npos) << plain.out;

    const CliRun tick = run(EARLY, fmt::format("update-tick {} 430047.BJSE --enable-bjse -j 1", ticks()));
    EXPECT_EQ(tick.status, 0) << tick.out << tick.err;
    const auto days = members(fs::path(ticks()) / "430047.BJSE.h5");
    ASSERT_FALSE(days.empty()) << "an empty file is no update";
    EXPECT_EQ(days.back(), "20260903");
}

// ---- nothing resolved, nothing asked -------------------------------------------------------

TEST_F(Cli, NothingResolvedOrNothingAskedIsExitOneWithAReason) {
    const CliRun typo = run(EARLY, fmt::format("update-minbar {} stocks -j 1", h5()));
    EXPECT_EQ(typo.status, 1);
    EXPECT_NE(typo.out.find("不支持的参数值:[stocks]"), std::string::npos) << typo.out;
    EXPECT_NE(typo.out.find("开始更新 0 只标的的分钟线数据：set()\n"), std::string::npos) << typo.out;
    EXPECT_EQ(count(typo.err, "tarnwick-bundle: no instrument matched the given tags; nothing was updated\n"), 1u)
        << typo.err;

    const CliRun tick_typo = run(EARLY, fmt::format("update-tick {} 000001.XSHEE -j 1", ticks()));
    EXPECT_EQ(tick_typo.status, 1);

    const CliRun nothing = run(EARLY, "update " + root());
    EXPECT_EQ(nothing.status, 1);
    EXPECT_EQ(nothing.out, "");
    EXPECT_EQ(nothing.err, "tarnwick-bundle: nothing to update: give --base, --minbar TAGS or --tick TAGS\n");

    const CliRun minbar_typo = run(EARLY, fmt::format("update {} --minbar stocks --tick 000001.XSHE -j 1", root()));
    EXPECT_EQ(minbar_typo.status, 1);
    EXPECT_NE(minbar_typo.err.find("no instrument matched the --minbar tags"), std::string::npos) << minbar_typo.err;
    EXPECT_EQ(minbar_typo.err.find("--tick tags"), std::string::npos) << minbar_typo.err;
    EXPECT_TRUE(fs::exists(fs::path(ticks()) / "000001.XSHE.h5"));

    const CliRun fine = run(EARLY, fmt::format("update {} --minbar 000001.XSHE -j 1", root()));
    EXPECT_EQ(fine.status, 0) << fine.err;

    // A run that fails fails the whole update, whichever of them it is.
    for (const char* arguments :
         {"--minbar 000002.XSHE --tick 000001.XSHE", "--minbar 000001.XSHE --tick 000002.XSHE"}) {
        const CliRun refused = run(std::string(EARLY) + " TARNWICK_SIM_DENY=000002.XSHE",
                                   fmt::format("update {} {} -j 1 -q", root(), arguments));
        EXPECT_EQ(refused.status, 1) << arguments << "\n" << refused.err;
    }
}

// ---- checks --------------------------------------------------------------------------------

TEST_F(Cli, CheckExitsOneUnlessNothingBadIsLeft) {
    const CliRun no_calendar = run(EARLY, "check minbar " + root());
    EXPECT_EQ(no_calendar.status, 1);
    EXPECT_EQ(no_calendar.out, "当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!\n");

    ASSERT_EQ(run(EARLY, fmt::format("update {} --base -j 1 -q", root())).status, 0);
    const CliRun no_data = run(EARLY, "check minbar " + root());
    EXPECT_EQ(no_data.status, 1);
    EXPECT_EQ(no_data.out, "当前目录下不存在分钟数据!\n");

    ASSERT_EQ(run(EARLY, fmt::format("update-minbar {} 000001.XSHE 600000.XSHG -j 1 -q", h5())).status, 0);
    const CliRun good = run(EARLY, "check minbar " + root());
    EXPECT_EQ(good.status, 0) << good.out;
    EXPECT_NE(good.out.find("检测完成：分钟数据质量良好！"), std::string::npos);

    // An empty calendar would pass every file: it counts as missing.
    const std::string calendar = (fs::path(root()) / "bundle" / "trading_dates.npy").string();
    const std::string saved = read_text(calendar);
    formats::write_npy(calendar, std::vector<std::int64_t>{});
    const CliRun empty_calendar = run(EARLY, "check minbar " + root());
    EXPECT_EQ(empty_calendar.status, 1);
    EXPECT_EQ(empty_calendar.out, "当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!\n");
    const CliRun empty_tick_calendar = run(EARLY, "check tick " + root());
    EXPECT_EQ(empty_tick_calendar.status, 1);
    std::ofstream(calendar, std::ios::binary) << saved;

    const fs::path bad = fs::path(h5()) / "equities" / "600000.XSHG.h5";
    std::ofstream(bad, std::ios::binary | std::ios::trunc) << "not hdf5";
    const CliRun kept = run(EARLY, "check minbar " + root(), "no\n");
    EXPECT_EQ(kept.status, 1) << kept.out;
    EXPECT_TRUE(fs::exists(bad));
    const CliRun deleted = run(EARLY, "check minbar " + root(), "yes\n");
    EXPECT_EQ(deleted.status, 0) << deleted.out;
    EXPECT_FALSE(fs::exists(bad));
    const CliRun end_of_input = run(EARLY, "check minbar " + root(), "");
    EXPECT_EQ(end_of_input.status, 0) << "a good bundle asks nothing";
}

// ---- wrong folder level --------------------------------------------------------------------

TEST_F(Cli, WrongFolderLevelsAreRefusedWithAHintBeforeAnythingIsCreated) {
    ASSERT_EQ(run(EARLY, fmt::format("update-minbar {} 000001.XSHE -j 1 -q", h5())).status, 0);
    const auto before = tree();
    struct Case {
        std::string arguments;
        std::string hint;
    };
    const std::string bundle = (fs::path(root()) / "bundle").string();
    const std::vector<Case> cases = {
        {"update-existing " + (dir / "typo").string() + " -j 1", "no bundle folder in"},
        {"update-existing " + bundle + " -j 1", "give the folder that holds it, \"" + root() + "\""},
        {"update-minbar " + root() + " 000001.XSHE -j 1", "give its store folder \"" + h5() + "\""},
        {"update-tick " + root() + " 000001.XSHE -j 1", "give its store folder \"" + ticks() + "\""},
        {"update-minbar " + bundle + " 000001.XSHE -j 1", "give its store folder \"" + h5() + "\""},
        {"update " + bundle + " --minbar 000001.XSHE -j 1", "is a bundle folder"},
        {"check minbar " + bundle, "is a bundle folder"},
        {"status " + bundle, "give the folder that holds it, \"" + root() + "\""},
    };
    for (const auto& c : cases) {
        const CliRun refused = run(EARLY, c.arguments);
        EXPECT_EQ(refused.status, 2) << c.arguments;
        EXPECT_EQ(refused.out, "") << c.arguments;
        EXPECT_EQ(count(refused.err, "\n"), 1u) << refused.err;
        EXPECT_NE(refused.err.find(c.hint), std::string::npos) << c.arguments << "\n" << refused.err;
        EXPECT_EQ(tree(), before) << c.arguments;
    }
}

// ---- commands, version, help ---------------------------------------------------------------

TEST_F(Cli, UnknownCommandsSayWhichAndSuggestTheNearest) {
    const CliRun typo = run("", "updte " + root());
    EXPECT_EQ(typo.status, 2);
    EXPECT_EQ(typo.err, "tarnwick-bundle: unknown command \"updte\" for tarnwick-bundle; did you mean \"update\"?\n");
    const CliRun nested = run("", "check minbr " + root());
    EXPECT_EQ(nested.status, 2);
    EXPECT_NE(nested.err.find("did you mean \"minbar\"?"), std::string::npos) << nested.err;
    const CliRun far = run("", "frobnicate");
    EXPECT_EQ(far.status, 2);
    EXPECT_NE(far.err.find("unknown command \"frobnicate\""), std::string::npos) << far.err;
    EXPECT_EQ(far.err.find("did you mean"), std::string::npos) << far.err;
}

TEST_F(Cli, VersionHelpAndUsage) {
    const CliRun version = run("", "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "tarnwick-bundle 0.1.0\n");

    for (const char* command : {"update-minbar", "update-tick", "update", "update-existing", "make-sample"}) {
        const CliRun help = run("", std::string(command) + " --help");
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_NE(help.out.find("1 to 4096 (default: "), std::string::npos) << command << help.out;
        EXPECT_NE(help.out.find("--quiet"), std::string::npos) << command;
        EXPECT_NE(help.out.find("--log-file"), std::string::npos) << command;
        EXPECT_EQ(help.out.find(TARNWICK_CLI), std::string::npos) << command << help.out;
    }
    for (const char* command : {"check minbar", "download-sample"}) {
        const CliRun help = run("", std::string(command) + " --help");
        EXPECT_NE(help.out.find("--quiet"), std::string::npos) << command;
    }
    const CliRun usage = run("", "--help");
    EXPECT_EQ(usage.status, 0);
    EXPECT_NE(usage.out.find("Usage: tarnwick-bundle [OPTIONS] SUBCOMMAND"), std::string::npos) << usage.out;
    EXPECT_EQ((usage.out + usage.err).find(TARNWICK_CLI), std::string::npos) << usage.out;
}

// ---- the rebuild question ------------------------------------------------------------------

TEST_F(Cli, ARefusedRebuildSaysNothingWasChanged) {
    const std::string question = "本次会将指定的[合约分钟]和[合约tick]的h5文件从头进行更新，是否确认?[Y/n]\n";
    const CliRun refused = run(EARLY, fmt::format("update {} --minbar 000001.XSHE --rebuild -j 1", root()), "n\n");
    EXPECT_EQ(refused.status, 0);
    EXPECT_EQ(refused.out, question);
    EXPECT_EQ(refused.err, "tarnwick-bundle: the rebuild was not confirmed; nothing was changed\n");
    const CliRun three =
        run(EARLY, fmt::format("update {} --minbar 000001.XSHE --rebuild -j 1", root()), "y\nyes\nN\n");
    EXPECT_EQ(three.status, 0);
    EXPECT_EQ(three.out, std::string(question) + question + question);
    EXPECT_EQ(count(three.err, "nothing was changed"), 1u);
    EXPECT_FALSE(fs::exists(fs::path(root()) / "bundle"));

    const CliRun ended = run(EARLY, fmt::format("update {} --minbar 000001.XSHE --rebuild -j 1", root()), "");
    EXPECT_EQ(ended.status, 3);
    EXPECT_EQ(ended.err.find("nothing was changed"), std::string::npos);
}

// ---- settings read once at the start -------------------------------------------------------

TEST_F(Cli, BadSettingsAreReportedOnceAtTheStart) {
    std::ofstream(dir / "plain") << "x";
    const std::string unusable_log = (dir / "plain" / "log.txt").string();
    const std::string log_in_no_folder = (dir / "nowhere" / "log.txt").string();
    const auto before = tree();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {fmt::format("TARNWICK_NOW='2026-09-03 18:00:00' TARNWICK_LOG_FILE={}", unusable_log),
         "cannot open the log file"},
        {fmt::format("TARNWICK_NOW='2026-09-03 18:00:00' TARNWICK_LOG_FILE={}", log_in_no_folder),
         "is not an existing folder"},
        {"TARNWICK_NOW='yesterday'", "TARNWICK_NOW"},
        {"TARNWICK_NOW='2026-13-45 18:00:00'", "TARNWICK_NOW"},
        {"TARNWICK_NOW='9999-12-31 23:59:59'", "after 2999-12-31, the last date of the trading calendar"},
    };
    for (const auto& [environment, text] : cases) {
        const CliRun bad = run(environment, fmt::format("update-minbar {} 000001.XSHE 600000.XSHG -j 2", h5()));
        EXPECT_EQ(bad.status, 2) << environment << "\n" << bad.err;
        EXPECT_EQ(bad.out, "") << environment;
        EXPECT_EQ(count(bad.err, text), 1u) << environment << "\n" << bad.err;
        EXPECT_EQ(count(bad.err, "\n"), 1u) << environment << "\n" << bad.err;
        EXPECT_EQ(tree(), before) << environment;
    }
    const CliRun log_option = run("TARNWICK_NOW='2026-09-03 18:00:00'",
                                  fmt::format("update-minbar {} 000001.XSHE --log-file {}", h5(), unusable_log));
    EXPECT_EQ(log_option.status, 2);
    EXPECT_EQ(count(log_option.err, "cannot open the log file"), 1u) << log_option.err;
    const CliRun no_folder =
        run("TARNWICK_NOW='2026-09-03 18:00:00'", fmt::format("status {} --log-file {}", root(), log_in_no_folder));
    EXPECT_EQ(no_folder.status, 2) << no_folder.err;
    EXPECT_EQ(tree(), before);
}

TEST_F(Cli, AFarFutureClockStopsTheIncrementalUpdateBeforeItStarts) {
    ASSERT_EQ(run(EARLY, fmt::format("update-tick {} 000001.XSHE -j 1 -q", ticks())).status, 0);
    const CliRun far = run("TARNWICK_NOW='9999-12-31 23:59:59'", "update-existing " + root() + " -j 1");
    EXPECT_EQ(far.status, 2) << far.err;
    EXPECT_EQ(far.out, "");
}

// ---- --quiet and --log-file ----------------------------------------------------------------

TEST_F(Cli, QuietHidesTheProgressAndLogFileAppends) {
    const CliRun shown = run(EARLY, fmt::format("update-minbar {} 000001.XSHE 600000.XSHG -j 1", h5()));
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.err.find("(100%)"), std::string::npos) << shown.err;
    const CliRun quiet = run(EARLY, fmt::format("update-minbar {} 000001.XSHE 600000.XSHG -j 1 --quiet", h5()));
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");

    const fs::path log = dir / "run.log";
    std::ofstream(log) << "earlier line\n";
    // A file not made yet, so that its first fetch is refused.
    const CliRun logged =
        run(std::string(EARLY) + " TARNWICK_SIM_DENY=000002.XSHE",
            fmt::format("update-minbar {} 000001.XSHE 000002.XSHE -j 1 -q --log-file {}", h5(), log.string()));
    EXPECT_EQ(logged.status, 1) << logged.out << logged.err;
    const std::string text = read_text(log);
    EXPECT_EQ(text.rfind("earlier line\n", 0), 0u) << text;
    EXPECT_NE(text.find("更新 "), std::string::npos) << text;
    EXPECT_NE(text.find("000002.XSHE"), std::string::npos) << text;
}

}  // namespace
}  // namespace tarnwick::bundle
