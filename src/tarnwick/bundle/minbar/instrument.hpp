#pragma once
// What the minute-bar store needs to know of an instrument before touching its file: the market
// it is asked for in, its delisting date and type, and from the type the folder and record type
// of its file. Shared by the update, its plan and the refetch, so that all three agree on which
// file an instrument has and up to which day it is fetched.
#include <optional>
#include <string>

#include "tarnwick/bundle/host/instrument_type.hpp"
#include "tarnwick/bundle/layout/records.hpp"

namespace tarnwick::bundle::minbar {

struct Instrument {
    std::string order_book_id;
    std::string market;      // "hk" for ".XHKG" identifiers, else "cn"
    int de_listed_date = 0;  // 0: still listed
    int listed_date = 0;     // 0: not known
    host::InstrumentType type;
};

// Looks the instrument up in the service. ValueError "标的 <id> 不存在" (frozen text) when the
// service does not know it; ValueError when a list of records is empty or a delisting date
// cannot be read.
Instrument look_up(const std::string& order_book_id);

struct StoreGroup {
    layout::BarKind kind;
    const char* folder;  // "equities", "future", "option"
};
// The folder and record type of the instrument's file; none for types without a minute-bar file.
std::optional<StoreGroup> store_group(const host::InstrumentType& type);

// The last day a fetch asks for: the delisting date once it is past, else the updates' end date.
int last_fetch_day(const Instrument& ins);

}  // namespace tarnwick::bundle::minbar
