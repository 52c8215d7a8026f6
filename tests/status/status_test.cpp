#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <sstream>

#include "status/status_bundle.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/formats/pickle.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/selection/record.hpp"
#include "tarnwick/bundle/status/examine.hpp"
#include "tarnwick/bundle/status/isolated_map.hpp"
#include "tarnwick/bundle/status/status.hpp"
#include "tarnwick/bundle/status/text.hpp"
#include "tarnwick/bundle/status/views.hpp"
#include "tarnwick/bundle/status/wire.hpp"

namespace tarnwick::bundle::status {
namespace {

namespace fs = std::filesystem;
using test::weekdays;
using test::without;

// A bundle with one file of every kind of trouble. The clock stands at Monday 2026-12-07 18:00,
// so updates fetch through that day.
class StatusBundle : public ::testing::Test {
protected:
    void SetUp() override {
        host::set_clock(host::make_datetime(2026, 12, 7, 18, 0, 0));
        const fs::path bundle = root.path() / "bundle";
        fs::create_directories(bundle);
        calendar = without(weekdays(20261102, 20261231), {20261225});
        test::write_calendar(bundle, calendar);
        test::write_suspensions(bundle, {{"000002.XSHE", {20261110, 20261111}}, {"000005.XSHE", {20261204, 20261207}}});
        const std::vector<int> through_today = weekdays(20261102, 20261207);
        test::write_minbar(bundle / "h5/equities/000001.XSHE.h5", through_today);
        test::write_minbar(bundle / "h5/equities/600000.XSHG.h5", without(through_today, {20261104, 20261105}));
        test::write_minbar(bundle / "h5/equities/000004.XSHE.h5", through_today);
        test::write_minbar(bundle / "h5/equities/000005.XSHE.h5", weekdays(20261102, 20261203));
        test::write_minbar(bundle / "h5/future/IF2612.h5", weekdays(20261102, 20261201));
        test::write_bytes(bundle / "h5/equities/BROKEN.h5", "this is not an HDF5 file at all");
        test::write_ticks(bundle / "ticks/000001.XSHE.h5", through_today);
        test::write_bytes(bundle / "ticks/000001.XSHE.h5.journal", "undo");
        test::write_ticks(bundle / "ticks/000002.XSHE.h5", without(through_today, {20261110, 20261111, 20261120}),
                          {".tmp-20261207"}, {20261110});
        test::write_bytes(bundle / "ticks/IF2612.h5.tmp", "half written");
        // An expired contract: its last day is its delisting date, so it is complete, not stale.
        test::write_minbar(bundle / "h5/future/IF2611.h5", weekdays(20261102, 20261120));
        formats::pickle::dump_records(
            (bundle / "instruments.pk").string(),
            {{{"order_book_id", std::string("IF2611")}, {"de_listed_date", std::string("2026-11-20")}},
             {{"order_book_id", std::string("IF2612")}, {"de_listed_date", std::string("0000-00-00")}}});
    }
    void TearDown() override { host::set_clock(std::nullopt); }

    static const FileStatus& find(const BundleStatus& s, Kind kind, const std::string& id) {
        for (const auto& f : s.files)
            if (f.kind == kind && f.instrument == id) return f;
        throw std::runtime_error("no status for " + id);
    }
    static const GroupSummary& group(const BundleStatus& s, const std::string& name) {
        for (const auto& g : s.groups)
            if (g.group == name) return g;
        throw std::runtime_error("no group " + name);
    }

