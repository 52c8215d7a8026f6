// Power cuts during updates: each run is recorded through the file-system seam, and for many
// cut points the disk a power cut could leave (power_cut.hpp) is rebuilt, settled as the next
// run settles it (an interrupted update's journal is rolled back), and judged with h5py
// (judge_power_cut.py): every file must be at its last committed state or at its new one.
//
// A sample install's commit is judged here too: after the next run settles what the cut left,
// the bundle holds all its old files or all the archive's, and nothing of the install.
//
// TARNWICK_POWER_CUTS sets the cuts per scenario (default 25: about 100 in all); the judge's
// figures (cuts, files judged, torn, days lost) are printed with each scenario. Besides random
// cuts, each scenario is cut just before and just after every sync. A file the run reported
// updated before a cut must hold its new state in that image.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/power_cut.hpp"
#include "support/temp_dir.hpp"
#include "support/test_envs.hpp"
#include "tarnwick/bundle/commands/daybar.hpp"
#include "tarnwick/bundle/commands/install_tree.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/layout/install_record.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/tick/append.hpp"
#include "tick/tick_fixtures.hpp"

namespace tarnwick::bundle {
namespace {

namespace stdfs = std::filesystem;

struct Scenario {
    const char* name;
    std::function<void(const std::string& bundle)> prepare;  // not recorded
    std::function<void(const std::string& bundle)> run;      // recorded, then cut
};

void at(int day, int hour = 18) { host::set_clock(host::make_datetime(2026, 11, day, hour)); }

std::string h5_root(const std::string& bundle) { return bundle + "/h5"; }
std::string tick_root(const std::string& bundle) { return bundle + "/ticks"; }

// Called by a scenario's run when it would report an instrument's file updated (the store
// folder "h5" or "ticks", the instrument).
std::function<void(const std::string& store, const std::string& id)> reported;

// Minute-bar appends as a pool worker makes them, in groups of two, reported once made durable
// (the worker asks after each instrument; the group is settled when full, or at the end).
void appends_in_groups(const std::string& bundle, const std::vector<std::string>& ids) {
    const auto previous = h5::testing::set_deferred_group_limit(2);
    h5::defer_commits(true);
    std::vector<std::string> written;
    for (const std::string& id : ids) {
        minbar::_append_h5(id, h5_root(bundle));
        written.push_back(id);
        if (h5::settle_deferred_commits(&id != &ids.back()))
            for (const std::string& done : std::exchange(written, {})) reported("h5", done);
    }
    h5::defer_commits(false);
    h5::testing::set_deferred_group_limit(previous);
}
const std::vector<std::string> GROUPED_IDS = {"000001.XSHE", "IF2612", "600000.XSHG", "000002.XSHE", "510300.XSHG"};

const Scenario SCENARIOS[] = {
    {"minute_bar_appends",
     [](const std::string& b) {
         at(10);
         for (const char* id : {"000001.XSHE", "IF2612"}) minbar::_append_h5(id, h5_root(b));
     },
     [](const std::string& b) {
         at(20);
         for (const char* id : {"000001.XSHE", "IF2612"}) {
             minbar::_append_h5(id, h5_root(b));
             reported("h5", id);
         }
     }},
    {"minute_bar_appends_in_groups",
     [](const std::string& b) {
         at(10);
         for (const std::string& id : GROUPED_IDS) minbar::_append_h5(id, h5_root(b));
     },
     [](const std::string& b) {
         at(20);
         appends_in_groups(b, GROUPED_IDS);
     }},
    {"new_minute_bar_file",
     [](const std::string& b) {
         at(10);
         minbar::_append_h5("000001.XSHE", h5_root(b));
     },
     [](const std::string& b) {
         at(20);
         minbar::_append_h5("600000.XSHG", h5_root(b));
         reported("h5", "600000.XSHG");
     }},
    {"tick_days",
     [](const std::string& b) {
         at(17);
         tick::_append_h5_tick("000001.XSHE", tick_root(b), std::nullopt, 20261116);
     },
     [](const std::string& b) {
         at(20);
         for (const char* id : {"000001.XSHE", "IF2612"}) {
             tick::_append_h5_tick(id, tick_root(b), std::nullopt, 20261116);
             reported("ticks", id);
         }
     }},
    {"day_bar_files", [](const std::string& b) { at(10), commands::update_daybar(b, true, true, 1, {}); },
     [](const std::string& b) { at(20), commands::update_daybar(b, false, true, 1, {}); }},
};

int cuts_per_scenario() {
    const char* text = std::getenv("TARNWICK_POWER_CUTS");
    return text && std::atoi(text) > 0 ? std::atoi(text) : 25;
}

// Runs the judge; returns its exit status and puts its JSON line in `report`.
int judge(const std::string& before, const std::string& after, const std::string& images, std::string& report) {
    const std::string command = std::string(TARNWICK_PYTHON) + " " + TARNWICK_TESTS_DIR + "/crash/judge_power_cut.py " +
                                before + " " + after + " " + images;
    FILE* out = ::popen(command.c_str(), "r");
    if (!out) return -1;
    char line[4096];
    while (std::fgets(line, sizeof line, out)) report += line;
    const int status = ::pclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class WithSimulatedMarket : public ::testing::Test {
protected:
    void SetUp() override { previous_ = service::install(std::make_unique<service::SimulatedMarket>()); }
    void TearDown() override {
        service::install(std::move(previous_));
        host::set_clock(std::nullopt);
    }
    std::unique_ptr<service::Client> previous_;
};
class PowerCutTest : public WithSimulatedMarket, public ::testing::WithParamInterface<Scenario> {};

TEST_P(PowerCutTest, EveryFileIsAtItsLastOrItsNewCommittedState) {
    const Scenario& scenario = GetParam();
    test::TempDir dir;
    const std::string work = (dir / "work").string(), bundle = work + "/bundle";
    stdfs::create_directories(bundle);
    scenario.prepare(bundle);
    const auto before = test::files_under(work);
    test::write_files(before, work, (dir / "before").string());

    test::RecordingEnv recorder;
    std::vector<std::pair<std::size_t, std::string>> reports;  // (operations before it, file)
    reported = [&](const std::string& store, const std::string& id) {
        for (const auto& entry : stdfs::recursive_directory_iterator(bundle + "/" + store))
            if (entry.path().filename() == id + ".h5")
                reports.emplace_back(recorder.log().size(), entry.path().string().substr(work.size() + 1));
    };
    {
        const fs::ScopedEnv recording(recorder);
        scenario.run(bundle);
    }
    test::write_files(test::files_under(work), work, (dir / "after").string());
    const test::PowerCut power_cut(before, recorder.log());
    ASSERT_GT(power_cut.operations(), 0u);
    EXPECT_EQ(reports.empty(), std::string(scenario.name) == "day_bar_files");

    std::mt19937_64 random(std::hash<std::string>{}(scenario.name));
    // The first and the last cut: nothing of the run, and all of it but unsynced; then random
    // ones, then just before and just after every sync.
    // Those at the end and at the syncs are taken twice: once with any part of what was not
    // synced on the disk, once with none of it (the likeliest cut, and the one that finds a
    // missing sync for certain rather than by chance).
    std::vector<std::size_t> cuts = {0, power_cut.operations()};
    for (int n = 2; n < cuts_per_scenario(); ++n) cuts.push_back(random() % (power_cut.operations() + 1));
    std::vector<std::size_t> nothing_unsynced = {power_cut.operations()};
    for (std::size_t op = 0; op < recorder.log().size(); ++op)
        if (const test::Op kind = recorder.log()[op].op;
            kind == test::Op::Sync || kind == test::Op::SyncDir || kind == test::Op::SyncFs) {
            cuts.insert(cuts.end(), {op, op + 1});
            nothing_unsynced.insert(nothing_unsynced.end(), {op, op + 1});
        }
    const std::size_t random_parts = cuts.size();
    cuts.insert(cuts.end(), nothing_unsynced.begin(), nothing_unsynced.end());
    const test::PowerCut::Tear no_sector{"", 0};  // a tear of no file: nothing unsynced survives
    std::string images;
    for (std::size_t n = 0; n < cuts.size(); ++n) {
        const std::size_t cut = cuts[n];
        const std::string image = (dir / ("cut-" + std::to_string(n))).string();
        test::write_files(power_cut.image(cut, random, n < random_parts ? nullptr : &no_sector), work, image);
        stdfs::create_directories(image);
        std::string must_be_new;
        for (const auto& [after_operations, file] : reports)
            if (cut >= after_operations) must_be_new += file + "\n";
        test::write_files({{image + ".reported", must_be_new}}, "", "");
        // What check and the next update do first: settle what an interrupted update left.
        for (const auto& entry : stdfs::recursive_directory_iterator(image))
            if (entry.path().extension() == ".h5") {
                try {
                    h5::recover_interrupted_update(entry.path().string());
                } catch (const std::exception& e) {
                    ADD_FAILURE() << "cut " << cut << ": settling " << entry.path() << " failed: " << e.what();
                }
            }
        images += " " + image;
    }
    std::string report;
    EXPECT_EQ(judge((dir / "before").string(), (dir / "after").string(), images, report), 0) << report;
    std::printf("power cuts, %s (%zu operations): %s", scenario.name, power_cut.operations(), report.c_str());
}

// Every file below `root`, by its path relative to `root`.
std::map<std::string, std::string> relative_files(const std::string& root) {
    std::map<std::string, std::string> files;
    for (auto& [path, content] : test::files_under(root)) files[path.substr(root.size())] = std::move(content);
    return files;
}

TEST(SampleInstallPowerCut, EveryCutIsSettledToAllOldOrAllNew) {
    test::TempDir dir;
    const std::string work = stdfs::canonical(dir.path()).string() + "/work", bundle = work + "/bundle";
    const std::string staging = bundle + "/" + layout::STAGING_FOLDER_NAME;
    // The old bundle, and an unpacked archive that replaces two of its files, leaves one alone
    // and brings two new ones, one in a folder the bundle does not have.
    test::write_files({{work + "/bundle/h5/000001.XSHE.h5", std::string(3000, 'a')},
                       {work + "/bundle/h5/600000.XSHG.h5", std::string(700, 'b')},
                       {work + "/bundle/h5/IF2612.h5", std::string(900, 'c')},
                       {staging + "/h5/000001.XSHE.h5", std::string(5000, 'A')},
                       {staging + "/h5/600000.XSHG.h5", std::string(600, 'B')},
                       {staging + "/h5/000002.XSHE.h5", std::string(800, 'D')},
                       {staging + "/ticks/000001.XSHE.h5", std::string(1200, 'T')}},
                      work, work);
    const auto before = test::files_under(work);
    auto all_old = relative_files(work);
    std::erase_if(all_old, [](const auto& file) { return file.first.find(layout::STAGING_FOLDER_NAME) != std::string::npos; });

    test::RecordingEnv recorder;
    {
        const fs::ScopedEnv recording(recorder);
        const layout::InstallLock lock(bundle);
        commands::move_tree_into_place(staging, bundle, lock);
    }
    const auto all_new = relative_files(work);
    ASSERT_NE(all_new, all_old);
    const test::PowerCut power_cut(before, recorder.log());

    std::mt19937_64 random(7);
    int old_images = 0, new_images = 0;
    for (std::size_t cut = 0; cut <= power_cut.operations(); ++cut)
        for (int draw = 0; draw < 4; ++draw) {
            const std::string image = (dir / ("cut-" + std::to_string(cut) + "-" + std::to_string(draw))).string();
            test::write_files(power_cut.image(cut, random), work, image);
            stdfs::create_directories(image + "/bundle");
            layout::settle_unfinished_install(layout::InstallLock(image + "/bundle"));
            const auto files = relative_files(image);
            old_images += files == all_old;
            new_images += files == all_new;
            EXPECT_TRUE(files == all_old || files == all_new) << "cut before operation " << cut << " of "
                                                              << power_cut.operations();
            stdfs::remove_all(image);
        }
    EXPECT_GT(old_images, 0);
    EXPECT_GT(new_images, 0);
    std::printf("power cuts, sample install (%zu operations): %d images all old, %d all new\n",
                power_cut.operations(), old_images, new_images);
}

// A tick update commits day after day through one journal, reused from its start. Cut just
// before each sync of that journal, with only one 512-byte sector of its unsynced writes on the
// disk (for every sector in turn): every stored day survives, as stored or as written anew.
class TickJournalPowerCut : public WithSimulatedMarket {};
TEST_F(TickJournalPowerCut, ATickJournalTornAtAnySectorBetweenTwoDaysLosesNoStoredDay) {
    test::TempDir dir;
    const std::string work = (dir / "work").string(), file = tick_root(work) + "/000001.XSHE.h5";
    const std::string journal = h5::journal_path(file), image = (dir / "image").string();
    at(17);
    tick::_append_h5_tick("000001.XSHE", tick_root(work), std::nullopt, 20261116);
    const auto before = test::files_under(work);
    const auto stored = tick::test_support::read_all_days(file);
    test::RecordingEnv recorder;
    {
        const fs::ScopedEnv recording(recorder);
        at(20);
        tick::_append_h5_tick("000001.XSHE", tick_root(work), std::nullopt, 20261116);
    }
    const auto updated = tick::test_support::read_all_days(file);
    const test::PowerCut power_cut(before, recorder.log());
    std::mt19937_64 unused;
    std::uint64_t journal_end = 0;
    int images = 0;
    for (std::size_t cut = 0; cut < recorder.log().size(); ++cut) {
        const test::Recorded& op = recorder.log()[cut];
        if (op.path == journal && op.op == test::Op::Write) journal_end = std::max(journal_end, op.offset + op.data.size());
        if (op.path != journal || op.op != test::Op::Sync) continue;
        for (std::uint64_t sector = 0; sector * 512 < journal_end; ++sector, ++images) {
            const test::PowerCut::Tear tear{journal, sector};
            stdfs::remove_all(image);
            test::write_files(power_cut.image(cut, unused, &tear), work, image);
            const std::string torn = image + file.substr(work.size());
            h5::recover_interrupted_update(torn);
            std::map<std::string, std::vector<tick::test_support::TickRecord>> left;
            ASSERT_NO_THROW(left = tick::test_support::read_all_days(torn)) << "cut " << cut << ", sector " << sector;
            for (const auto& [day, records] : stored)
                ASSERT_TRUE(left.contains(day) && (left.at(day) == records || left.at(day) == updated.at(day)))
                    << "stored day " << day << " lost at cut " << cut << ", sector " << sector;
        }
    }
    EXPECT_GT(images, 0);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, PowerCutTest, ::testing::ValuesIn(SCENARIOS),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwick::bundle
