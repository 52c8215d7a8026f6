#include "tarnwick/bundle/audit/rules.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <fmt/format.h>

#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/layout/paths.hpp"

namespace tarnwick::bundle::audit {
namespace {

constexpr std::int64_t NIGHT_START = 180000;  // a bar at or after 18:00 belongs to the next trading day
constexpr std::int64_t NIGHT_END = 30000;     // ... and one before 03:00 to the first one from its date
constexpr double PRICE_SCALE = layout::H5TicksLoader::PRICE;

// "09:31:00" of a bar time stamp YYYYMMDDHHMMSS.
std::string bar_time(std::int64_t datetime) {
    const std::int64_t t = datetime % 1000000;
    return fmt::format("{:02}:{:02}:{:02}", t / 10000, t / 100 % 100, t % 100);
}

// "09:30:03.500" of a tick's time HHMMSSmmm.
std::string tick_time(std::uint32_t time) {
    return fmt::format("{:02}:{:02}:{:02}.{:03}", time / 10000000, time / 100000 % 100, time / 1000 % 100, time % 1000);
}

double price(std::int64_t stored) { return static_cast<double>(stored) / PRICE_SCALE; }

// |a - b| without overflow: damaged records may hold any 64-bit value.
std::int64_t distance(std::int64_t a, std::int64_t b) {
    const __int128 d = static_cast<__int128>(a) - b;
    const __int128 magnitude = d < 0 ? -d : d;
    return magnitude > INT64_MAX ? INT64_MAX : static_cast<std::int64_t>(magnitude);
}

// A bar's price in the ticks' stored units, saturated (NaN and huge values land far away).
std::int64_t stored_price(double p) {
    const double scaled = std::round(p * PRICE_SCALE);
    if (!(scaled > -9.0e18)) return INT64_MIN;
    return scaled < 9.0e18 ? static_cast<std::int64_t>(scaled) : INT64_MAX;
}

// " (and N more)" when a rule met more than one offending record in the day.
std::string more(std::size_t count) { return count > 1 ? fmt::format(" (and {} more)", count - 1) : std::string(); }

// Runs `bad(record, why)` over a day's records and reports the first offender's text and the
// count. `bad` says whether the record offends; it writes the text to `why` only when that is
// not null, which it is after the first offender, so records cost no text.
template <class Record, class Bad>
void first_of(const Subject& s, Kind kind, Store store, int day, std::span<const Record> records, Bad bad) {
    std::size_t count = 0;
    std::string first;
    for (const Record& r : records)
        if (bad(r, count == 0 ? &first : nullptr)) ++count;
    if (count > 0) s.add(kind, store, day, first + more(count));
}

// For a rule's `bad`: the record offends, and `text()` says why when asked.
template <class Text>
bool offends(std::string* why, Text text) {
    if (why) *why = text();
    return true;
}

bool is_weekday(int day) { return host::weekday(day) != 0 && host::weekday(day) != 6; }

// The first trading day after `date` (`after`) or not before it.
int next_trading_day(int date, bool after, const std::vector<std::int64_t>& calendar) {
    if (!calendar.empty()) {
        const auto at = after ? std::upper_bound(calendar.begin(), calendar.end(), date)
                              : std::lower_bound(calendar.begin(), calendar.end(), date);
        if (at != calendar.end()) return static_cast<int>(*at);
    }
    int day = after ? host::add_days(date, 1) : date;
    while (!is_weekday(day)) day = host::add_days(day, 1);
    return day;
}

}  // namespace

const char* store_name(Store store) { return store == Store::Minbar ? "minbar" : "tick"; }

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::ThinDay:
            return "thin_day";
        case Kind::TimeOrder:
            return "time_order";
        case Kind::OutsideSession:
            return "outside_session";
        case Kind::Ohlc:
            return "ohlc";
        case Kind::NegativeVolume:
            return "negative_volume";
        case Kind::Turnover:
            return "turnover";
        case Kind::Limit:
            return "limit";
        case Kind::CumulativeFalls:
            return "cumulative_falls";
        case Kind::MinuteVsTick:
            return "minute_vs_tick";
        case Kind::NonDayMember:
            return "non_day_member";
    }
    return "?";
}

void Subject::add(Kind kind, Store store, int date, std::string reason) const {
    out->push_back(Finding{kind, store, std::string(instrument), date, std::move(reason)});
}