    test::TempDir root;
    std::vector<int> calendar;
};

TEST_F(StatusBundle, FiguresOfEachFileMatchWhatWasWritten) {
    const BundleStatus s = bundle_status(root.str(), Options{2});
    EXPECT_EQ(s.end_date, 20261207);
    EXPECT_EQ(s.target_date, 20261207);

    const FileStatus& current = find(s, Kind::Minbar, "000001.XSHE");
    EXPECT_TRUE(current.current());
    EXPECT_EQ(current.first_date, 20261102);
    EXPECT_EQ(current.last_date, 20261207);
    EXPECT_EQ(current.days_held, 26);
    EXPECT_EQ(current.rows, 52);
    EXPECT_EQ(current.bytes, fs::file_size(root.path() / "bundle/h5/equities/000001.XSHE.h5"));
    EXPECT_EQ(current.group, "equities");

    const FileStatus& gaps = find(s, Kind::Minbar, "600000.XSHG");
    EXPECT_TRUE(gaps.incomplete());
    EXPECT_FALSE(gaps.stale());
    EXPECT_EQ(gaps.days_missing, 2);
    EXPECT_EQ(gaps.missing_dates, (std::vector<int>{20261104, 20261105}));

    const FileStatus& stale = find(s, Kind::Minbar, "IF2612");
    EXPECT_EQ(stale.group, "future");
    EXPECT_TRUE(stale.stale());
    EXPECT_EQ(stale.days_behind, 4);  // 12-02, 12-03, 12-04, 12-07
    EXPECT_EQ(stale.days_missing, 0);

    // Suspended through today: nothing to fetch, so not stale.
    const FileStatus& suspended_tail = find(s, Kind::Minbar, "000005.XSHE");
    EXPECT_TRUE(suspended_tail.current()) << describe(suspended_tail);

    const FileStatus& expired = find(s, Kind::Minbar, "IF2611");
    EXPECT_EQ(expired.delisted_date, 20261120);
    EXPECT_TRUE(expired.current()) << describe(expired);
    EXPECT_FALSE(stale.delisted_date.has_value());

    const FileStatus& broken = find(s, Kind::Minbar, "BROKEN");
    EXPECT_TRUE(broken.unreadable);
    EXPECT_FALSE(broken.held);
    EXPECT_FALSE(broken.error.empty());

    const FileStatus& ticks = find(s, Kind::Tick, "000002.XSHE");
    EXPECT_EQ(ticks.group, "ticks");
    EXPECT_EQ(ticks.days_suspended, 2);  // one of them marked with an empty day
    EXPECT_EQ(ticks.days_held, 23);
    EXPECT_EQ(ticks.days_missing, 1);
    EXPECT_EQ(ticks.missing_dates, (std::vector<int>{20261120}));
    EXPECT_FALSE(ticks.rows.has_value());
    ASSERT_EQ(ticks.leftovers.size(), 1u);
    EXPECT_EQ(ticks.leftovers[0].kind, Leftover::Kind::TemporaryMember);
    EXPECT_EQ(ticks.leftovers[0].name, ".tmp-20261207");

    const FileStatus& journalled = find(s, Kind::Tick, "000001.XSHE");
    EXPECT_TRUE(journalled.current());
    ASSERT_EQ(journalled.leftovers.size(), 1u);
    EXPECT_EQ(journalled.leftovers[0].kind, Leftover::Kind::Journal);
    EXPECT_TRUE(journalled.needs_attention());

    const FileStatus& orphan = find(s, Kind::Tick, "IF2612");
    EXPECT_FALSE(orphan.exists);
    ASSERT_EQ(orphan.leftovers.size(), 1u);
    EXPECT_EQ(orphan.leftovers[0].kind, Leftover::Kind::TemporaryFile);
    EXPECT_FALSE(s.all_good());
}

TEST_F(StatusBundle, SummaryCountsPerGroup) {
    const BundleStatus s = bundle_status(root.str());
    ASSERT_EQ(s.groups.size(), 3u);
    const GroupSummary& equities = group(s, "equities");
    EXPECT_EQ(equities.files, 5u);
    EXPECT_EQ(equities.current, 3u);  // 000001, 000004, 000005
    EXPECT_EQ(equities.incomplete, 1u);
    EXPECT_EQ(equities.unreadable, 1u);
    EXPECT_EQ(equities.stale, 0u);
    const GroupSummary& future = group(s, "future");
    EXPECT_EQ(future.files, 2u);
    EXPECT_EQ(future.stale, 1u);
    EXPECT_EQ(future.current, 1u);
    const GroupSummary& ticks = group(s, "ticks");
    EXPECT_EQ(ticks.files, 2u);  // the orphan temporary is no store file
    EXPECT_EQ(ticks.leftovers, 3u);
    EXPECT_EQ(ticks.current, 1u);
    EXPECT_EQ(ticks.incomplete, 1u);
}

// What the recorded selection names without a store file is absent: an entry of its own (or the
// entry of its leftovers), first among what needs attention, counted per group, in every view.
// Not absent: what has a file (in any group), and what was delisted before the calendar began.
TEST_F(StatusBundle, InstrumentsTheSelectionNamesWithoutAStoreFileAreAbsent) {
    const fs::path bundle = root.path() / "bundle";
    using formats::pickle::Record;
    const auto listed = [](const char* id, const char* type, const char* delisted) {
        return Record{
            {"order_book_id", std::string(id)}, {"type", std::string(type)}, {"de_listed_date", std::string(delisted)}};
    };
    formats::pickle::dump_records((bundle / "instruments.pk").string(),
                                  {listed("NEW.XSHE", "CS", "0000-00-00"), listed("IO2612-C", "Option", "0000-00-00"),
                                   listed("GONE.XSHE", "CS", "2004-01-02"), listed("OLD.XSHE", "CS", "2026-10-30"),
                                   listed("LATE.XSHE", "CS", "2026-11-03"),
                                   listed("FIRST.XSHE", "CS", "2026-11-02"), listed("IF2612", "Future", "0000-00-00")});
    selection::record_request(bundle.string(), selection::StoreKind::Minbar,
                              selection::make_request({"stock"}, false, false,
                                                      {"000001.XSHE", "IF2612", "NEW.XSHE", "IO2612-C", "GONE.XSHE",
                                                       "OLD.XSHE", "LATE.XSHE", "FIRST.XSHE", "MYSTERY"}));
    selection::record_request(bundle.string(), selection::StoreKind::Tick,
                              selection::make_request({"IF"}, false, false, {"IF2612", "000001.XSHE"}));
    const BundleStatus s = bundle_status(root.str());

    struct Expected {
        Kind kind;
        const char* id;
        const char* group;
        const char* path;  // below the bundle
        std::vector<std::string> flags;
    };
    const std::vector<Expected> absent = {
        {Kind::Minbar, "NEW.XSHE", "equities", "h5/equities/NEW.XSHE.h5", {"absent"}},
        {Kind::Minbar, "IO2612-C", "option", "h5/option/IO2612-C.h5", {"absent"}},
        {Kind::Minbar, "LATE.XSHE", "equities", "h5/equities/LATE.XSHE.h5", {"absent"}},
        {Kind::Minbar, "FIRST.XSHE", "equities", "h5/equities/FIRST.XSHE.h5", {"absent"}},  // the calendar's first day
        {Kind::Minbar, "MYSTERY", "unknown", "h5/*/MYSTERY.h5", {"absent"}},
        {Kind::Tick, "IF2612", "ticks", "ticks/IF2612.h5", {"leftover", "missing", "absent"}},
    };
    const auto doc = nlohmann::json::parse(json_view(s));
    std::size_t absent_entries = 0;
    for (const auto& f : doc.at("files")) absent_entries += f.at("flags").dump().find("absent") != std::string::npos;
    EXPECT_EQ(absent_entries, absent.size());
    for (const Expected& e : absent) {
        const FileStatus& f = find(s, e.kind, e.id);
        EXPECT_TRUE(f.absent && !f.exists) << e.id;
        EXPECT_EQ(f.group, e.group);
        EXPECT_EQ(f.path, (bundle / e.path).string());
        for (const auto& entry : doc.at("files")) {
            if (entry.at("instrument") == e.id && entry.at("kind") == kind_name(e.kind)) {
                EXPECT_EQ(entry.at("flags"), nlohmann::json(e.flags)) << e.id;
            }
        }
    }
    EXPECT_EQ(group(s, "equities").absent, 3u);
    EXPECT_EQ(group(s, "option").absent, 1u);
    EXPECT_EQ(group(s, "ticks").absent, 1u);
    EXPECT_EQ(group(s, "equities").files, 5u) << "an absent instrument is no store file";
    EXPECT_FALSE(s.all_good());

    const std::string text = text_view(s, 0);
    EXPECT_LT(text.find("absent: the recorded selection names it"), text.find("unreadable:")) << text;
    EXPECT_NE(text.find("minbar equities/NEW.XSHE  absent"), std::string::npos) << text;
    EXPECT_NE(text.find(" absent\n"), std::string::npos) << "a column of the summary:\n" << text;
    const std::string html = html_view(s);
    EXPECT_NE(html.find("<th>absent</th>"), std::string::npos);
    EXPECT_LT(html.find("NEW.XSHE</b> absent"), html.find("BROKEN</b> unreadable")) << html;
}

TEST_F(StatusBundle, AJournalOfAnotherFileIsKeptAsideAndListedUntilRemoved) {
    // A journal of the current format whose hash matches nothing: never applied, never deleted.
    const std::string path = (root.path() / "bundle/h5/equities/000004.XSHE.h5").string();
    std::string journal("TWUNDO05", 8);
    journal.append(32, '\x01');  // baseline, generation and hash: another file's
    test::write_bytes(h5::journal_path(path), journal);
    const std::string kept = h5::journal_path(path) + h5::REJECTED_INFIX;
    ASSERT_TRUE(h5::recover_interrupted_update(path));
    const auto status = bundle_status(root.str());
    const FileStatus& f = find(status, Kind::Minbar, "000004.XSHE");
    ASSERT_EQ(f.leftovers.size(), 1u);
    EXPECT_EQ(f.leftovers[0].kind, Leftover::Kind::RejectedJournal);
    EXPECT_TRUE(f.leftovers[0].name.starts_with(kept)) << f.leftovers[0].name;
    EXPECT_TRUE(f.needs_attention());
    EXPECT_NE(text_view(bundle_status(root.str()), 0).find("leftover rejected journal " + kept), std::string::npos);
}

// Updates go on without a record they cannot write: said when this user could update the stores
// (h5/ is theirs) but not the record (bundle/ is root's); a mere viewer is told nothing.
TEST_F(StatusBundle, ARecordThisUserCannotWriteIsAProblemForWhoCanUpdate) {
    if (::geteuid() != 0) GTEST_SKIP() << "acts as another user";
    constexpr uid_t NOBODY = 65534;
    fs::permissions(root.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    for (const bool owns_stores : {true, false}) {
        ASSERT_EQ(::chown((root.path() / "bundle/h5").c_str(), owns_stores ? NOBODY : 0, 0), 0);
        test::ChildProcess child([&](test::ChildProcess&) {
            if (::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0) return 100;
            return int(std::ranges::count_if(bundle_status(root.str()).problems, [](const std::string& p) {
                return p.starts_with("the recorded selection cannot be written"); }));
        });
        EXPECT_EQ(child.wait_exit_status(), owns_stores ? 1 : 0);
    }
}

TEST_F(StatusBundle, FileBeingUpdatedIsShownAtItsLastCommitNotWaitedFor) {
    const std::string path = (root.path() / "bundle/h5/equities/000004.XSHE.h5").string();
    test::ChildProcess writer([&](test::ChildProcess& self) {
        h5::File held = h5::File::open(path, h5::File::Access::ReadWrite);
        self.ready();
        ::pause();
        return 0;
    });
    ASSERT_TRUE(writer.wait_ready());
    const BundleStatus s = bundle_status(root.str());
    const FileStatus& f = find(s, Kind::Minbar, "000004.XSHE");
    EXPECT_TRUE(f.updating);
    EXPECT_FALSE(f.held);
    EXPECT_FALSE(f.unreadable);
    EXPECT_GT(f.days_held, 0) << "its last commit is read";
    EXPECT_NE(text_view(s, 0).find("being updated by another process"), std::string::npos);
    writer.kill_now();
}

TEST_F(StatusBundle, StaleFollowsTheSeventeenThirtyEndDate) {
    // At 17:30:00 exactly updates fetch through yesterday, Sunday: the latest trading day is Friday.
    host::set_clock(host::make_datetime(2026, 12, 7, 17, 30, 0));
    const BundleStatus s = bundle_status(root.str());
    EXPECT_EQ(s.end_date, 20261206);
    EXPECT_EQ(s.target_date, 20261204);
    EXPECT_EQ(find(s, Kind::Minbar, "IF2612").days_behind, 3);
    // One microsecond later, today counts.
    host::set_clock(host::make_datetime(2026, 12, 7, 17, 30, 0, 1));
    EXPECT_EQ(find(bundle_status(root.str()), Kind::Minbar, "IF2612").days_behind, 4);
}

TEST_F(StatusBundle, WritesNothing) {
    std::vector<std::pair<std::string, fs::file_time_type>> before;
    for (const auto& e : fs::recursive_directory_iterator(root.path()))
        before.emplace_back(e.path(), e.last_write_time());
    bundle_status(root.str(), Options{2});
    std::vector<std::pair<std::string, fs::file_time_type>> after;
    for (const auto& e : fs::recursive_directory_iterator(root.path()))
        after.emplace_back(e.path(), e.last_write_time());
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(before, after);
}

TEST_F(StatusBundle, MissingCalendarIsAProblemNotAFailure) {
    fs::remove(root.path() / "bundle/trading_dates.npy");
    const BundleStatus s = bundle_status(root.str());
    EXPECT_FALSE(s.calendar_present);
    EXPECT_EQ(s.problems.size(), 1u);
    EXPECT_EQ(find(s, Kind::Minbar, "000001.XSHE").days_held, 26);
    EXPECT_FALSE(s.all_good());
}

TEST_F(StatusBundle, WeekdaysAfterAnOldCalendarCountAsTradingDays) {
    // The base data was last updated on 2026-12-01; updates now fetch through 2026-12-07.
    test::write_calendar(root.path() / "bundle", weekdays(20261102, 20261201));
    const BundleStatus s = bundle_status(root.str());
    EXPECT_EQ(s.target_date, 20261207);
    ASSERT_EQ(s.problems.size(), 1u);
    EXPECT_NE(s.problems[0].find("trading_dates.npy ends on 20261201"), std::string::npos) << s.problems[0];
    EXPECT_EQ(find(s, Kind::Minbar, "IF2612").days_behind, 4);
    EXPECT_TRUE(find(s, Kind::Minbar, "000001.XSHE").current());
    EXPECT_FALSE(s.all_good());
}

TEST(BundleStatus, AFolderWithoutBundleIsAMissingFile) {
    test::TempDir empty;
    try {
        bundle_status(empty.str());
        ADD_FAILURE() << "no error";
    } catch (const OsError& error) {
        EXPECT_EQ(error.error_number(), ENOENT);
    }
}

TEST_F(StatusBundle, MonthCoverageSplitsHeldMissingSuspendedAndBehind) {
    const BundleStatus s = bundle_status(root.str());
    const FileStatus& ticks = find(s, Kind::Tick, "000002.XSHE");
    ASSERT_EQ(ticks.months.size(), 2u);
    EXPECT_EQ(ticks.months[0].month, 202611);
    EXPECT_EQ(ticks.months[0].held, 18);  // 21 weekdays less two suspended and one missing
    EXPECT_EQ(ticks.months[0].suspended, 2);
    EXPECT_EQ(ticks.months[0].missing, 1);
    const FileStatus& stale = find(s, Kind::Minbar, "IF2612");
    EXPECT_EQ(stale.months.back().month, 202612);
    EXPECT_EQ(stale.months.back().held, 1);
    EXPECT_EQ(stale.months.back().behind, 4);
}

TEST(MeasureDays, LeadingSuspensionMarksDoNotOpenAGap) {
    // A tick update marks suspension days with empty days, also before the tick history starts.
    Context context;
    for (const int day : weekdays(20261019, 20261204)) context.calendar.push_back(day);
    context.target = 20261204;
    context.suspensions["000002.XSHE"] = {20261020, 20261021, 20261124};
    std::vector<int> held = {20261020, 20261021};
    for (const int day : without(weekdays(20261116, 20261204), {20261124})) held.push_back(day);
    FileStatus file;
    file.instrument = "000002.XSHE";
    measure_days(file, held, context);
    EXPECT_EQ(file.first_date, 20261020);
    EXPECT_EQ(file.days_missing, 0) << ::testing::PrintToString(file.missing_dates);
    EXPECT_EQ(file.days_suspended, 1);  // 11-24, inside the traded range
    EXPECT_EQ(file.days_behind, 0);
    ASSERT_FALSE(file.months.empty());
    EXPECT_EQ(file.months.front().month, 202610);
    EXPECT_EQ(file.months.front().held, 2);
    EXPECT_EQ(file.months.front().missing, 0);

    // A day lacking after the first traded day is a gap.
    held.erase(std::find(held.begin(), held.end(), 20261118));
    FileStatus gap;
    gap.instrument = "000002.XSHE";
    measure_days(gap, held, context);
    EXPECT_EQ(gap.missing_dates, (std::vector<int>{20261118}));
}

// ---- views ---------------------------------------------------------------------------------

TEST_F(StatusBundle, JsonDocumentFollowsItsSchema) {
    const auto doc = nlohmann::json::parse(json_view(bundle_status(root.str())));
    for (const char* key : {"root", "bundle"}) EXPECT_TRUE(doc.at(key).is_string()) << key;
    EXPECT_EQ(doc.at("end_date"), 20261207);
    EXPECT_EQ(doc.at("latest_trading_day"), 20261207);
    EXPECT_EQ(doc.at("calendar").at("first"), 20261102);
    EXPECT_TRUE(doc.at("suspensions").is_boolean());
    EXPECT_EQ(doc.at("ok"), false);
    EXPECT_TRUE(doc.at("problems").is_array());
    for (const auto& g : doc.at("groups")) {
        for (const char* key : {"kind", "group"}) EXPECT_TRUE(g.at(key).is_string());
        for (const char* key : {"files", "bytes", "current", "stale", "incomplete", "unreadable", "held", "leftovers"})
            EXPECT_TRUE(g.at(key).is_number_unsigned()) << key;
        EXPECT_TRUE(g.at("rows").is_number() || g.at("rows").is_null());
    }
    ASSERT_EQ(doc.at("files").size(), 10u);
    for (const auto& f : doc.at("files")) {
        for (const char* key : {"kind", "group", "instrument", "path"}) EXPECT_TRUE(f.at(key).is_string()) << key;
        for (const char* key : {"days_held", "days_missing", "days_suspended", "days_behind", "bytes"})
            EXPECT_TRUE(f.at(key).is_number_integer()) << key;
        for (const char* key : {"first_date", "last_date", "delisted_date", "rows", "error"})
            EXPECT_TRUE(f.contains(key)) << key;
        EXPECT_TRUE(f.at("flags").is_array());
        EXPECT_TRUE(f.at("missing_dates").is_array());
        for (const auto& l : f.at("leftovers")) {
            EXPECT_TRUE(l.at("kind").is_string());
            EXPECT_TRUE(l.at("name").is_string());
        }
        if (f.at("instrument") == "IF2612" && f.at("kind") == "minbar") {
            EXPECT_EQ(f.at("flags"), nlohmann::json({"stale"}));
        }
        if (f.at("instrument") == "600000.XSHG") {
            EXPECT_EQ(f.at("missing_dates"), nlohmann::json({20261104, 20261105}));
        }
    }
}

TEST_F(StatusBundle, TextViewShowsTheSummaryThenOnlyFilesNeedingAttention) {
    const std::string text = text_view(bundle_status(root.str()), 0);
    EXPECT_LT(text.find("equities"), text.find("need attention"));
    EXPECT_NE(text.find("future/IF2612  stale: last day 2026-12-01, 4 trading days behind"), std::string::npos) << text;
    EXPECT_NE(text.find("incomplete: 2 days missing (2026-11-04, 2026-11-05)"), std::string::npos) << text;
    EXPECT_NE(text.find("leftover journal"), std::string::npos);
    EXPECT_EQ(text.find("equities/000001.XSHE"), std::string::npos) << "a current file is listed:\n" << text;
}

TEST(TextView, KeepsToAScreenfulUnlessToldOtherwise) {
    BundleStatus s;
    s.bundle_dir = "/b/bundle";
    s.end_date = 20261207;
    for (int k = 0; k < 100; ++k) {
        FileStatus f;
        f.instrument = "X" + std::to_string(k);
        f.group = "ticks";
        f.kind = Kind::Tick;
        f.unreadable = true;
        f.error = "damaged";
        s.files.push_back(f);
    }
    s.groups.push_back(GroupSummary{Kind::Tick, "ticks", 100});
    const std::string screen = text_view(s, 24);
    EXPECT_EQ(std::count(screen.begin(), screen.end(), '\n'), 24);
    EXPECT_NE(screen.find("... and 82 more"), std::string::npos) << screen;
    const std::string all = text_view(s, 0);
    EXPECT_NE(all.find("X99"), std::string::npos);
    EXPECT_EQ(all.find("more"), std::string::npos);
}

TEST_F(StatusBundle, HtmlPageIsSelfContainedWithTitlesPerCell) {
    const std::string page = html_view(bundle_status(root.str()));
    EXPECT_EQ(page.find("src="), std::string::npos);
    EXPECT_EQ(page.find("href="), std::string::npos);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    // A month of mixed days shows each kind as its share of the cell, every share titled.
    for (const auto& share : {"#238b45\"><title>600000.XSHG, 2026-11: 19 trading days held, 2 missing",
                              "#d7301f\"><title>600000.XSHG, 2026-11: 19 trading days held, 2 missing",
                              "#238b45\"><title>IF2612, 2026-12: 1 trading day held, 4 not yet fetched",
                              "#fdae61\"><title>IF2612, 2026-12: 1 trading day held, 4 not yet fetched"})
        EXPECT_NE(page.find(std::string("fill=\"") + share + "</title>"), std::string::npos) << share;
    EXPECT_NE(page.find("<th>size</th><th>rows</th>"), std::string::npos);
    const BundleStatus s = bundle_status(root.str());
    EXPECT_NE(page.find(fmt::format("</td><td>{}</td><td>", group(s, "equities").rows)), std::string::npos);
}

// One tick file of each kind of trouble, in path order the mildest first.
BundleStatus troubled_bundle() {
    BundleStatus s;
    s.bundle_dir = "/b/bundle";
    s.end_date = 20261207;
    for (const char* id : {"A-stale", "B-held", "C-incomplete", "D-leftover", "E-unreadable"}) {
        FileStatus f;
        f.kind = Kind::Tick;
        f.group = "ticks";
        f.instrument = id;
        f.first_date = 20261102;
        s.files.push_back(f);
    }
    s.files[0].days_behind = 2;
    s.files[0].last_date = 20261203;
    s.files[1].held = true;
    s.files[2].days_missing = 1;
    s.files[3].leftovers.push_back({Leftover::Kind::Journal, "/b/bundle/ticks/D-leftover.h5.journal"});
    s.files[4].unreadable = true;
    s.files[4].error = "not an HDF5 file";
    s.groups.push_back(GroupSummary{Kind::Tick, "ticks", s.files.size()});
    return s;
}

TEST(Views, ListTheWorstFirst) {
    const BundleStatus s = troubled_bundle();
    for (const std::string& view : {text_view(s, 0), html_view(s)}) {
        std::size_t at = 0;
        for (const char* id : {"E-unreadable", "D-leftover", "C-incomplete", "B-held", "A-stale"}) {
            const std::size_t next = view.find(std::string("ticks/") + id, at);
            ASSERT_NE(next, std::string::npos) << id << " out of order in\n" << view;
            at = next;
        }
    }
    // A screenful keeps the worst.
    const std::string screen = text_view(s, 6);
    EXPECT_NE(screen.find("E-unreadable"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("A-stale"), std::string::npos) << screen;
}

TEST(Views, NamesCannotSteerTheTerminalAndStayExactInJson) {
    const std::vector<std::pair<std::string, std::string>> printables = {
        {"000001.XSHE", "000001.XSHE"},
        {"中国", "中国"},
        {"a\\b", "a\\\\b"},
        {"\x1b[2J\nX\x7f", "\\x1b[2J\\x0aX\\x7f"},
        {"\xc2\x9b"
         "1m",
         "\\u009b1m"},                                 // C1 control
        {"\xff\xc0\xaf", "\\xff\\xc0\\xaf"},           // not UTF-8; overlong
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // past U+10FFFF
        {"\xe4\xb8", "\\xe4\\xb8"},                    // cut short
    };
    for (const auto& [name, shown] : printables) EXPECT_EQ(printable(name), shown) << shown;

    BundleStatus s = troubled_bundle();
    const std::string plain = text_view(s, 0);
    s.files.back().instrument = "E\x1b[2J\nforged\xff";
    s.files.back().error = "bell\x07";
    const std::string text = text_view(s, 0);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), std::count(plain.begin(), plain.end(), '\n')) << text;
    EXPECT_NE(text.find("ticks/E\\x1b[2J\\x0aforged\\xff  unreadable: bell\\x07"), std::string::npos) << text;
    const std::string page = html_view(s);
    for (std::size_t at = 0; at < page.size(); at += std::max<std::size_t>(1, utf8_sequence(page, at)))
        ASSERT_NE(utf8_sequence(page, at), 0u) << "not UTF-8 at byte " << at;
    EXPECT_EQ(page.find('\x1b'), std::string::npos);
    // JSON: the control characters escaped, the stray byte as its surrogate escape.
    EXPECT_NE(json_view(s).find("\"E\\u001b[2J\\nforged\\udcff\""), std::string::npos);
}

TEST(HtmlView, StaysSmallForFiveThousandInstruments) {
    BundleStatus s;
    s.bundle_dir = "/b/bundle";
    s.end_date = 20261207;
    for (int k = 0; k < 5000; ++k) {
        FileStatus f;
        f.kind = k % 2 ? Kind::Tick : Kind::Minbar;
        f.group = k % 2 ? "ticks" : "equities";
        f.instrument = fmt::format("{:06}.XSHE", k);
        f.first_date = 20050104;
        for (int year = 2005; year <= 2026; ++year)
            for (int month = 1; month <= 12; ++month)
                // Every instrument lacks a different month, so no row is one long run.
                f.months.push_back(MonthCoverage{year * 100 + month, 20, (year * 12 + month + k) % 7 == 0 ? 1 : 0});
        s.files.push_back(std::move(f));
    }
    const std::string page = html_view(s);
    EXPECT_LT(page.size(), 6u * 1024 * 1024);
    EXPECT_NE(page.find("band of up to"), std::string::npos);
}

// ---- isolation and transport ---------------------------------------------------------------

TEST(MapIsolated, AChildThatDiesCostsOnlyItsItem) {
    std::vector<std::string> results(10);
    std::vector<std::size_t> crashed;
    map_isolated(
        10, 3,
        [](std::size_t i) -> std::string {
            if (i == 4) std::abort();
            return "item " + std::to_string(i);
        },
        [&](std::size_t i, std::string_view bytes) { results[i] = std::string(bytes); },
        [&](std::size_t i, const std::string& how) {
            crashed.push_back(i);
            return "crashed: " + how;
        });
    EXPECT_EQ(crashed, (std::vector<std::size_t>{4}));
    EXPECT_EQ(results[3], "item 3");
    EXPECT_EQ(results[5], "item 5");
    EXPECT_EQ(results[9], "item 9");
    EXPECT_TRUE(results[4].starts_with("crashed: ")) << results[4];
}

TEST(Wire, FileStatusSurvivesTheTrip) {
    FileStatus f;
    f.kind = Kind::Tick;
    f.path = "/b/bundle/ticks/A.h5";
    f.group = "ticks";
    f.instrument = "A";
    f.first_date = 20240102;
    f.last_date = 20240105;
    f.days_held = 3;
    f.days_missing = 1;
    f.missing_dates = {20240103};
    f.bytes = 12345;
    f.held = true;
    f.error = "held by another process";
    f.leftovers.push_back({Leftover::Kind::Journal, "/b/bundle/ticks/A.h5.journal"});
    f.months.push_back(MonthCoverage{202401, 3, 1, 0, 2});
    const FileStatus g = decode(encode(f));
    EXPECT_EQ(g.path, f.path);
    EXPECT_EQ(g.kind, f.kind);
    EXPECT_EQ(g.first_date, f.first_date);
    EXPECT_EQ(g.missing_dates, f.missing_dates);
    EXPECT_FALSE(g.rows.has_value());
    EXPECT_TRUE(g.held);
    EXPECT_EQ(g.leftovers[0].name, f.leftovers[0].name);
    EXPECT_EQ(g.months[0].behind, 2);
    EXPECT_THROW(decode(encode(f).substr(0, 20)), std::runtime_error);
}

TEST(StatusLayering, OnlyTheFrontEndsIncludeIt) {
    // The library's other folders know nothing of status: it sits on top, below only the front
    // ends' public headers (the loose files at the library's top).
    const fs::path library = fs::path(TARNWICK_TESTS_DIR) / ".." / "src" / "tarnwick" / "bundle";
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(library)) {
        if (!entry.is_regular_file() || entry.path().parent_path().filename() == "status") continue;
        if (fs::equivalent(entry.path().parent_path(), library)) continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        ++files;
        EXPECT_EQ(text.str().find("tarnwick/bundle/status/"), std::string::npos) << entry.path();
    }
    EXPECT_GT(files, 20u);
}

// ---- the command line ----------------------------------------------------------------------

int run_cli(const std::string& arguments, std::string* output = nullptr) {
    const std::string command =
        "TARNWICK_NOW='2026-12-07 18:00:00' " TARNWICK_CLI " status " + arguments + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    const int status = ::pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(StatusBundle, ExitStatusSaysWhetherAnythingNeedsAttention) {
    std::string out;
    EXPECT_EQ(run_cli(root.str(), &out), 1);
    EXPECT_NE(out.find("need attention"), std::string::npos) << out;
    EXPECT_EQ(run_cli(root.str() + " --json -j 2", &out), 1);
    EXPECT_EQ(nlohmann::json::parse(out).at("ok"), false);

    // Keep only what is current and complete.
    const fs::path bundle = root.path() / "bundle";
    for (const char* name : {"h5/equities/600000.XSHG.h5", "h5/equities/BROKEN.h5", "h5/future/IF2612.h5",
                             "ticks/000001.XSHE.h5.journal", "ticks/000002.XSHE.h5", "ticks/IF2612.h5.tmp"})
        fs::remove(bundle / name);
    EXPECT_EQ(run_cli(root.str(), &out), 0) << out;
    EXPECT_NE(out.find("everything is current and complete"), std::string::npos) << out;

    test::TempDir not_a_bundle;
    EXPECT_EQ(run_cli(not_a_bundle.str()), 2);  // a bad argument, as on every command
}

TEST_F(StatusBundle, HtmlOptionWritesThePage) {
    const fs::path page = root.path() / "coverage.html";
    EXPECT_EQ(run_cli(root.str() + " --html " + page.string()), 1);
    std::ifstream in(page);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("<svg"), std::string::npos);
    EXPECT_NE(text.str().find("600000.XSHG"), std::string::npos);
}

}  // namespace
}  // namespace tarnwick::bundle::status
