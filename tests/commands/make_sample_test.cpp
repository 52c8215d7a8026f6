// A sample archive built from the simulated market installs with download_simple_bundle and
// passes both checks.
#include "tarnwick/bundle/commands/make_sample.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/archives.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/checks/minbar_check.hpp"
#include "tarnwick/bundle/checks/tick_check.hpp"
#include "tarnwick/bundle/commands/sample.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace tarnwick::bundle::commands {
namespace {

namespace fs = std::filesystem;

TEST(MakeSample, ArchiveInstallsAndPassesTheChecks) {
    host::set_clock(host::make_datetime(2026, 11, 20, 18, 0));
    auto previous_client = service::install(std::make_unique<service::SimulatedMarket>());
    std::string out;
    auto previous_console = host::set_console({[&](const std::string& t) { out += t; }, nullptr});

    test::TempDir dir;
    const std::string archive = (dir / SAMPLE_ARCHIVE_NAME).string();
    ASSERT_TRUE(make_sample_archive(archive, 2));
    ASSERT_TRUE(fs::exists(archive));
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename(), SAMPLE_ARCHIVE_NAME) << "scratch files must be gone";

    // What the scratch bundle was asked to hold is not packed, and a bundle's own record stays.
    for (const auto& member : test::list_tar_with_python(archive))
        EXPECT_FALSE(member.name.starts_with(".tarnwick")) << member.name;
    const std::string root = (dir / "root").string();
    const fs::path record = fs::path(root) / "bundle/.tarnwick/selection.json";
    test::write_file(record, "mine");
    download_simple_bundle(root, true, archive);
    EXPECT_EQ(test::read_file(record), "mine");
    const fs::path theirs = dir / "theirs" / SAMPLE_ARCHIVE_NAME;
    fs::create_directories(theirs.parent_path());
    test::write_tar_with_python(
        theirs,
        {{"dir", ".tarnwick", ""}, {"file", ".tarnwick/selection.json", "theirs"}, {"file", "extra.txt", "installed"}});
    download_simple_bundle(root, true, theirs.string());
    EXPECT_EQ(test::read_file(record), "mine");
    EXPECT_EQ(test::read_file(fs::path(root) / "bundle/extra.txt"), "installed");
    EXPECT_TRUE(fs::exists(fs::path(root) / "bundle" / "h5" / "future" / "IF2612.h5"));
    EXPECT_TRUE(fs::exists(fs::path(root) / "bundle" / "ticks" / "000001.XSHE.h5"));
    EXPECT_TRUE(fs::exists(archive)) << "a local archive is kept";

    const auto minbar = checks::examine_min_bar_files(root);
    ASSERT_TRUE(minbar);
    EXPECT_EQ(minbar->error_file_path_list.size() + minbar->blocking_or_permission_error.size(), 0u);
    const auto tick = checks::examine_tick_files(root);
    ASSERT_TRUE(tick);
    EXPECT_EQ(tick->error_file_path_list.size() + tick->blocking_or_permission_error.size(), 0u);

    host::set_console(previous_console);
    service::install(std::move(previous_client));
    host::set_clock(std::nullopt);
}

}  // namespace
}  // namespace tarnwick::bundle::commands