void non_day_member(const Subject& s, const std::string& name) {
    constexpr std::string_view UNFINISHED = ".tmp-";
    const std::string_view day = std::string_view(name).substr(std::min(name.size(), UNFINISHED.size()));
    if (name.starts_with(UNFINISHED) && layout::is_day_member(day))
        s.add(Kind::NonDayMember, Store::Tick, std::stoi(std::string(day)),
              fmt::format("member \"{}\": the day as a stopped update left it; the next update of the file finishes it",
                          name));
    else
        s.add(Kind::NonDayMember, Store::Tick, 0,
              fmt::format("member \"{}\" is not a day (named YYYYMMDD): readers and the checks pass it over, and an "
                          "update stops at it when it sorts after the days",
                          name));
}

bool night_group(std::string_view group) { return group == layout::FUTURE_GROUP || group == layout::OPTION_GROUP; }

Sessions sessions_of(std::string_view group, std::string_view instrument) {
    if (night_group(group)) return {{{210000, 240000}, {-1, 23000}, {90000, 113000}, {130000, 151500}}, 225};
    if (instrument.ends_with(".XHKG")) return {{{93000, 120000}, {130000, 161000}}, 330, 150};
    return {{{93000, 113000}, {130000, 150000}}, 240};
}

bool in_day_session(std::int64_t datetime) {
    const std::int64_t time = datetime % 1000000;
    return time >= NIGHT_END && time < NIGHT_START;
}

int trading_day_of(std::int64_t datetime, bool night, const std::vector<std::int64_t>& calendar) {
    const auto date = static_cast<int>(datetime / 1000000);
    const std::int64_t time = datetime % 1000000;
    if (!night || (time >= NIGHT_END && time < NIGHT_START)) return date;
    return next_trading_day(date, time >= NIGHT_START, calendar);
}

void thin_day(const Subject& s, int day, std::size_t bars, double usual_bars, const Sessions& sessions) {
    const auto count = static_cast<double>(bars);
    if (sessions.half_day > 0 && bars >= sessions.half_day) return;
    if (count <= THIN_SHARE * usual_bars)
        s.add(Kind::ThinDay, Store::Minbar, day,
              fmt::format("{} bars, the instrument's usual day has {}", bars, usual_bars));
    else if (count <= THIN_SHARE * sessions.minutes)
        s.add(Kind::ThinDay, Store::Minbar, day,
              fmt::format("{} bars, the sessions hold {} minutes", bars, sessions.minutes));
}

void time_order(const Subject& s, int day, Bars bars, std::int64_t before) {
    std::size_t count = 0;
    std::string first;
    for (const auto& bar : bars) {
        if (bar.datetime <= before) {
            if (count++ == 0)
                first = bar.datetime == before ? fmt::format("two bars stamped {}", bar_time(bar.datetime))
                                               : fmt::format("bar {} follows bar {} of {}", bar_time(bar.datetime),
                                                             bar_time(before), before / 1000000);
        }
        before = bar.datetime;
    }
    if (count > 0) s.add(Kind::TimeOrder, Store::Minbar, day, first + more(count));
}

void outside_session(const Subject& s, int day, Bars bars, const Sessions& sessions, bool night,
                     const std::vector<std::int64_t>& calendar) {
    first_of(s, Kind::OutsideSession, Store::Minbar, day, bars, [&](const layout::EquityBar& bar, std::string* why) {
        const std::int64_t time = bar.datetime % 1000000;
        const bool inside = std::any_of(sessions.windows.begin(), sessions.windows.end(),
                                        [&](const Window& w) { return time > w.from && time <= w.to; });
        if (!inside)
            return offends(why, [&] {
                return fmt::format("bar {} of {} lies outside the sessions", bar_time(bar.datetime),
                                   bar.datetime / 1000000);
            });
        if (!night && bar.datetime / 1000000 == day) return false;  // by day, a bar's date is its trading day
        int belongs = 0;
        try {
            belongs = trading_day_of(bar.datetime, night, calendar);
        } catch (const std::exception&) {  // no such date
            return offends(why, [&] { return fmt::format("bar stamped {} is no date and time", bar.datetime); });
        }
        if (belongs != day)
            return offends(why, [&] {
                return fmt::format("bar {} of {} belongs to trading day {}", bar_time(bar.datetime),
                                   bar.datetime / 1000000, belongs);
            });
        return false;
    });
}

