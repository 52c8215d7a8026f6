#pragma once
// What a data bundle holds: for every minute-bar and tick store file its instrument, its first
// and last trading day, the days it holds and lacks against the trading calendar, its size,
// and what needs attention (stale, incomplete, leftovers of a killed update, unreadable, held
// by another process); the instruments the bundle's recorded selection names that have no store
// file (absent); then a summary per group.
//
// Contract: reads only what it needs (a minute-bar file's day index and the size of its bars,
// a tick file's member names, the calendar and the suspension file), never writes, never
// queries the service, and opens every store file read-only: a file that a writer holds is
// reported as held, not waited for. Files are examined in forked children, so a damaged file
// that crashes the storage library is reported as unreadable instead of ending the run.
// "Stale" follows the updates' end date: the latest calendar day not after
// service::_get_end_date() (today once the clock is past 17:30, otherwise yesterday).
//
// Not thread-safe (the storage library is not); forks, so the calling process must not reap
// its children itself meanwhile.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::bundle::status {

enum class Kind { Minbar, Tick };
const char* kind_name(Kind kind);  // "minbar", "tick"

// One calendar month of one file, for the coverage picture. Days count trading days of the
// month between the file's first day and the update's target day.
struct MonthCoverage {
    int month = 0;  // YYYYMM
    int held = 0;
    int missing = 0;    // trading days inside the file's range that it lacks
    int suspended = 0;  // lacking days that are suspension days of the instrument
    int behind = 0;     // trading days after the file's last day, up to the target day
};

// Something an interrupted update left behind.
struct Leftover {
    // RejectedJournal: a journal kept aside, not applied (h5/journal.hpp); stays until removed.
    enum class Kind { TemporaryFile, Journal, TemporaryMember, RejectedJournal };
    Kind kind;
    std::string name;  // the path of a file, or the member's name inside the store file
};
// "temporary file", "journal", "temporary member", "rejected journal"
const char* leftover_kind_name(Leftover::Kind kind);

struct FileStatus {
    Kind kind = Kind::Minbar;
    std::string path;
    std::string group;  // "equities", "future", "option" (or another folder below h5), "ticks"
    std::string instrument;
    bool exists = true;  // false: only leftovers of a store file that is not there, or absent
    // The recorded selection (selection/record.hpp) names the instrument and it has no store file
    // (never fetched, or deleted since); not for one delisted before the calendar's first day.
    bool absent = false;
    std::optional<int> first_date, last_date;
    std::optional<int> delisted_date;  // from instruments.pk: nothing is fetched after it
    int days_held = 0;
    int days_missing = 0;    // inside [first, last], suspension days not counted
    int days_suspended = 0;  // inside [first, last], lacking and suspended
    int days_behind = 0;     // trading days after the last one up to the target day (or the delisting)
    std::vector<int> missing_dates;
    std::optional<std::int64_t> rows;  // minute bars; not counted for ticks (would open every day)
    std::uint64_t bytes = 0;
    bool unreadable = false;
    bool held = false;  // held by another process (the storage library's file lock)
    bool updating = false;  // another process is updating it (what is shown is its last commit)
    std::string error;  // why it is unreadable or held
    std::vector<Leftover> leftovers;
    std::vector<MonthCoverage> months;

    bool readable() const { return exists && !unreadable && !held; }
    // Behind the day the next update would reach, or holding no day at all yet.
    bool stale() const { return readable() && (days_behind > 0 || !first_date); }
    bool incomplete() const { return days_missing > 0; }
    bool current() const { return readable() && first_date && days_behind == 0 && days_missing == 0; }
    bool needs_attention() const { return !current() || !leftovers.empty(); }
};

struct GroupSummary {
    Kind kind = Kind::Minbar;
    std::string group;
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    std::int64_t rows = 0;
    std::size_t current = 0, stale = 0, incomplete = 0, unreadable = 0, held = 0, leftovers = 0;
    std::size_t absent = 0;  // named by the recorded selection, without a store file (not among `files`)
};

struct BundleStatus {
    std::string root;
    std::string bundle_dir;
    int end_date = 0;                // the updates' end date now
    std::optional<int> target_date;  // latest trading day not after end_date
    std::optional<int> calendar_first, calendar_last;
    bool calendar_present = false;
    bool suspensions_present = false;
    std::vector<std::string> problems;  // bundle-wide: a missing calendar, an unreadable suspension file
    std::vector<FileStatus> files;      // minute-bar files (by group), then tick files, by instrument
    std::vector<GroupSummary> groups;

    // Everything is current and complete, nothing is left over and nothing is wrong.
    bool all_good() const;
};

struct Options {
    int jobs = 1;  // child processes examining files at once
};

// Throws ValueError when `data_bundle_path` has no folder "bundle"; OsError/ValueError when the
// calendar exists but cannot be read.
BundleStatus bundle_status(const std::string& data_bundle_path, const Options& options = {});

}  // namespace tarnwick::bundle::status
