#include "tarnwick/bundle/layout/records.hpp"

namespace tarnwick::bundle::layout {
namespace {

// Builds the bar compound with the given integer and float types (file: explicit little-endian;
// memory: native).
h5::DataType equity_type(hid_t i8, hid_t f8) {
    auto type = h5::DataType::compound(sizeof(EquityBar));
    type.insert("datetime", offsetof(EquityBar, datetime), i8)
        .insert("open", offsetof(EquityBar, open), f8)
        .insert("high", offsetof(EquityBar, high), f8)
        .insert("low", offsetof(EquityBar, low), f8)
        .insert("close", offsetof(EquityBar, close), f8)
        .insert("volume", offsetof(EquityBar, volume), f8)
        .insert("total_turnover", offsetof(EquityBar, total_turnover), f8);
    return type;
}

h5::DataType derivative_type(hid_t i8, hid_t f8) {
    auto type = h5::DataType::compound(sizeof(DerivativeBar));
    type.insert("datetime", offsetof(DerivativeBar, datetime), i8)
        .insert("open", offsetof(DerivativeBar, open), f8)
        .insert("high", offsetof(DerivativeBar, high), f8)
        .insert("low", offsetof(DerivativeBar, low), f8)
        .insert("close", offsetof(DerivativeBar, close), f8)
        .insert("open_interest", offsetof(DerivativeBar, open_interest), i8)
        .insert("volume", offsetof(DerivativeBar, volume), f8)
        .insert("total_turnover", offsetof(DerivativeBar, total_turnover), f8);
    return type;
}

h5::DataType index_type(hid_t i4, hid_t u4) {
    auto type = h5::DataType::compound(sizeof(IndexRecord));
    type.insert("date", offsetof(IndexRecord, date), i4).insert("line_no", offsetof(IndexRecord, line_no), u4);
    return type;
}

}  // namespace

h5::DataType EQUITIES_DTYPE() { return equity_type(H5T_STD_I64LE, H5T_IEEE_F64LE); }
h5::DataType DERIVATIVES_DTYPE() { return derivative_type(H5T_STD_I64LE, H5T_IEEE_F64LE); }
h5::DataType INDEX_DTYPE() { return index_type(H5T_STD_I32LE, H5T_STD_U32LE); }
h5::DataType equity_bar_memory_type() { return equity_type(H5T_NATIVE_INT64, H5T_NATIVE_DOUBLE); }
h5::DataType derivative_bar_memory_type() { return derivative_type(H5T_NATIVE_INT64, H5T_NATIVE_DOUBLE); }
h5::DataType index_memory_type() { return index_type(H5T_NATIVE_INT32, H5T_NATIVE_UINT32); }

h5::DataType datetime_field_memory_type() {
    auto type = h5::DataType::compound(sizeof(std::int64_t));
    type.insert("datetime", 0, H5T_NATIVE_INT64);
    return type;
}

h5::DataType date_field_memory_type() {
    auto type = h5::DataType::compound(sizeof(std::int32_t));
    type.insert("date", 0, H5T_NATIVE_INT32);
    return type;
}

}  // namespace tarnwick::bundle::layout
