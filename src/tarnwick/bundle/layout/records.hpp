#pragma once
// The minute-bar store's record types. In memory they are plain structs; on disk they are
// packed little-endian HDF5 compounds with exactly these field names and offsets, which the
// host's readers compare field for field.
#include <cstddef>
#include <cstdint>

#include "tarnwick/bundle/h5/h5.hpp"

namespace tarnwick::bundle::layout {

// "equities": 56 bytes.
struct EquityBar {
    std::int64_t datetime;  // YYYYMMDDHHMMSS
    double open;
    double high;
    double low;
    double close;
    double volume;
    double total_turnover;
};
static_assert(sizeof(EquityBar) == 56);

// "future" and "option": 64 bytes, open_interest before volume.
struct DerivativeBar {
    std::int64_t datetime;
    double open;
    double high;
    double low;
    double close;
    std::int64_t open_interest;
    double volume;
    double total_turnover;
};
static_assert(sizeof(DerivativeBar) == 64 && offsetof(DerivativeBar, open_interest) == 40);

// The day index: the first row in "data" of each trading date.
struct IndexRecord {
    std::int32_t date;  // YYYYMMDD
    std::uint32_t line_no;
};
static_assert(sizeof(IndexRecord) == 8);

enum class BarKind { Equities, Derivatives };

// Types as stored in files ("<i8", "<f8", ... at the offsets above) and as read into the structs.
h5::DataType EQUITIES_DTYPE();
h5::DataType DERIVATIVES_DTYPE();
h5::DataType INDEX_DTYPE();
h5::DataType equity_bar_memory_type();
h5::DataType derivative_bar_memory_type();
h5::DataType index_memory_type();
// A memory type holding only the bar's `datetime`, to read that one field of "data".
h5::DataType datetime_field_memory_type();
h5::DataType date_field_memory_type();  // only the index's `date`

}  // namespace tarnwick::bundle::layout
