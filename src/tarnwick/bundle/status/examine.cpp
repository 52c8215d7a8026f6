#include "tarnwick/bundle/status/examine.hpp"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "tarnwick/bundle/checks/calendar.hpp"
#include "tarnwick/bundle/checks/listing.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/layout/filters.hpp"
#include "tarnwick/bundle/layout/records.hpp"

namespace tarnwick::bundle::status {
namespace {

namespace fs = std::filesystem;

// The prefix under which a tick update writes a day it replaces (see tick/append.cpp).
constexpr std::string_view TEMPORARY_MEMBER_PREFIX = ".tmp-";

FileStatus start_status(Kind kind, const fs::path& path) {
    FileStatus file;
    file.kind = kind;
    file.path = path.string();
    file.group = kind == Kind::Tick ? "ticks" : path.parent_path().filename().string();
    file.instrument = checks::store_identifier(path);
    file.updating = h5::held_for_writing(path.string());
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    file.bytes = ec ? 0 : size;
    return file;
}

// A failure to read is the file's state, not the run's: sort it and go on.
void record_failure(FileStatus& file) {
    try {
        throw;
    } catch (const OsError& e) {
        file.held = e.kind() == OsError::Kind::WouldBlock;
        file.unreadable = !file.held;
        file.error = e.kind() == OsError::Kind::PermissionDenied ? "permission denied" : e.what();
        if (file.held) file.error = "held by another process";
    } catch (const std::exception& e) {
        file.unreadable = true;
        file.error = e.what();
    }
}

MonthCoverage& month_of(std::vector<MonthCoverage>& months, int day) {
    const int month = day / 100;
    if (months.empty() || months.back().month != month) months.push_back(MonthCoverage{month});
    return months.back();
}

}  // namespace

void measure_days(FileStatus& file, const std::vector<int>& held, const Context& context,
                  const std::vector<int>& marks) {
    file.days_held = static_cast<int>(held.size() - marks.size());
    if (held.empty()) return;
    file.first_date = held.front();
    file.last_date = held.back();
    const auto found = context.suspensions.find(file.instrument);
    static const std::vector<int> none;
    const std::vector<int>& suspended = found == context.suspensions.end() ? none : found->second;
    if (const auto delisted = context.delistings.find(file.instrument); delisted != context.delistings.end())
        file.delisted_date = delisted->second;
    if (context.calendar.empty()) return;

    // The range a file is measured over starts at its first day that is not a suspension day:
    // a tick update marks the suspension days it meets with empty days, also before the
    // service's tick history begins, and the days between such marks and that history are no
    // gap. Within the range (the days the check expects): held, suspended or missing. After
    // it, up to the day the next update would reach: suspended or behind. Held and suspended
    // days are walked along with the calendar, all three being ascending.
    const auto first_traded = std::find_if(held.begin(), held.end(), [&](int day) {
        return !std::binary_search(suspended.begin(), suspended.end(), day);
    });
    const int range_start = first_traded == held.end() ? held.front() : *first_traded;
    const auto expected = checks::trading_dates_between<std::int64_t>(context.calendar, range_start, held.back());
    const std::int64_t range_end = expected.empty() ? held.back() : expected.back();
    const std::int64_t until = std::max<std::int64_t>(range_end, context.target.value_or(held.back()));
    auto held_it = held.begin();
    auto suspended_it = suspended.begin();
    for (auto day_it = std::lower_bound(context.calendar.begin(), context.calendar.end(), held.front());
         day_it != context.calendar.end() && *day_it <= until; ++day_it) {
        const int day = static_cast<int>(*day_it);
        while (held_it != held.end() && *held_it < day) ++held_it;
        while (suspended_it != suspended.end() && *suspended_it < day) ++suspended_it;
        // A suspension mark (an empty tick day) is a suspended day, not a held one.
        const bool is_mark = std::binary_search(marks.begin(), marks.end(), day);
        const bool is_held = held_it != held.end() && *held_it == day && !is_mark;
        const bool is_suspended = is_mark || (suspended_it != suspended.end() && *suspended_it == day);
        const bool before = day < range_start;
        const bool inside = !before && day <= range_end;
        // A delisted instrument (an expired contract) has nothing to fetch after its last day.
        if (!inside && !before && file.delisted_date && day > *file.delisted_date) break;
        if (before && !is_held && !is_suspended) continue;
        MonthCoverage& month = month_of(file.months, day);
        if (is_held) {
            ++month.held;
        } else if (is_suspended) {
            ++month.suspended;
            if (inside) ++file.days_suspended;
        } else if (inside) {
            ++month.missing;
            ++file.days_missing;
            file.missing_dates.push_back(day);
        } else {
            ++month.behind;
            ++file.days_behind;
        }
    }
}

FileStatus examine_minbar(const fs::path& path, const Context& context) {
    FileStatus file = start_status(Kind::Minbar, path);
    try {
        const h5::File store = h5::File::open(path.string(), h5::File::Access::ReadOnly);
        const bool has_index = store.contains("index");
        const bool has_data = store.contains("data");
        if (!has_index || !has_data) {
            if (has_index || has_data) {
                file.unreadable = true;
                file.error = has_data ? "bars without a day index" : "a day index without bars";
            }
            return file;  // neither: an empty file, which the next update fills
        }
        const h5::Dataset index = store.open_dataset("index");
        // Reading through a damaged description of the records can crash the storage library:
        // only the index type this store writes is read.
        if (!index.file_type().equals(layout::INDEX_DTYPE().id())) {
            file.unreadable = true;
            file.error = "the day index has an unknown record type";
            return file;
        }
        // The bars are not read here, but a file whose filter HDF5 cannot run is unreadable to
        // every reader: say so, as the check does, rather than call it current.
        const h5::Dataset data = store.open_dataset("data");
        layout::require_filters(index, "index");
        layout::require_filters(data, "data");
        static const h5::DataType date_only = layout::date_field_memory_type();
        const std::vector<std::int32_t> dates = index.read_all<std::int32_t>(date_only.id());
        file.rows = static_cast<std::int64_t>(data.rows());
        std::vector<int> held(dates.begin(), dates.end());
        if (!std::is_sorted(held.begin(), held.end()) || std::adjacent_find(held.begin(), held.end()) != held.end()) {
            file.unreadable = true;
            file.error = "the day index is out of order";
            return file;
        }
        measure_days(file, held, context);
    } catch (...) {
        record_failure(file);
    }
    return file;
}

FileStatus examine_tick(const fs::path& path, const Context& context) {
    FileStatus file = start_status(Kind::Tick, path);
    try {
        const h5::File store = h5::File::open(path.string(), h5::File::Access::ReadOnly);
        const std::vector<std::string> members = store.members();
        std::vector<int> held, marks;
        held.reserve(members.size());
        const auto listed = context.suspensions.find(file.instrument);
        for (const auto& name : members) {
            if (name.starts_with(TEMPORARY_MEMBER_PREFIX)) {
                file.leftovers.push_back({Leftover::Kind::TemporaryMember, name});
                continue;
            }
            // Day names are eight digits; the check reads longer names by their first eight.
            int day = 0;
            const char* end = name.data() + std::min<std::size_t>(name.size(), 8);
            const auto parsed = std::from_chars(name.data(), end, day);
            if (parsed.ec == std::errc() && parsed.ptr == end && name.size() >= 8) held.push_back(day);
            // Only the days the suspension record names are opened to tell a suspension mark (an
            // empty day) from ticks: reading member names alone keeps a status of thousands of
            // files fast, and the tick update marks only days the service reports suspended.
            if (name.size() == 8 && listed != context.suspensions.end() &&
                std::binary_search(listed->second.begin(), listed->second.end(), day) &&
                store.open_dataset(name).rows() == 0)
                marks.push_back(day);
        }
        std::sort(held.begin(), held.end());
        held.erase(std::unique(held.begin(), held.end()), held.end());
        std::sort(marks.begin(), marks.end());
        measure_days(file, held, context, marks);
    } catch (...) {
        record_failure(file);
    }
    return file;
}

}  // namespace tarnwick::bundle::status
