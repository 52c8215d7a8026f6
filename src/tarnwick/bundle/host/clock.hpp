#pragma once
// The host's date-time facility: one local wall clock for every "now" the module reads, and the
// conversions between date-times and the integer forms stored in the bundle.
//
// Tests set the clock in-process with set_clock(); end-to-end runs (and their forked workers)
// set it with the environment variable TARNWICK_NOW="YYYY-MM-DD HH:MM:SS[.ffffff]", read once
// per process. Without either, now() is the system's local time.
//
// The clock is bounded: a date after LAST_CLOCK_DATE, the last day of the trading calendar the
// module works with (layout::MAX_END_DATE), is refused with ValueError, as is a TARNWICK_NOW
// that is not a date-time (now() then throws on every call, never falls back to the system
// clock). Every update fetches up to "now"; a clock in the year 9999 would make it run without
// end. Callers read now() once before starting any work, so that a bad setting is reported once.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace tarnwick::bundle::host {

// Naive local date-time with microsecond resolution: the module never needs time zones, only
// the local calendar and the 17:30 cut-off.
using DateTime = std::chrono::local_time<std::chrono::microseconds>;

inline constexpr int LAST_CLOCK_DATE = 29991231;

DateTime now();
// nullopt returns to the real clock; a date after LAST_CLOCK_DATE throws ValueError.
void set_clock(std::optional<DateTime> fixed);

DateTime make_datetime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int microsecond = 0);

// Parses "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS" or "YYYY-MM-DD HH:MM:SS.ffffff" ('T' also accepted).
// Throws ValueError on anything else.
DateTime parse_datetime(const std::string& text);

// YYYYMMDD of the date part.
int date_to_number(DateTime t);
// YYYYMMDDHHMMSS (bar time stamps).
std::int64_t convert_dt_to_int(DateTime t);
// HHMMSSmmm: 09:30:03.500 is 93003500.
std::uint32_t time_to_number(DateTime t);

// Midnight of a YYYYMMDD date; throws ValueError for an impossible date.
DateTime date_from_number(int yyyymmdd);
// Calendar arithmetic on YYYYMMDD integers.
int add_days(int yyyymmdd, int days);
// 0 = Sunday ... 6 = Saturday.
int weekday(int yyyymmdd);
// "2024-01-02" for 20240102.
std::string hyphenated(int yyyymmdd);

}  // namespace tarnwick::bundle::host
