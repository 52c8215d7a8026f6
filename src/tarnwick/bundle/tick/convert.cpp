#include "tarnwick/bundle/tick/convert.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <immintrin.h>

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

// Records per block of the column-by-column conversion: 256 records are 62 KiB.
constexpr std::size_t BLOCK_ROWS = 256;

// Values of a column asked for ahead of their use (1 KiB) by the AVX2 kernels below.
constexpr std::size_t PREFETCH_AHEAD = 128;

void store_i8(unsigned char* at, std::int64_t value) { std::memcpy(at, &value, sizeof value); }

// scaled_i8 of four values as 64-bit integers, or false when a lane needs scaled_i8 itself
// (beyond 2^51 in magnitude, NaN, infinite). With a = |x| below 2^51: t = trunc(a) and a - t are
// exact, t + (a - t >= 0.5) is the rounded magnitude (an integer below 2^52, so adding 2^52
// leaves it as the low bits of the double), and the sign goes back on as an integer. Every step
// is exact, so the results are scaled_i8's bit for bit.
__attribute__((target("avx2"))) inline bool round_four(__m256d x, __m256i& out) {
    const __m256d a = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
    if (_mm256_movemask_pd(_mm256_cmp_pd(a, _mm256_set1_pd(2251799813685248.0), _CMP_LT_OQ)) != 0xF)
        return false;  // NaN compares false
    const __m256d two_52 = _mm256_set1_pd(4503599627370496.0);
    const __m256d t = _mm256_round_pd(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256d up =
        _mm256_and_pd(_mm256_cmp_pd(_mm256_sub_pd(a, t), _mm256_set1_pd(0.5), _CMP_GE_OQ), _mm256_set1_pd(1.0));
    const __m256i magnitude =
        _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(_mm256_add_pd(t, up), two_52)), _mm256_castpd_si256(two_52));
    const __m256i negative = _mm256_castpd_si256(_mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_LT_OQ));
    out = _mm256_sub_epi64(_mm256_xor_si256(magnitude, negative), negative);
    return true;
}

// The conversion reads some 30 columns side by side, more streams than the hardware prefetcher
// follows; asking for each column's values a kilobyte ahead cuts its time by a fifth.
__attribute__((target("avx2"))) inline void prefetch(const double* values) {
    _mm_prefetch(reinterpret_cast<const char*>(values + PREFETCH_AHEAD), _MM_HINT_T0);
}

__attribute__((target("avx2"))) void scale_i8_column_avx2(const double* values, std::size_t count, double scale,
                                                          unsigned char* field, std::size_t stride) {
    const __m256d factor = _mm256_set1_pd(scale);
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        prefetch(values + k);
        unsigned char* const at = field + k * stride;
        __m256i n;
        if (!round_four(_mm256_mul_pd(_mm256_loadu_pd(values + k), factor), n)) {
            for (std::size_t j = 0; j < 4; ++j) store_i8(at + j * stride, scaled_i8(values[k + j], scale));
            continue;
        }
        const __m128i low = _mm256_castsi256_si128(n), high = _mm256_extracti128_si256(n, 1);
        store_i8(at, _mm_cvtsi128_si64(low));
        store_i8(at + stride, _mm_extract_epi64(low, 1));
        store_i8(at + 2 * stride, _mm_cvtsi128_si64(high));
        store_i8(at + 3 * stride, _mm_extract_epi64(high, 1));
    }
    for (; k < count; ++k) store_i8(field + k * stride, scaled_i8(values[k], scale));
}

// Where an 8-byte field of the record comes from: a column of the table, scaled, or zeros
// (open_interest when the table has none).
struct ScaledField {
    std::size_t offset;
    double scale;
    const double* column;  // nullptr: zeros
};

std::int64_t scaled_or_zero(const ScaledField& field, std::size_t row) {
    return field.column ? scaled_i8(field.column[row], field.scale) : 0;
}

