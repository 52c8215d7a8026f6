// End to end: a store update whose writes fail (here: the process may not grow a file past a
// limit, which fails writes the way a full disk does) fails loudly, loses nothing a file held
// (each file is rolled back to its last committed step), and the next run ends where an
// undisturbed run ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

#include <fmt/format.h>

#include "support/store_contents.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/layout/paths.hpp"

namespace tarnwick::bundle {
namespace {

namespace fs = std::filesystem;

struct CliRun {
    int status = -1;
    std::string out;
};

// Runs the command line under bash, with `limit_kib` (negative: none) as the largest file it may write.
CliRun run_cli(const std::string& environment, const std::string& arguments, std::intmax_t limit_kib = -1) {
    const std::string limit = limit_kib >= 0 ? fmt::format("trap '' XFSZ; ulimit -f {}; ", limit_kib) : "";
    const std::string command =
        fmt::format("bash -c \"{}{} exec {} {}\" 2>&1", limit, environment, TARNWICK_CLI, arguments);
    CliRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The datasets of `earlier` that `later` does not continue: each must still be there and start
// with the same records (an update only adds records, or replaces a day by the same day).
// Temporary tick members of an unfinished day replacement are not data.
std::string not_continued(const std::map<std::string, std::string>& earlier,
                          const std::map<std::string, std::string>& later) {
    std::string text;
    for (const auto& [name, bytes] : earlier) {
        if (name.find(":.tmp-") != std::string::npos) continue;
        const auto other = later.find(name);
        if (other == later.end())
            text += " missing:" + name;
        else if (!other->second.starts_with(bytes))
            text += fmt::format(" changed:{}({}B/{}B)", name, bytes.size(), other->second.size());
    }
    return text;
}

std::uintmax_t largest_file(const fs::path& root) {
    std::uintmax_t largest = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) largest = std::max(largest, entry.file_size());
    return largest;
}

std::vector<std::string> leftovers(const fs::path& root) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".journal") || name.ends_with(".tmp")) found.push_back(name);
    }
    return found;
}

struct Case {
    const char* command;
    const char* folder;
    const char* first_now;
};

class StoreWriteErrors : public ::testing::TestWithParam<Case> {};

TEST_P(StoreWriteErrors, FailedWritesLoseNothingAndTheRerunCatchesUp) {
    const Case c = GetParam();
    test::TempDir dir;
    const fs::path store = dir / "bundle" / c.folder;
    const std::string ids = " 000001.XSHE IF2612 -j 1";
    const std::string later = "TARNWICK_NOW='2026-12-04 18:00:00'";
    ASSERT_EQ(
        run_cli(fmt::format("TARNWICK_NOW='{}'", c.first_now), fmt::format("{} {}{}", c.command, store.string(), ids))
            .status,
        0);
    const auto before = test::store_contents(store);

    // A new file that cannot be written at all (as on a full disk) does not stay behind empty.
    const fs::path fresh = dir / "fresh" / c.folder;
    const CliRun full =
        run_cli(later + " TARNWICK_SKIP_SPACE_CHECK=1", fmt::format("{} {}{}", c.command, fresh.string(), ids), 0);
    EXPECT_EQ(full.status, 1) << full.out;
    EXPECT_TRUE(leftovers(fresh).empty()) << fmt::format("{}", fmt::join(leftovers(fresh), " "));

    const fs::path reference = dir / "reference";
    fs::copy(store, reference, fs::copy_options::recursive);
    ASSERT_EQ(run_cli(later, fmt::format("{} {}{}", c.command, reference.string(), ids)).status, 0);
    const auto expected = test::store_contents(reference);
    ASSERT_NE(expected, before);

    // Room for a few KiB more than the largest file holds: every append fails part-way.
    const CliRun failed =
        run_cli(later + " TARNWICK_SKIP_SPACE_CHECK=1", fmt::format("{} {}{}", c.command, store.string(), ids),
                largest_file(store) / 1024 + 4);
    EXPECT_EQ(failed.status, 1) << failed.out;
    EXPECT_NE(failed.out.find("失败，File too large (errno 27)"), std::string::npos) << failed.out;
    EXPECT_TRUE(leftovers(store).empty()) << fmt::format("{}", fmt::join(leftovers(store), " "));
    // Nothing stored before is lost or changed; what the failed run committed is a step on
    // the way to the undisturbed result.
    const auto after_failure = test::store_contents(store);
    EXPECT_EQ(not_continued(before, after_failure), "");
    EXPECT_EQ(not_continued(after_failure, expected), "");

    const CliRun rerun = run_cli(later, fmt::format("{} {}{}", c.command, store.string(), ids));
    EXPECT_EQ(rerun.status, 0) << rerun.out;
    const auto after_rerun = test::store_contents(store);
    EXPECT_TRUE(after_rerun == expected) << not_continued(expected, after_rerun)
                                         << not_continued(after_rerun, expected);
}

INSTANTIATE_TEST_SUITE_P(MinuteBarsAndTicks, StoreWriteErrors,
                         ::testing::Values(Case{"update-minbar", "h5", "2026-11-02 18:00:00"},
                                           Case{"update-tick", "ticks", "2026-11-18 18:00:00"}),
                         [](const auto& info) {
                             return std::string(info.param.folder == std::string("h5") ? "MinuteBars" : "Ticks");
                         });

TEST(StoreWriteErrors, ShortFreeSpaceIsAClearErrorBeforeAnyWrite) {
    test::TempDir dir;
    const std::string file = (dir / "000001.XSHE.h5").string();
    EXPECT_NO_THROW(layout::reserve_free_space(file, 1 << 20));
    try {
        layout::reserve_free_space(file, std::uint64_t{1} << 60);
        ADD_FAILURE() << "an exbibyte fits";
    } catch (const OsError& e) {
        EXPECT_EQ(e.error_number(), ENOSPC);
        EXPECT_NE(std::string(e.what()).find("MiB are free there"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace tarnwick::bundle
