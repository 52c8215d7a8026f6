#include "tarnwick/bundle/layout/tick_layout.hpp"

#include <string>

namespace tarnwick::bundle::layout::H5TicksLoader {
namespace {

h5::DataType compound(hid_t u4, hid_t i8) {
    auto type = h5::DataType::compound(sizeof(TickRecord));
    for (const Field& field : FIELDS)
        type.insert(std::string(field.name), field.offset, field.type == FieldType::U4 ? u4 : i8);
    return type;
}

}  // namespace

h5::DataType DTYPES() { return compound(H5T_STD_U32LE, H5T_STD_I64LE); }

h5::DataType memory_type() { return compound(H5T_NATIVE_UINT32, H5T_NATIVE_INT64); }

}  // namespace tarnwick::bundle::layout::H5TicksLoader

namespace tarnwick::bundle::layout {

bool is_day_member(std::string_view name) {
    return name.size() == 8 && name.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace tarnwick::bundle::layout
