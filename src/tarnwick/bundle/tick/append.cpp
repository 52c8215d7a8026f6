#include "tarnwick/bundle/tick/append.hpp"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "tarnwick/bundle/drivers/update_failure.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/interrupt.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/layout/blosc.hpp"
#include "tarnwick/bundle/layout/h5_mode.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/tick_layout.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/connection.hpp"
#include "tarnwick/bundle/service/warnings.hpp"
#include "tarnwick/bundle/tick/convert.hpp"
#include "tarnwick/bundle/tick/day_dataset.hpp"

namespace tarnwick::bundle::tick {
namespace {

namespace fs = std::filesystem;
using layout::TickRecord;

// '.' sorts before every digit: a temporary member is never the greatest name.
constexpr std::string_view TEMPORARY_PREFIX = ".tmp-";

testing::StepHook& step_hook() {
    static testing::StepHook hook;
    return hook;
}

void step(std::string_view name, int day = 0) {
    if (const auto& hook = step_hook()) hook(name, day);
}

bool all_digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The first day to fetch, from the greatest member name, read as a number as the host reads it.
// A number beyond any date saturates (the update then has nothing to do); a name that is not a
// number (a stray member sorting after the days) means the file is not what it should be.
std::int64_t start_from_name(const std::string& name) {
    if (!all_digits(name))
        throw ValueError(fmt::format("the newest member \"{}\" of the tick file is not a trading date", name));
    const std::string_view digits = std::string_view(name).substr(std::min(name.find_first_not_of('0'), name.size()));
    if (digits.size() > 18) return INT64_MAX;
    return digits.empty() ? 0 : std::stoll(std::string(digits));
}

// Opens the store file in `mode`. A missing file is created empty under a temporary name and
// published while still open and locked: a new HDF5 file is whole on disk only after its first
// flush, and a kill before that would leave a file HDF5 cannot open. When another run published
// the same file first, that file is used.
h5::File open_store(const std::string& h5_file, const std::string& mode) {
    std::error_code ec;
    if (!fs::exists(h5_file, ec) && !ec) {
        const std::string work_file = layout::temporary_store_path(h5_file);
        h5::File created = layout::create_new_store_file(work_file);
        try {
            created.commit();
            step("file_created");
            host::throw_if_interrupted();  // a stopped or orphaned worker publishes nothing
            layout::publish_new_store_file(work_file, h5_file);
        } catch (const OsError& e) {
            layout::discard_new_store_file(work_file);
            if (e.kind() != OsError::Kind::WouldBlock || !fs::exists(h5_file, ec)) throw;
        } catch (...) {
            layout::discard_new_store_file(work_file);
            throw;
        }
        created.close();
    }
    return layout::open_h5(h5_file, mode);
}

// How far an update got: whether the file holds changes not yet committed (a day half written),
// and the newest day the file holds as of its last commit.
struct Progress {
    bool uncommitted = false;
    std::string newest_day;
};

class TickFile {
public:
    // `commit_each_day`: each day is committed as it is written (an update in place: a stop keeps
    // the days finished); otherwise once, at the end (a new file that replaces another whole).
    TickFile(h5::File& file, std::string order_book_id, int min_start_date, Progress& progress, bool commit_each_day)
        : file_(file),
          order_book_id_(std::move(order_book_id)),
          min_start_date_(min_start_date),
          progress_(progress),
          commit_each_day_(commit_each_day),
          file_type_(layout::H5TicksLoader::DTYPES()),
          memory_type_(layout::H5TicksLoader::memory_type()) {}

    void update() {
        finish_interrupted_replacements();

        const std::vector<std::string> names = file_.members();
        for (const std::string& name : names)
            if (layout::is_day_member(name)) progress_.newest_day = std::max(progress_.newest_day, name);
        const std::int64_t start =
            names.empty() ? min_start_date_ : start_from_name(*std::max_element(names.begin(), names.end()));
        const int end_date = service::_get_end_date();
        if (end_date < start) return;
        const int start_date = static_cast<int>(start);

        service::PriceQuery day_query;
        day_query.order_book_id = order_book_id_;
        day_query.start_date = start_date;
        day_query.end_date = end_date;
        day_query.frequency = service::Frequency::Day;
        const std::optional<service::Frame> day_bars = service::current().get_price(day_query);
        if (!day_bars || day_bars->empty()) return;

        std::vector<int> trading_dates;
        trading_dates.reserve(day_bars->rows());
        for (const host::DateTime& t : day_bars->timestamp) trading_dates.push_back(host::date_to_number(t));
        std::sort(trading_dates.begin(), trading_dates.end());
        trading_dates.erase(std::unique(trading_dates.begin(), trading_dates.end()), trading_dates.end());

        // Suspended days are marked in date order among the tick days, and committed with the
        // day after them: every member below the greatest name is then final at any moment, so
        // the restart point of an interrupted update never lies beyond a day that is still
        // missing, marks included.
        const std::vector<int> suspended = suspended_days(start_date, end_date);
        auto next_mark = suspended.begin();
        const auto mark_days_before = [&](int day) {
            for (; next_mark != suspended.end() && *next_mark < day; ++next_mark) mark_suspended(*next_mark);
        };

        fetch_tick_days(order_book_id_, trading_dates, file_.path(), [&](const TickDay& day) {
            // Stops come between days only: what was committed stays.
            host::throw_if_interrupted();
            progress_.uncommitted = true;
            mark_days_before(day.trading_date);
            write_day(day);
            if (commit_each_day_) commit();
            step("day_done", day.trading_date);
        });
        progress_.uncommitted = true;
        mark_days_before(std::numeric_limits<int>::max());
        commit();
    }

private:
    // Everything written since the last commit becomes the state a failure or a stop returns to.
    void commit() {
        file_.commit();
        progress_.uncommitted = false;
        progress_.newest_day = std::max(progress_.newest_day, newest_written_);
    }

