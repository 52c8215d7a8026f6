#pragma once
// The content audit: what the bars and ticks themselves say, where the check only compares
// days with the calendar. Every minute-bar and tick file is read day by day and measured with
// the rules of rules.hpp; the findings come back by kind, each with its instrument, trading day
// and a short reason.
//
// Steps, per instrument (one item of work, in a forked reader process):
//   1. its minute-bar file, when there is one: the day index and all bars, read once (each
//      chunk inflated once) into one buffer; derivative bars are copied into the equity form;
//   2. the file-wide figures: the median number of bars a day (for thin days) and the turnover
//      multiplier (turnover_multiplier());
//   3. every day of bars through the bar rules;
//   4. its tick file, when there is one, day by day (one day's ticks in memory at a time)
//      through the tick rules, and, where the day also has bars, the bars against the ticks.
//
// Read-only: files are opened read-only (the shared side of the writers' lock); a file that an
// update holds, one left with an undo journal by a stopped update, or one that cannot be read
// is not waited for, settled or repaired: it is listed in `skipped` with the reason. A reader
// that crashes on a damaged file costs that instrument only. SIGINT / SIGTERM stop the run
// (host::Interrupted).
//
// Not thread-safe (the storage library is not); forks, so the calling process must not reap
// its children itself meanwhile.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tarnwick/bundle/audit/findings.hpp"

namespace tarnwick::bundle::audit {

// A store file the audit could not read.
struct Skipped {
    Store store = Store::Minbar;
    std::string instrument;
    std::string path;
    std::string reason;
};

struct Report {
    std::string root;
    std::size_t minbar_files = 0, tick_files = 0;
    std::size_t minbar_days = 0, tick_days = 0;  // days read
    std::vector<Finding> findings;  // by instrument (minute-bar files' order, then tick-only ones), then day
    std::vector<Skipped> skipped;
    // Findings whose instrument has a file in both stores are told apart by `store`; the path
    // of the file a finding is about, for the coverage page.
    std::map<std::string, std::string> minbar_paths, tick_paths;  // instrument -> path

    bool clean() const { return findings.empty() && skipped.empty(); }
    std::map<Kind, std::size_t> counts() const;
};

struct Options {
    int jobs = 1;  // reader processes at once
};

// Throws ValueError when `data_bundle_path` has no folder "bundle"; host::Interrupted on a stop.
Report audit_bundle(const std::string& data_bundle_path, const Options& options = {});

// What one instrument's files hold (steps 1-4 above), in this process. Throws what reading
// throws. Exposed for tests and the benchmark.
struct Instrument {
    std::string id;
    std::string minbar_path;  // empty: none
    std::string group;        // the minute-bar file's folder
    std::string tick_path;    // empty: none
};
struct InstrumentResult {
    std::vector<Finding> findings;
    std::vector<Skipped> skipped;
    std::size_t minbar_days = 0, tick_days = 0;
};
InstrumentResult audit_instrument(const Instrument& instrument, const std::vector<std::int64_t>& calendar);

// The views: a summary table of kinds with counts, then the findings (at most `max_lines`
// of them, 0: all) and the skipped files; one JSON document (its shape is in the README).
std::string text_view(const Report& report, std::size_t max_lines);
std::string json_view(const Report& report);

}  // namespace tarnwick::bundle::audit
