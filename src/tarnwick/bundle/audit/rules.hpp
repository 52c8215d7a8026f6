#pragma once
// The content rules: one function per kind of finding, each looking at one trading day of one
// instrument's minute bars or ticks as they are stored, and reporting at most one finding per
// day (the first offending record, and how many more there were).
//
// The thresholds are constants here and in the README ("check content"): a rule is only as
// good as the reason it can give, so each finding's reason names the record and the figures.
//
// Pure functions over memory: no I/O, no allocation per record (a finding's text is the only
// allocation, and only when there is a finding).
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/bundle/audit/findings.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/layout/tick_layout.hpp"

namespace tarnwick::bundle::audit {

// Thresholds.
// A day is thin when its bars are at most this share of the instrument's median day, or of the
// minutes its sessions hold (120 of 240 is thin).
inline constexpr double THIN_SHARE = 0.5;
// turnover / (volume x multiplier) may lie this far (relative) outside [low, high]: turnover is
// rounded to the cent, and some feeds compute it from unrounded prices.
inline constexpr double TURNOVER_TOLERANCE = 1e-3;

// Where one instrument's findings go, and what the rules need to know about it.
struct Subject {
    std::string_view instrument;
    std::vector<Finding>* out;
    void add(Kind kind, Store store, int date, std::string reason) const;
};

// Trading sessions as windows of bar time stamps HHMMSS: a bar closing at t lies in a window
// when from < t <= to (the bar of 09:30-09:31 is stamped 09:31:00). Night windows run past
// midnight as two windows.
struct Window {
    int from;
    int to;
};
struct Sessions {
    std::vector<Window> windows;
    int minutes = 0;  // the minutes of the shortest regular day the windows allow (for thin days)
    // A day of at least this many bars is never thin: the exchange's half days (Hong Kong's
    // mornings before Christmas, New Year and the Lunar New Year) hold just the morning session.
    std::size_t half_day = 0;
};
// The sessions of an instrument by the group folder its minute bars are in and its identifier:
// A shares, funds and the like 09:30-11:30, 13:00-15:00 (240 bars); Hong Kong (".XHKG")
// 09:30-12:00, 13:00-16:10 (330 bars, closing auction included); "future" and "option" the union
// of the exchanges' sessions, 21:00-02:30 at night, 09:00-11:30 and 13:00-15:15 by day (at least
// 225 bars).
Sessions sessions_of(std::string_view group, std::string_view instrument);
bool night_group(std::string_view group);
// Whether a bar stamped `datetime` lies in the day's sessions (03:00 to 18:00), not the night's.
// The night session is left out before every holiday, so night groups count only these bars
// when judging a thin day.
bool in_day_session(std::int64_t datetime);

// The trading day a bar belongs to: its own date by day; for night groups a bar at 18:00 or
// later belongs to the first calendar day after its date, one before 03:00 to the first
// calendar day not before its date. Without a calendar, weekdays stand in.
int trading_day_of(std::int64_t datetime, bool night, const std::vector<std::int64_t>& calendar);

// A member of a tick file that is no day: ".tmp-YYYYMMDD", a day being written when an update
// of an earlier version stopped (the next update finishes it; the finding's date is that day),
// or a stray name (date 0), which readers and the checks pass over.
void non_day_member(const Subject& s, const std::string& name);

// ---- minute bars of one day ----------------------------------------------------------------
using Bars = std::span<const layout::EquityBar>;  // derivative bars are read into this form

void thin_day(const Subject& s, int day, std::size_t bars, double usual_bars, const Sessions& sessions);
// `before`: the bar before the day's first one (0 when there is none), so that order is kept
// across days too.
void time_order(const Subject& s, int day, Bars bars, std::int64_t before);
void outside_session(const Subject& s, int day, Bars bars, const Sessions& sessions, bool night,
                     const std::vector<std::int64_t>& calendar);
void ohlc(const Subject& s, int day, Bars bars);
void negative_volume(const Subject& s, int day, Bars bars);
// `multiplier`: turnover per unit of price and volume (1 for stocks, the contract size for
// futures and options); see turnover_multiplier().
void turnover(const Subject& s, int day, Bars bars, double multiplier);
// The instrument's multiplier, as its bars show it: the median of turnover / (volume x mid
// price) over about 1,000 bars spread over the file, rounded to a whole number when at least 1.
// 1 when no bar traded.
double turnover_multiplier(std::span<const layout::EquityBar> all_bars, std::vector<double>& scratch);

// ---- ticks of one day ------------------------------------------------------------------------
using Ticks = std::span<const layout::TickRecord>;

void tick_time_order(const Subject& s, int day, Ticks ticks);  // repeated time stamps are allowed
void tick_prices(const Subject& s, int day, Ticks ticks);      // non-positive last, high below low
void tick_negative(const Subject& s, int day, Ticks ticks);
void tick_limit(const Subject& s, int day, Ticks ticks);
void cumulative_falls(const Subject& s, int day, Ticks ticks);

// ---- both --------------------------------------------------------------------------------------
// The day's bars against its ticks: the bars' volume must equal the last tick's cumulative
// volume; their high and low must equal the day's high and low the ticks report within one
// price tick (the smallest step between neighbouring book levels that day); and no bar may go
// past the day's limits.
void minute_vs_tick(const Subject& s, int day, Bars bars, Ticks ticks);

}  // namespace tarnwick::bundle::audit