// Four fields that lie side by side in the record (fields[0..3], offsets 8 bytes apart), for
// `count` records from table row `row`: four rows at a time, each field's four values rounded
// as above, the 4 x 4 block transposed so that each record takes its four fields in one store.
__attribute__((target("avx2"))) void scale_i8_group_avx2(const ScaledField* fields, std::size_t row, std::size_t count,
                                                         unsigned char* first_field, std::size_t stride) {
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        __m256i n[4];
        bool exact = true;
        for (std::size_t j = 0; j < 4; ++j) {
            if (!fields[j].column) {
                n[j] = _mm256_setzero_si256();
                continue;
            }
            const double* values = fields[j].column + row + k;
            prefetch(values);
            exact &= round_four(_mm256_mul_pd(_mm256_loadu_pd(values), _mm256_set1_pd(fields[j].scale)), n[j]);
        }
        unsigned char* const at = first_field + k * stride;
        if (!exact) {
            for (std::size_t i = 0; i < 4; ++i)
                for (std::size_t j = 0; j < 4; ++j)
                    store_i8(at + i * stride + 8 * j, scaled_or_zero(fields[j], row + k + i));
            continue;
        }
        const __m256i t0 = _mm256_unpacklo_epi64(n[0], n[1]);  // rows 0 and 2 of fields 0, 1
        const __m256i t1 = _mm256_unpackhi_epi64(n[0], n[1]);  // rows 1 and 3
        const __m256i t2 = _mm256_unpacklo_epi64(n[2], n[3]);
        const __m256i t3 = _mm256_unpackhi_epi64(n[2], n[3]);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), _mm256_permute2x128_si256(t0, t2, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(at + stride), _mm256_permute2x128_si256(t1, t3, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(at + 2 * stride), _mm256_permute2x128_si256(t0, t2, 0x31));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(at + 3 * stride), _mm256_permute2x128_si256(t1, t3, 0x31));
    }
    for (; k < count; ++k)
        for (std::size_t j = 0; j < 4; ++j)
            store_i8(first_field + k * stride + 8 * j, scaled_or_zero(fields[j], row + k));
}

using ScaleKernel = void (*)(const double*, std::size_t, double, unsigned char*, std::size_t);

ScaleKernel chosen_kernel() {
    static const ScaleKernel kernel = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") ? &scale_i8_column_avx2 : &scale_i8_column_scalar;
    }();
    return kernel;
}

}  // namespace

void scale_i8_column_scalar(const double* values, std::size_t count, double scale, unsigned char* field,
                            std::size_t stride) {
    for (std::size_t k = 0; k < count; ++k) store_i8(field + k * stride, scaled_i8(values[k], scale));
}

void scale_i8_column(const double* values, std::size_t count, double scale, unsigned char* field, std::size_t stride) {
    chosen_kernel()(values, count, scale, field, stride);
}

