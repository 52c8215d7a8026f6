#pragma once
// The host tick loader's record layout (`H5TicksLoader.COLUMNS`, `FIELDS`, `DTYPES`): what one
// tick looks like inside a tick store file, and so what every reader of those files expects.
//
// A record is 248 bytes, little-endian, packed, fields in COLUMNS order. Every stored value is
// the service's value times the field's scale: prices (open ... limit_down, a1..a5, b1..b5) by
// 10000, everything else by 1. `date` is the tick's calendar date YYYYMMDD, `time` its time of
// day HHMMSSmmm (host::date_to_number / host::time_to_number of the time stamp), and
// `open_interest` is 0 where the service has none.
//
// TickRecord is the in-memory form; all its fields sit at their natural alignment, so the
// struct is packed without compiler pragmas and its native layout is the file layout on a
// little-endian machine (HDF5 then writes it without any conversion).
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tarnwick/bundle/h5/h5.hpp"

namespace tarnwick::bundle::layout {

struct TickRecord {
    std::uint32_t date;
    std::uint32_t time;
    std::int64_t open;
    std::int64_t last;
    std::int64_t high;
    std::int64_t low;
    std::int64_t prev_close;
    std::int64_t limit_up;
    std::int64_t limit_down;
    std::int64_t volume;
    std::int64_t total_turnover;
    std::int64_t open_interest;
    std::int64_t a1, a2, a3, a4, a5;
    std::int64_t a1_v, a2_v, a3_v, a4_v, a5_v;
    std::int64_t b1, b2, b3, b4, b5;
    std::int64_t b1_v, b2_v, b3_v, b4_v, b5_v;

    friend bool operator==(const TickRecord&, const TickRecord&) = default;
};
static_assert(sizeof(TickRecord) == 248, "tick records are packed");
static_assert(offsetof(TickRecord, open) == 8 && offsetof(TickRecord, b5_v) == 240);

namespace H5TicksLoader {

enum class FieldType { U4, I8 };

// One entry of FIELDS: (name, type code, scale), plus where the field sits in a TickRecord.
struct Field {
    std::string_view name;
    std::string_view type_code;  // numpy's code: "<u4" or "<i8"
    double scale;
    std::size_t offset;
    FieldType type;
};

inline constexpr double PRICE = 10000.0;

#define TARNWICK_TICK_FIELD(name, code, scale, type) \
    Field { #name, code, scale, offsetof(TickRecord, name), FieldType::type }
inline constexpr std::array<Field, 32> FIELDS = {
    TARNWICK_TICK_FIELD(date, "<u4", 1.0, U4),           TARNWICK_TICK_FIELD(time, "<u4", 1.0, U4),
    TARNWICK_TICK_FIELD(open, "<i8", PRICE, I8),         TARNWICK_TICK_FIELD(last, "<i8", PRICE, I8),
    TARNWICK_TICK_FIELD(high, "<i8", PRICE, I8),         TARNWICK_TICK_FIELD(low, "<i8", PRICE, I8),
    TARNWICK_TICK_FIELD(prev_close, "<i8", PRICE, I8),   TARNWICK_TICK_FIELD(limit_up, "<i8", PRICE, I8),
    TARNWICK_TICK_FIELD(limit_down, "<i8", PRICE, I8),   TARNWICK_TICK_FIELD(volume, "<i8", 1.0, I8),
    TARNWICK_TICK_FIELD(total_turnover, "<i8", 1.0, I8), TARNWICK_TICK_FIELD(open_interest, "<i8", 1.0, I8),
    TARNWICK_TICK_FIELD(a1, "<i8", PRICE, I8),           TARNWICK_TICK_FIELD(a2, "<i8", PRICE, I8),
    TARNWICK_TICK_FIELD(a3, "<i8", PRICE, I8),           TARNWICK_TICK_FIELD(a4, "<i8", PRICE, I8),
    TARNWICK_TICK_FIELD(a5, "<i8", PRICE, I8),           TARNWICK_TICK_FIELD(a1_v, "<i8", 1.0, I8),
    TARNWICK_TICK_FIELD(a2_v, "<i8", 1.0, I8),           TARNWICK_TICK_FIELD(a3_v, "<i8", 1.0, I8),
    TARNWICK_TICK_FIELD(a4_v, "<i8", 1.0, I8),           TARNWICK_TICK_FIELD(a5_v, "<i8", 1.0, I8),
    TARNWICK_TICK_FIELD(b1, "<i8", PRICE, I8),           TARNWICK_TICK_FIELD(b2, "<i8", PRICE, I8),
    TARNWICK_TICK_FIELD(b3, "<i8", PRICE, I8),           TARNWICK_TICK_FIELD(b4, "<i8", PRICE, I8),
    TARNWICK_TICK_FIELD(b5, "<i8", PRICE, I8),           TARNWICK_TICK_FIELD(b1_v, "<i8", 1.0, I8),
    TARNWICK_TICK_FIELD(b2_v, "<i8", 1.0, I8),           TARNWICK_TICK_FIELD(b3_v, "<i8", 1.0, I8),
    TARNWICK_TICK_FIELD(b4_v, "<i8", 1.0, I8),           TARNWICK_TICK_FIELD(b5_v, "<i8", 1.0, I8),
};
#undef TARNWICK_TICK_FIELD

// The field names, in record order.
inline constexpr std::array<std::string_view, FIELDS.size()> COLUMNS = [] {
    std::array<std::string_view, FIELDS.size()> names{};
    for (std::size_t i = 0; i < FIELDS.size(); ++i) names[i] = FIELDS[i].name;
    return names;
}();

// The record type as stored in files (explicit little-endian types at the offsets above).
h5::DataType DTYPES();
// The same compound with native types, for reading into and writing from TickRecord.
h5::DataType memory_type();

}  // namespace H5TicksLoader

// Whether a member of a tick file is a day: its name is the day's eight digits, YYYYMMDD. Any
// other member (".tmp-YYYYMMDD" left by a stopped update of an earlier version, a stray name) is
// no day; readers and the check pass over it, the content audit names it.
bool is_day_member(std::string_view name);

}  // namespace tarnwick::bundle::layout
