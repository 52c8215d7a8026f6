#include "tarnwick/bundle/host/clock.hpp"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::host {
namespace {

using namespace std::chrono;

std::mutex clock_mutex;
std::optional<DateTime> fixed_now;
bool env_read = false;
std::string env_error;  // why TARNWICK_NOW cannot be used; empty when it can

DateTime within_bound(DateTime t, const std::string& source) {
    if (date_to_number(t) > LAST_CLOCK_DATE)
        throw ValueError(fmt::format("{}: the date {} is after {}, the last date of the trading calendar", source,
                                     hyphenated(date_to_number(t)), hyphenated(LAST_CLOCK_DATE)));
    return t;
}

DateTime system_local_now() {
    const auto sys = time_point_cast<microseconds>(system_clock::now());
    const std::time_t secs = system_clock::to_time_t(sys);
    std::tm local{};
    localtime_r(&secs, &local);
    const auto micros = duration_cast<microseconds>(sys.time_since_epoch()) % seconds{1};
    return make_datetime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                         local.tm_sec, static_cast<int>(micros.count()));
}

}  // namespace

DateTime now() {
    std::lock_guard lock(clock_mutex);
    if (!env_read) {
        env_read = true;
        if (const char* text = std::getenv("TARNWICK_NOW"); text && *text) {
            try {
                fixed_now = within_bound(parse_datetime(text), "TARNWICK_NOW");
            } catch (const ValueError& error) {
                const std::string what = error.what();
                env_error = what.starts_with("TARNWICK_NOW") ? what : "TARNWICK_NOW: " + what;
            }
        }
    }
    if (!env_error.empty()) throw ValueError(env_error);
    return fixed_now ? *fixed_now : within_bound(system_local_now(), "the system clock");
}

void set_clock(std::optional<DateTime> fixed) {
    if (fixed) within_bound(*fixed, "the clock");
    std::lock_guard lock(clock_mutex);
    env_read = true;
    env_error.clear();
    fixed_now = fixed;
}

DateTime make_datetime(int year, int month, int day, int hour, int minute, int second, int microsecond) {
    const year_month_day ymd{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                             std::chrono::day{static_cast<unsigned>(day)}};
    if (!ymd.ok() || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        microsecond < 0 || microsecond > 999999)
        throw ValueError(fmt::format("invalid date-time {:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:06}", year, month, day,
                                     hour, minute, second, microsecond));
    return local_days{ymd} + hours{hour} + minutes{minute} + seconds{second} + microseconds{microsecond};
}

DateTime parse_datetime(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, consumed = 0;
    char sep = 0;
    long us = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &consumed) == 3 &&
        static_cast<size_t>(consumed) == text.size())
        return make_datetime(y, mo, d);
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &y, &mo, &d, &sep, &h, &mi, &s, &consumed) == 7 &&
        (sep == ' ' || sep == 'T')) {
        if (static_cast<size_t>(consumed) == text.size()) return make_datetime(y, mo, d, h, mi, s);
        const std::string rest = text.substr(consumed);
        if (rest.size() >= 2 && rest.size() <= 7 && rest[0] == '.' &&
            rest.find_first_not_of("0123456789", 1) == std::string::npos) {
            us = std::stol(rest.substr(1));
            for (size_t digits = rest.size() - 1; digits < 6; ++digits) us *= 10;
            return make_datetime(y, mo, d, h, mi, s, static_cast<int>(us));
        }
    }
    throw ValueError("expected a date-time \"YYYY-MM-DD HH:MM:SS[.ffffff]\", got \"" + text + "\"");
}

int date_to_number(DateTime t) {
    const year_month_day ymd{floor<days>(t)};
    return static_cast<int>(ymd.year()) * 10000 + static_cast<int>(static_cast<unsigned>(ymd.month())) * 100 +
           static_cast<int>(static_cast<unsigned>(ymd.day()));
}

std::int64_t convert_dt_to_int(DateTime t) {
    const auto day = floor<days>(t);
    const hh_mm_ss hms{floor<seconds>(t - day)};
    return static_cast<std::int64_t>(date_to_number(t)) * 1000000 + hms.hours().count() * 10000 +
           hms.minutes().count() * 100 + hms.seconds().count();
}

std::uint32_t time_to_number(DateTime t) {
    const auto day = floor<days>(t);
    const hh_mm_ss hms{floor<milliseconds>(t - day)};
    return static_cast<std::uint32_t>(hms.hours().count() * 10000000 + hms.minutes().count() * 100000 +
                                      hms.seconds().count() * 1000 + hms.subseconds().count());
}

DateTime date_from_number(int yyyymmdd) {
    return make_datetime(yyyymmdd / 10000, yyyymmdd / 100 % 100, yyyymmdd % 100);
}

int add_days(int yyyymmdd, int n) { return date_to_number(date_from_number(yyyymmdd) + days{n}); }

int weekday(int yyyymmdd) {
    return static_cast<int>(std::chrono::weekday{floor<days>(date_from_number(yyyymmdd))}.c_encoding());
}

std::string hyphenated(int yyyymmdd) {
    return fmt::format("{:04}-{:02}-{:02}", yyyymmdd / 10000, yyyymmdd / 100 % 100, yyyymmdd % 100);
}

}  // namespace tarnwick::bundle::host
