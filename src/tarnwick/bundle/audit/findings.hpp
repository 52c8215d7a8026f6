#pragma once
// What the content audit finds: kinds of finding, and one finding (rules.hpp has the rules that
// make them, audit.hpp the run over a bundle). No HDF5 here: the front ends' headers include it.
#include <string>

namespace tarnwick::bundle::audit {

enum class Store { Minbar, Tick };
const char* store_name(Store store);  // "minbar", "tick"

enum class Kind {
    ThinDay,          // far fewer bars than the instrument's usual day or its sessions hold
    TimeOrder,        // a bar (tick) not later than the one before it: repeated or going back
    OutsideSession,   // a bar outside the day's sessions, or belonging to another trading day
    Ohlc,             // high below open/close/low, low above them, a non-positive price
    NegativeVolume,   // negative volume or turnover
    Turnover,         // turnover / volume outside the bar's [low, high]
    Limit,            // a price above limit_up or below limit_down
    CumulativeFalls,  // a tick's cumulative volume or turnover below the one before it
    MinuteVsTick,     // the day's bars disagree with its ticks in volume, high or low
    NonDayMember,     // a member of a tick file that is not a day (not named YYYYMMDD)
};
inline constexpr Kind ALL_KINDS[] = {Kind::ThinDay, Kind::TimeOrder,       Kind::OutsideSession,
                                     Kind::Ohlc,    Kind::NegativeVolume,  Kind::Turnover,
                                     Kind::Limit,   Kind::CumulativeFalls, Kind::MinuteVsTick,
                                     Kind::NonDayMember};
const char* kind_name(Kind kind);  // "thin_day", "time_order", ...

struct Finding {
    Kind kind = Kind::ThinDay;
    Store store = Store::Minbar;
    std::string instrument;
    int date = 0;  // the trading day, YYYYMMDD (a non-day member: the day it names, or 0)
    std::string reason;
};

}  // namespace tarnwick::bundle::audit