bool simd_scaling() { return chosen_kernel() != &scale_i8_column_scalar; }

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
    std::vector<ColumnField> u4_columns;
    std::vector<ScaledField> i8_fields;  // in record order
    std::optional<ColumnField> date_field, time_field;
    for (const loader::Field& field : loader::FIELDS) {
        const std::string name(field.name);
        const bool u4 = field.type == loader::FieldType::U4;
        if (name == "date") {
            date_field = ColumnField{field.offset, field.scale, nullptr};
        } else if (name == "time") {
            time_field = ColumnField{field.offset, field.scale, nullptr};
        } else if (name == "open_interest" && !frame.has(name)) {
            i8_fields.push_back({field.offset, 1.0, nullptr});
        } else {
            const std::vector<double>& column = frame.column(name);  // ValueError naming a missing column
            if (column.size() != frame.rows())
                throw ValueError(
                    fmt::format("tick column \"{}\" has {} values for {} rows", name, column.size(), frame.rows()));
            if (u4)
                u4_columns.push_back({field.offset, field.scale, column.data()});
            else
                i8_fields.push_back({field.offset, field.scale, column.data()});
        }
    }
    // With AVX2, every four 8-byte fields that lie side by side are written together; the others
    // one field at a time.
    std::vector<std::size_t> groups, singles;  // indexes into i8_fields
    const bool simd = simd_scaling();
    for (std::size_t f = 0; f < i8_fields.size();) {
        const bool side_by_side = f + 4 <= i8_fields.size() && i8_fields[f + 1].offset == i8_fields[f].offset + 8 &&
                                  i8_fields[f + 2].offset == i8_fields[f].offset + 16 &&
                                  i8_fields[f + 3].offset == i8_fields[f].offset + 24;
        if (simd && side_by_side) {
            groups.push_back(f);
            f += 4;
        } else {
            singles.push_back(f++);
        }
    }

    // Rows per trading date, ascending by date, table order within a date. Trading dates come
    // in runs: each run's date is converted once. The service sends the days in order, one run
    // each; then every day is a stretch of the surviving rows and needs no list of its own.
    const std::vector<std::size_t> kept = last_rows_of_each_key(frame);
    struct Run {
        int date;
        std::size_t begin, end;  // in `kept`
    };
    std::vector<Run> runs;
    {
        std::chrono::local_days run_day{};
        for (std::size_t k = 0; k < kept.size(); ++k) {
            const host::DateTime t = (*frame.trading_date)[kept[k]];
            const auto day = std::chrono::floor<std::chrono::days>(t);
            if (runs.empty() || day != run_day) {
                run_day = day;
                runs.push_back({host::date_to_number(t), k, k});
            }
            runs.back().end = k + 1;
        }
    }
    std::vector<std::pair<int, std::span<const std::size_t>>> days;  // ascending trading dates
    std::map<int, std::vector<std::size_t>> rows_by_day;             // when runs are out of order
    if (std::adjacent_find(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.date >= b.date; }) ==
        runs.end()) {
        for (const Run& run : runs)
            days.emplace_back(run.date, std::span(kept).subspan(run.begin, run.end - run.begin));
    } else {
        for (const Run& run : runs) {
            std::vector<std::size_t>& rows = rows_by_day[run.date];
            rows.insert(rows.end(), kept.begin() + static_cast<std::ptrdiff_t>(run.begin),
                        kept.begin() + static_cast<std::ptrdiff_t>(run.end));
        }
        for (const auto& [date, rows] : rows_by_day) days.emplace_back(date, std::span(rows));
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

    const ScaleKernel scale_column = chosen_kernel();
    TickDay day;
    for (const auto& [trading_date, rows] : days) {
        day.trading_date = trading_date;
        day.records.resize(rows.size());
        auto* const base = reinterpret_cast<unsigned char*>(day.records.data());
        for (std::size_t k = 0; k < rows.size(); ++k) {
            TickRecord& record = day.records[k];
            const std::size_t r = rows[k];
            for (const ColumnField& f : u4_columns)
                field_at<std::uint32_t>(record, f.offset) = scaled_u4(f.column[r], f.scale);
            std::uint32_t date = 0, time = 0;
            date_and_time(frame.timestamp[r], date, time);
            if (date_field) field_at<std::uint32_t>(record, date_field->offset) = scaled_u4(date, date_field->scale);
            if (time_field) field_at<std::uint32_t>(record, time_field->offset) = scaled_u4(time, time_field->scale);
        }
        // The scaled columns, column by column over blocks of rows that follow each other in the
        // table: each column is read in one sequential stretch, and the block's records stay in
        // the cache while all columns are written into them. Removed duplicates end a block.
        for (std::size_t k = 0; k < rows.size();) {
            std::size_t end = k + 1;
            while (end < rows.size() && end - k < BLOCK_ROWS && rows[end] == rows[end - 1] + 1) ++end;
            const std::size_t row = rows[k], count = end - k;
            unsigned char* const block = base + k * sizeof(TickRecord);
            for (const std::size_t g : groups)
                scale_i8_group_avx2(&i8_fields[g], row, count, block + i8_fields[g].offset, sizeof(TickRecord));
            for (const std::size_t f : singles) {
                const ScaledField& field = i8_fields[f];
                if (field.column)
                    scale_column(field.column + row, count, field.scale, block + field.offset, sizeof(TickRecord));
                else
                    for (std::size_t i = 0; i < count; ++i) store_i8(block + i * sizeof(TickRecord) + field.offset, 0);
            }
            k = end;
        }
        visit(day);
    }
}

}  // namespace tarnwick::bundle::tick
