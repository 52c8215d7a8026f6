#pragma once
// What an update would do, worked out without doing it: per instrument and kind of store file,
// the trading days it would fetch, estimates of the rows and bytes they add, or that the file is
// current. The minute-bar and tick stores each fill in their instruments (minbar/plan.hpp,
// tick/plan.hpp); this header holds the shared shape, its two views and the record of the rates
// recent updates achieved, from which a plan estimates its time.
//
// Estimates: a file's own rows and bytes per stored day where it holds days; otherwise the mean
// of the plan's other files of the same kind and group; otherwise a rough default of the kind
// (the documented row counts of a trading day, bytes per row as the store compresses them).
//
// The rate record: "<bundle>/.tarnwick/update_rates.json", one entry per kind ("minbar", "tick")
// with the last run's wall seconds and the bytes its store folder grew by. Updates that grew the store by less than
// RATE_MIN_BYTES are not recorded (their time is start-up, not transfer). A missing or unreadable record means the time
// is unknown; it never stops a plan.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::bundle::drivers {

enum class PlanAction {
    Create,   // no store file: its whole history is fetched
    Rebuild,  // the file is built again from the first day (--rebuild, or it has no day index)
    Extend,   // the days after the last stored one
    Current,  // nothing to fetch
    Skip,     // no store file is kept for the instrument (its type, or delisted before the bundle's first day)
    Unknown,  // the file or the instrument could not be examined (see note)
};
const char* plan_action_name(PlanAction action);  // "create", "rebuild", "extend", "current", "skip", "unknown"

struct InstrumentPlan {
    std::string kind;   // "minbar" or "tick"
    std::string group;  // "equities", "future", "option", "ticks"
    std::string order_book_id;
    std::string file;
    PlanAction action = PlanAction::Unknown;
    int first_day = 0, last_day = 0;  // YYYYMMDD of the days fetched; 0 when none
    int trading_days = 0;
    std::uint64_t rows = 0;            // estimated rows fetched
    std::uint64_t bytes = 0;           // estimated bytes added to the store file
    bool estimated_from_file = false;  // the rates per day are the file's own
    int gap_days = 0;                  // trading days missing inside the stored range: an update does not fetch them
    std::string note;

    bool fetches() const { return trading_days > 0; }
};

struct KindTotals {
    std::string kind;
    std::size_t instruments = 0, fetching = 0, current = 0, skipped = 0, unknown = 0;  // fetching: not current
    std::uint64_t trading_days = 0, rows = 0, bytes = 0;
    std::optional<double> bytes_per_second;  // the recorded rate of this kind's last run
    std::optional<double> seconds;           // bytes / rate
};

struct Plan {
    std::string command;     // the command planned, for the header line
    std::string bundle_dir;  // whose recorded rates estimate the time; "" for a loose folder
    int end_date = 0;        // the updates' end date now
    bool rebuild = false;
    bool base = false;               // day bars and base data would be updated first
    std::vector<std::string> notes;  // what the plan does not cover
    std::vector<InstrumentPlan> items;

    // Adds up each kind, with the time at the bundle's recorded rate ("" for no bundle).
    std::vector<KindTotals> totals(const std::string& bundle_dir) const;
};

// The trading days of an ascending calendar within [first, last]: the first, the last and how
// many; all 0 when there are none.
struct DaySpan {
    int first = 0, last = 0, count = 0;
};
DaySpan span_of(const std::vector<int>& calendar, int first, int last);

// Fills in rows and bytes of the items that fetch and have no estimate of their own: the mean
// per day of the plan's files of the same kind and group, else the kind's default.
void estimate_missing(Plan& plan);

// The plan for a terminal: one line per instrument, then the totals and the time estimate.
std::string plan_text(const Plan& plan);
// One JSON document (schema in the README, "Planning an update").
std::string plan_json(const Plan& plan);

// The rate record.
inline constexpr std::uint64_t RATE_MIN_BYTES = 64 * 1024;
std::string rates_file(const std::string& bundle_dir);
std::optional<double> recorded_rate(const std::string& bundle_dir, const std::string& kind);
// Records a run; never throws (a record that cannot be written only costs a later estimate).
void record_rate(const std::string& bundle_dir, const std::string& kind, double seconds,
                 std::uint64_t bytes_grown) noexcept;
// The bytes of the ".h5" files below `folder` (0 when it does not exist).
std::uint64_t store_bytes(const std::string& folder) noexcept;

// Times a driver run and records its rate when `store_folder` belongs to a bundle.
class RateRecorder {
public:
    RateRecorder(std::string store_folder, std::string kind);
    // Call once the run is over (not for a run that was stopped).
    void finish() noexcept;

private:
    std::string folder_, kind_, bundle_;
    std::uint64_t bytes_before_ = 0;
    double started_ = 0;
};

}  // namespace tarnwick::bundle::drivers