void ohlc(const Subject& s, int day, Bars bars) {
    first_of(s, Kind::Ohlc, Store::Minbar, day, bars, [](const layout::EquityBar& b, std::string* why) {
        // Negated comparisons, so that NaN prices count as bad too.
        if (!(b.open > 0 && b.high > 0 && b.low > 0 && b.close > 0))
            return offends(why, [&] {
                return fmt::format("bar {}: a price not above 0 (open {} high {} low {} close {})",
                                   bar_time(b.datetime), b.open, b.high, b.low, b.close);
            });
        if (b.high < std::max({b.open, b.close, b.low}))
            return offends(why, [&] {
                return fmt::format("bar {}: high {} below open {}, close {} or low {}", bar_time(b.datetime), b.high,
                                   b.open, b.close, b.low);
            });
        if (b.low > std::min({b.open, b.close, b.high}))
            return offends(why, [&] {
                return fmt::format("bar {}: low {} above open {}, close {} or high {}", bar_time(b.datetime), b.low,
                                   b.open, b.close, b.high);
            });
        return false;
    });
}

void negative_volume(const Subject& s, int day, Bars bars) {
    first_of(s, Kind::NegativeVolume, Store::Minbar, day, bars, [](const layout::EquityBar& b, std::string* why) {
        if (b.volume < 0 || b.total_turnover < 0)
            return offends(why, [&] {
                return fmt::format("bar {}: volume {}, turnover {}", bar_time(b.datetime), b.volume, b.total_turnover);
            });
        return false;
    });
}

void turnover(const Subject& s, int day, Bars bars, double multiplier) {
    first_of(s, Kind::Turnover, Store::Minbar, day, bars, [&](const layout::EquityBar& b, std::string* why) {
        if (b.volume < 0 || b.total_turnover < 0 || !(b.low > 0)) return false;  // negative_volume / ohlc say it
        if (b.volume == 0) {
            if (b.total_turnover > 0)
                return offends(why, [&] {
                    return fmt::format("bar {}: turnover {} without volume", bar_time(b.datetime), b.total_turnover);
                });
            return false;
        }
        const double average = b.total_turnover / (b.volume * multiplier);
        // A bar whose low lies above its high (the OHLC finding says so) is judged, and shown,
        // by the range its two prices span.
        const double low = std::min(b.low, b.high), high = std::max(b.low, b.high);
        if (average >= low * (1 - TURNOVER_TOLERANCE) && average <= high * (1 + TURNOVER_TOLERANCE)) return false;
        return offends(why, [&] {
            return fmt::format("bar {}: turnover {} over volume {} is {:.6g} a unit, outside [{}, {}]",
                               bar_time(b.datetime), b.total_turnover, b.volume, average, low, high);
        });
    });
}

double turnover_multiplier(std::span<const layout::EquityBar> all_bars, std::vector<double>& scratch) {
    // A sample of at most about 1,000 bars spread over the file gives the same median as all of
    // them, at a small share of the cost.
    scratch.clear();
    const std::size_t stride = all_bars.size() / 1000 + 1;
    for (std::size_t i = 0; i < all_bars.size(); i += stride)
        if (const auto& b = all_bars[i]; b.volume > 0 && b.total_turnover > 0 && b.high > 0 && b.low > 0)
            scratch.push_back(b.total_turnover / (b.volume * (b.high + b.low) / 2));
    if (scratch.empty()) return 1.0;
    const auto middle = scratch.begin() + static_cast<std::ptrdiff_t>(scratch.size() / 2);
    std::nth_element(scratch.begin(), middle, scratch.end());
    return *middle >= 1 ? std::round(*middle) : *middle;
}

void tick_time_order(const Subject& s, int day, Ticks ticks) {
    std::size_t count = 0;
    std::string first;
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        const auto& a = ticks[i - 1];
        const auto& b = ticks[i];
        if (b.date > a.date || (b.date == a.date && b.time >= a.time)) continue;
        if (count++ == 0)
            first = fmt::format("tick {} {} follows tick {} {}", b.date, tick_time(b.time), a.date, tick_time(a.time));
    }
    if (count > 0) s.add(Kind::TimeOrder, Store::Tick, day, first + more(count));
}

void tick_prices(const Subject& s, int day, Ticks ticks) {
    first_of(s, Kind::Ohlc, Store::Tick, day, ticks, [](const layout::TickRecord& t, std::string* why) {
        if (t.last <= 0 && t.volume > 0)  // before the day's first trade a snapshot has no price
            return offends(why,
                           [&] { return fmt::format("tick {}: last price {}", tick_time(t.time), price(t.last)); });
        if (t.high > 0 && t.low > 0 && t.high < t.low)
            return offends(why, [&] {
                return fmt::format("tick {}: high {} below low {}", tick_time(t.time), price(t.high), price(t.low));
            });
        return false;
    });
}