    // A ".tmp-YYYYMMDD" member is left only by an update of an earlier version that was stopped
    // while replacing its day (each day is now written under its own name, all or nothing, by
    // one commit). Next to its day it may be incomplete and goes; alone, its day had already
    // been unlinked, which happened only once the temporary was complete and durable, so it
    // becomes the day.
    void finish_interrupted_replacements() {
        bool changed = false;
        for (const std::string& name : file_.members()) {
            const std::optional<std::string> key = day_of_temporary_member(name);
            if (!key) continue;
            progress_.uncommitted = true;
            if (file_.contains(*key))
                file_.unlink(name);
            else
                file_.rename(name, *key);
            changed = true;
        }
        if (changed) commit();
    }

    // Writes one trading date under its name, in place of a stored day of that name (the newest
    // stored day is fetched again). The caller's commit makes the day's change whole: until
    // then the undo journal brings back the stored day, however the update ends.
    void write_day(const TickDay& day) {
        const std::string key = day_key(day.trading_date);
        if (file_.contains(key)) {
            file_.unlink(key);
            step("old_unlinked", day.trading_date);
        }
        h5::DatasetOptions options;
        options.chunk_rows = chunk_rows(day.records.size(), sizeof(TickRecord));
        options.filters = {layout::COMPRESSION_KWARGS().filter()};
        writer_.write(file_, key, day.records, options);
        newest_written_ = std::max(newest_written_, key);
        step("day_written", day.trading_date);
    }

    host::InstrumentType instrument_type() const {
        const service::InstrumentLookup found = service::current().instruments(order_book_id_, std::nullopt);
        if (found.is_none()) throw ValueError("标的 " + order_book_id_ + " 不存在");
        if (const auto* single = found.single()) return single->type;
        const auto& list = *found.list();
        if (list.empty()) throw ValueError(fmt::format("标的 {} 的查询结果为空列表，无法确定类型", order_book_id_));
        return list.front().type;
    }

    // The suspended days of a stock in the range, ascending; none for other instruments.
    std::vector<int> suspended_days(int start_date, int end_date) const {
        if (instrument_type() != host::INSTRUMENT_TYPE::CS) return {};
        service::SuspensionTable table;
        {
            service::SuppressWarnings quiet;
            table = service::current().is_suspended(order_book_id_, start_date, end_date);
        }
        std::vector<int> days;
        for (const service::SuspensionRow& row : table)
            if (row.suspended) days.push_back(row.date);
        std::sort(days.begin(), days.end());
        return days;
    }

    // An empty dataset, without filters, for a suspended day that has no dataset: "suspended,
    // no ticks" as opposed to a missing name, "not fetched or not traded".
    void mark_suspended(int day) {
        const std::string key = day_key(day);
        if (file_.contains(key)) return;
        file_.create_dataset(key, file_type_, memory_type_.id(), 0, nullptr, h5::DatasetOptions{});
        newest_written_ = std::max(newest_written_, key);
        step("suspended_marked", day);
    }

