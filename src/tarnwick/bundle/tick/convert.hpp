#pragma once
// Turning one tick table of the service into the records of tick store days.
//
// convert_ticks(frame):
//   1. drops duplicate rows: of the rows with the same (instrument, time stamp) only the last
//      one in table order stays, at its own position;
//   2. groups the rows by their `trading_date`, ascending, keeping table order within a day
//      (night ticks therefore land in the day they are traded for, not their calendar day);
//   3. builds one layout::TickRecord per row: `date` and `time` from the row's time stamp,
//      `open_interest` 0 when the table has no such column, every other field from the column
//      of the same name; each value is stored as round(value * scale), half away from zero.
//      A value that is not a number, or whose scaled value has no integer form in the field,
//      is stored as 0.
// A table without `trading_date` or without one of the record's columns is a ValueError.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "tarnwick/bundle/layout/tick_layout.hpp"
#include "tarnwick/bundle/service/client.hpp"

namespace tarnwick::bundle::tick {

struct TickDay {
    int trading_date = 0;  // YYYYMMDD
    std::vector<layout::TickRecord> records;
};

std::vector<TickDay> convert_ticks(const service::Frame& frame);

// The same days one at a time, ascending, built in one buffer that is reused from day to day:
// `visit(day)` may use the day only until it returns. A fetch of many days then costs one day's
// records of memory instead of all of them (and no fresh pages for every day).
void for_each_tick_day(const service::Frame& frame, const std::function<void(const TickDay&)>& visit);

// round(value * scale) as a 64-bit integer; 0 when that is not a finite value in range.
// (Truncation would store 0.29 * 10000 = 2899.9999999999995 as 2899.)
// (Written without library calls: it runs for every field of every tick.)
inline std::int64_t scaled_i8(double value, double scale) {
    const double x = value * scale;
    // 2^63 is exactly representable; everything strictly inside (-2^63, 2^63) rounds into range
    // (doubles that large are whole numbers).
    constexpr double limit = 9223372036854775808.0;
    if (!(std::fabs(x) < limit)) return 0;                   // NaN fails the comparison too
    const auto whole = static_cast<std::int64_t>(x);         // toward zero
    const double fraction = x - static_cast<double>(whole);  // exact
    // Without branches: whether a price lands just above or just below its integer (2899.9999...
    // or 2900.0000...1) is a coin toss that a branch predictor loses half the time.
    return whole + static_cast<std::int64_t>(fraction >= 0.5) - static_cast<std::int64_t>(fraction <= -0.5);
}

// scaled_i8(values[k], scale) stored into the 8-byte field at field + k * stride, for k < count:
// the conversion's inner loop over one column. With AVX2 (chosen at run time) four values go at
// a time, by exact double arithmetic that gives scaled_i8's results; values beyond 2^51 in
// magnitude, NaN and infinities take scaled_i8 itself.
void scale_i8_column(const double* values, std::size_t count, double scale, unsigned char* field, std::size_t stride);
// The same one value at a time (what scale_i8_column does without AVX2).
void scale_i8_column_scalar(const double* values, std::size_t count, double scale, unsigned char* field,
                            std::size_t stride);
// Whether scale_i8_column uses AVX2 on this processor.
bool simd_scaling();

inline std::uint32_t scaled_u4(double value, double scale) {
    const double x = value * scale;
    if (!(x > -0.5 && x < 4294967295.5)) return 0;
    return static_cast<std::uint32_t>(scaled_i8(x, 1.0));
}

}  // namespace tarnwick::bundle::tick