void tick_negative(const Subject& s, int day, Ticks ticks) {
    first_of(s, Kind::NegativeVolume, Store::Tick, day, ticks, [](const layout::TickRecord& t, std::string* why) {
        if (t.volume < 0 || t.total_turnover < 0)
            return offends(why, [&] {
                return fmt::format("tick {}: volume {}, turnover {}", tick_time(t.time), t.volume, t.total_turnover);
            });
        return false;
    });
}

void tick_limit(const Subject& s, int day, Ticks ticks) {
    first_of(s, Kind::Limit, Store::Tick, day, ticks, [](const layout::TickRecord& t, std::string* why) {
        if (t.limit_up > 0 && t.last > t.limit_up)
            return offends(why, [&] {
                return fmt::format("tick {}: last {} above limit_up {}", tick_time(t.time), price(t.last),
                                   price(t.limit_up));
            });
        if (t.limit_down > 0 && t.last > 0 && t.last < t.limit_down)
            return offends(why, [&] {
                return fmt::format("tick {}: last {} below limit_down {}", tick_time(t.time), price(t.last),
                                   price(t.limit_down));
            });
        return false;
    });
}

void cumulative_falls(const Subject& s, int day, Ticks ticks) {
    std::size_t count = 0;
    std::string first;
    for (std::size_t i = 1; i < ticks.size(); ++i) {
        const auto& a = ticks[i - 1];
        const auto& b = ticks[i];
        if (b.volume >= a.volume && b.total_turnover >= a.total_turnover) continue;
        if (count++ == 0)
            first = b.volume < a.volume
                        ? fmt::format("tick {}: volume {} after {}", tick_time(b.time), b.volume, a.volume)
                        : fmt::format("tick {}: turnover {} after {}", tick_time(b.time), b.total_turnover,
                                      a.total_turnover);
    }
    if (count > 0) s.add(Kind::CumulativeFalls, Store::Tick, day, first + more(count));
}

void minute_vs_tick(const Subject& s, int day, Bars bars, Ticks ticks) {
    if (bars.empty() || ticks.empty()) return;
    double volume = 0;
    double high = bars.front().high, low = bars.front().low;
    for (const auto& b : bars) {
        volume += b.volume;
        high = std::max(high, b.high);
        low = std::min(low, b.low);
    }
    // The day's high and low as the exchange reports them on its last tick; the traded prices
    // where a feed leaves those fields empty. The price tick: the smallest step between
    // neighbouring book levels (one stored unit when the book is empty).
    const layout::TickRecord& last = ticks.back();
    std::int64_t tick_high = last.high, tick_low = last.low, step = 0;
    const bool reported = tick_high > 0 && tick_low > 0;
    if (!reported) {
        // Snapshots before the first trade carry no price.
        tick_high = 0;
        tick_low = INT64_MAX;
    }
    for (const auto& t : ticks) {
        if (!reported && t.last > 0) {
            tick_high = std::max(tick_high, t.last);
            tick_low = std::min(tick_low, t.last);
        }
        // Empty book levels hold 0; only two filled neighbours show a step.
        if (t.a1 > 0 && t.a2 > t.a1 && (step == 0 || t.a2 - t.a1 < step)) step = t.a2 - t.a1;
        if (t.b2 > 0 && t.b1 > t.b2 && (step == 0 || t.b1 - t.b2 < step)) step = t.b1 - t.b2;
    }
    step = std::max<std::int64_t>(step, 1);
    const bool traded = tick_high > 0;

    std::vector<std::string> differences;
    if (static_cast<double>(last.volume) != std::round(volume))
        differences.push_back(fmt::format("bar volume {} against tick volume {}", volume, last.volume));
    if (traded && distance(stored_price(high), tick_high) > step)
        differences.push_back(fmt::format("bar high {} against tick high {}", high, price(tick_high)));
    if (traded && distance(stored_price(low), tick_low) > step)
        differences.push_back(fmt::format("bar low {} against tick low {}", low, price(tick_low)));
    if (!differences.empty())
        s.add(Kind::MinuteVsTick, Store::Minbar, day,
              fmt::format("{} (price tick {})", fmt::join(differences, ", "), price(step)));

    if (last.limit_up > 0 && stored_price(high) > last.limit_up)
        s.add(Kind::Limit, Store::Minbar, day,
              fmt::format("bar high {} above the day's limit_up {}", high, price(last.limit_up)));
    else if (last.limit_down > 0 && stored_price(low) < last.limit_down)
        s.add(Kind::Limit, Store::Minbar, day,
              fmt::format("bar low {} below the day's limit_down {}", low, price(last.limit_down)));
}

}  // namespace tarnwick::bundle::audit