    h5::File& file_;
    std::string order_book_id_;
    int min_start_date_;
    Progress& progress_;
    bool commit_each_day_;
    std::string newest_written_;
    h5::DataType file_type_;
    h5::DataType memory_type_;
    DayWriter writer_;
};

}  // namespace

std::string day_key(int yyyymmdd) { return fmt::format("{:08}", yyyymmdd); }

std::string temporary_member(const std::string& key) { return std::string(TEMPORARY_PREFIX) + key; }

std::optional<std::string> day_of_temporary_member(std::string_view name) {
    if (!name.starts_with(TEMPORARY_PREFIX)) return std::nullopt;
    const std::string_view key = name.substr(TEMPORARY_PREFIX.size());
    if (key.size() != 8 || !all_digits(key)) return std::nullopt;
    return std::string(key);
}

std::size_t chunk_rows(std::size_t rows, std::size_t record_size) {
    const std::size_t most = std::max<std::size_t>(1, CHUNK_BYTES / std::max<std::size_t>(1, record_size));
    return std::clamp<std::size_t>(rows, 1, most);
}

// The room a block of ticks asks for, as a share of its records' bytes. Blosc (LZ4, byte
// shuffle) stores a day of ticks in 15-18 % of them: 15.5 % for the simulated market's stocks,
// 18 % for its futures (whose books change more often), measured on whole files of 15 days; a
// block of 114 MiB of a stock's records stores in about 17 MiB. 30 % leaves a margin of more than
// 1.6x for feeds that compress worse, without refusing an update that would fit by far (half the
// records' bytes asked 57 MiB for those 17 MiB). The free space kept on top of it
// (host/disk_space.hpp) is asked for besides.
constexpr std::size_t STORED_SHARE_PERCENT = 30;

void fetch_tick_days(const std::string& order_book_id, const std::vector<int>& trading_dates,
                     const std::string& file_path, const std::function<void(const TickDay&)>& visit) {
    const std::size_t block = layout::TICK_DATE_CHUNK_SIZE;
    for (std::size_t first = 0; first < trading_dates.size(); first += block) {
        const std::size_t last = std::min(first + block, trading_dates.size()) - 1;
        host::print_line(host::hyphenated(trading_dates[first]) + " " + host::hyphenated(trading_dates[last]));
        service::PriceQuery tick_query;
        tick_query.order_book_id = order_book_id;
        tick_query.start_date = trading_dates[first];
        tick_query.end_date = trading_dates[last];
        tick_query.frequency = service::Frequency::Tick;
        tick_query.adjust_type = "none";
        host::throw_if_interrupted();
        const std::optional<service::Frame> ticks = service::current().get_price(tick_query);
        if (!ticks || ticks->empty()) continue;
        layout::reserve_free_space(file_path, ticks->rows() * sizeof(TickRecord) * STORED_SHARE_PERCENT / 100);
        for_each_tick_day(*ticks, visit);
    }
}

void _append_h5_tick(const std::string& order_book_id, const std::string& path,
                     const std::optional<std::string>& file_name, int min_start_date, bool rebuild) {
    layout::make_directories(path);
    const std::string h5_file =
        (fs::path(path) / (file_name && !file_name->empty() ? *file_name : layout::store_file_name(order_book_id)))
            .string();
    // A new (or rebuilt) file only for an instrument the service knows: for an unknown one the
    // day bars are none, and the update would end quietly with an empty file that looks updated
    // (or a rebuild would find nothing to replace the old file with).
    if (std::error_code ec; (rebuild || (!fs::exists(h5_file, ec) && !ec)) &&
                            service::current().instruments(order_book_id, std::nullopt).is_none())
        throw ValueError("标的 " + order_book_id + " 不存在");
    const std::string mode = layout::get_h5_mode(h5_file);
    host::SharedFlag& flag = host::sval();
    // A missing plug-in is a set-up problem of the machine, not of this file: say so plainly.
    layout::require_blosc_filter();

    // An update in place commits each finished day (File::commit): whatever fails or stops it
    // leaves the file at its last finished day, never further back. A rebuild builds the whole
    // new file under a temporary name and puts it in place of the old one only once complete:
    // whatever fails or stops it leaves the old file as it was, and the partial new file goes.
    Progress progress;
    const std::string work_file = layout::temporary_store_path(h5_file);
    h5::File file;
    try {
        host::throw_if_interrupted();
        if (rebuild) {
            const layout::HeldStoreFile old(h5_file);
            file = layout::create_new_store_file(work_file);
            TickFile(file, order_book_id, min_start_date, progress, /*commit_each_day=*/false).update();
            host::throw_if_interrupted();  // a stopped or orphaned worker replaces nothing
            if (std::error_code ec; progress.newest_day.empty() && fs::exists(h5_file, ec)) {
                // The service has no day for it now: an empty file is no better than the old.
                host::system_log().warning("重建 " + h5_file + ": the service has no ticks for " + order_book_id +
                                           "; the old file is kept");
                layout::discard_new_store_file(work_file);
                file.abandon();
                return;
            }
            layout::replace_store_file(work_file, h5_file);
        } else {
            file = open_store(h5_file, mode);
            TickFile(file, order_book_id, min_start_date, progress, /*commit_each_day=*/true).update();
        }
        file.close();
    } catch (...) {
        if (rebuild) {
            if (file.valid()) layout::discard_new_store_file(work_file);
            file.abandon();
        } else if (progress.uncommitted) {
            file.abandon();
        } else if (file.valid()) {
            // Stopped or failed between two days: the close keeps the last one committed, also
            // where commits are made durable in groups (an abandon would give that one up too).
            try {
                file.close();
            } catch (...) {
                // The journal stays for the next writer; the failure reported is the first one.
            }
        }
        const std::string kept =
            rebuild || progress.newest_day.empty()
                ? std::string()
                : fmt::format("its ticks are stored up to {}: the days finished before it stay, the next update goes "
                              "on from there",
                              host::hyphenated(std::stoi(progress.newest_day)));
        if (host::is_interruption(std::current_exception())) {
            if (!kept.empty()) host::system_log().warning("更新 " + h5_file + " 中断, " + kept);
            throw;
        }
        drivers::report_update_failure(h5_file, std::current_exception(), flag, kept);
    }
}

namespace testing {
StepHook set_step_hook(StepHook hook) { return std::exchange(step_hook(), std::move(hook)); }
}  // namespace testing

}  // namespace tarnwick::bundle::tick
