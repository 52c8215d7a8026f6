#include "tarnwick/bundle/tick/convert.hpp"

#include <algorithm>
#include <chrono>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/clock.hpp"

namespace tarnwick::bundle::tick {
namespace {

using layout::TickRecord;
namespace loader = layout::H5TicksLoader;

std::string_view id_at(const service::Frame& frame, std::size_t row) {
    return row < frame.order_book_id.size() ? std::string_view(frame.order_book_id[row]) : std::string_view{};
}

// The rows that survive duplicate removal, in table order.
std::vector<std::size_t> last_rows_of_each_key(const service::Frame& frame) {
    const std::size_t n = frame.rows();
    // The service sends one instrument's ticks in time order, so duplicates are neighbours:
    // check that in one pass and avoid sorting in the usual case.
    bool ordered = true;
    for (std::size_t r = 1; r < n && ordered; ++r)
        ordered = id_at(frame, r) == id_at(frame, 0) && !(frame.timestamp[r] < frame.timestamp[r - 1]);
    std::vector<std::size_t> rows;
    rows.reserve(n);
    if (ordered) {
        for (std::size_t r = 0; r < n; ++r)
            if (r + 1 == n || frame.timestamp[r + 1] != frame.timestamp[r]) rows.push_back(r);
        return rows;
    }
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto key_less = [&](std::size_t a, std::size_t b) {
        const auto ia = id_at(frame, a), ib = id_at(frame, b);
        if (ia != ib) return ia < ib;
        return frame.timestamp[a] < frame.timestamp[b];
    };
    std::stable_sort(order.begin(), order.end(), key_less);
    for (std::size_t k = 0; k < n; ++k)
        if (k + 1 == n || key_less(order[k], order[k + 1])) rows.push_back(order[k]);  // last of its run
    std::sort(rows.begin(), rows.end());
    return rows;
}

template <class T>
T& field_at(TickRecord& record, std::size_t offset) {
    return *reinterpret_cast<T*>(reinterpret_cast<unsigned char*>(&record) + offset);
}

}  // namespace

std::vector<TickDay> convert_ticks(const service::Frame& frame) {
    std::vector<TickDay> days;
    for_each_tick_day(frame, [&](const TickDay& day) { days.push_back(day); });
    return days;
}

void for_each_tick_day(const service::Frame& frame, const std::function<void(const TickDay&)>& visit) {
    if (frame.empty()) return;
    if (!frame.trading_date) throw ValueError("tick table has no trading_date column");
    if (frame.trading_date->size() != frame.rows())
        throw ValueError(
            fmt::format("tick table has {} trading dates for {} rows", frame.trading_date->size(), frame.rows()));

    // Where each record field comes from: a column of the table, or the time stamp. Fields of
    // one kind have their own list, so that the per-row loops below do not branch on the kind.
    struct ColumnField {
        std::size_t offset;
        double scale;
        const double* column;
    };
    std::vector<ColumnField> i8_columns, u4_columns;
    std::vector<std::size_t> i8_zeros;
    std::optional<ColumnField> date_field, time_field;
    for (const loader::Field& field : loader::FIELDS) {
        const std::string name(field.name);
        const bool u4 = field.type == loader::FieldType::U4;
        if (name == "date") {
            date_field = ColumnField{field.offset, field.scale, nullptr};
        } else if (name == "time") {
            time_field = ColumnField{field.offset, field.scale, nullptr};
        } else if (name == "open_interest" && !frame.has(name)) {
            i8_zeros.push_back(field.offset);
        } else {
            const std::vector<double>& column = frame.column(name);  // ValueError naming a missing column
            if (column.size() != frame.rows())
                throw ValueError(
                    fmt::format("tick column \"{}\" has {} values for {} rows", name, column.size(), frame.rows()));
            (u4 ? u4_columns : i8_columns).push_back({field.offset, field.scale, column.data()});
        }
    }

    // Rows per trading date, ascending by date, table order within a date. Trading dates come
    // in runs: each run's date is converted once.
    std::map<int, std::vector<std::size_t>> rows_by_day;
    {
        std::chrono::local_days run_day{};
        std::vector<std::size_t>* run_rows = nullptr;
        for (std::size_t r : last_rows_of_each_key(frame)) {
            const host::DateTime t = (*frame.trading_date)[r];
            const auto day = std::chrono::floor<std::chrono::days>(t);
            if (!run_rows || day != run_day) {
                run_day = day;
                run_rows = &rows_by_day[host::date_to_number(t)];
            }
            run_rows->push_back(r);
        }
    }

    // date and time of a row from its time stamp: the calendar conversion once per run of ticks
    // of one calendar day, the time of day (HHMMSSmmm) by integer arithmetic.
    std::chrono::local_days cached_day{};
    std::uint32_t cached_date = 0;
    bool have_cached = false;
    const auto date_and_time = [&](host::DateTime t, std::uint32_t& date, std::uint32_t& time) {
        const auto day = std::chrono::floor<std::chrono::days>(t);
        if (!have_cached || day != cached_day) {
            cached_day = day;
            cached_date = static_cast<std::uint32_t>(host::date_to_number(t));
            have_cached = true;
        }
        date = cached_date;
        const std::int64_t ms = std::chrono::floor<std::chrono::milliseconds>(t - day).count();
        const std::int64_t s = ms / 1000;
        time = static_cast<std::uint32_t>((s / 3600) * 10000000 + (s / 60 % 60) * 100000 + (s % 60) * 1000 + ms % 1000);
    };

    TickDay day;
    for (const auto& [trading_date, rows] : rows_by_day) {
        day.trading_date = trading_date;
        day.records.resize(rows.size());
        // Record by record, so that each record is written whole while it is in the cache.
        for (std::size_t k = 0; k < rows.size(); ++k) {
            TickRecord& record = day.records[k];
            const std::size_t r = rows[k];
            for (const ColumnField& f : i8_columns)
                field_at<std::int64_t>(record, f.offset) = scaled_i8(f.column[r], f.scale);
            for (const ColumnField& f : u4_columns)
                field_at<std::uint32_t>(record, f.offset) = scaled_u4(f.column[r], f.scale);
            for (const std::size_t offset : i8_zeros) field_at<std::int64_t>(record, offset) = 0;
            std::uint32_t date = 0, time = 0;
            date_and_time(frame.timestamp[r], date, time);
            if (date_field) field_at<std::uint32_t>(record, date_field->offset) = scaled_u4(date, date_field->scale);
            if (time_field) field_at<std::uint32_t>(record, time_field->offset) = scaled_u4(time, time_field->scale);
        }
        visit(day);
    }
}

}  // namespace tarnwick::bundle::tick
