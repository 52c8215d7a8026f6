#pragma once
// The stored record types described without HDF5's headers: field names, numpy type codes
// ("<i8", "<f8", "<u4", ...) and offsets, read from the very HDF5 compounds the store writes,
// so that a front end (the Python module's numpy dtypes) cannot drift from the files.
#include <cstddef>
#include <string>
#include <vector>

namespace tarnwick::bundle::layout {

struct FieldDescription {
    std::string name;
    std::string numpy_code;
    std::size_t offset = 0;
    double scale = 1.0;  // stored value = real value x scale (tick prices: 10000)
};

struct RecordDescription {
    std::vector<FieldDescription> fields;
    std::size_t itemsize = 0;
};

RecordDescription describe_equities_record();     // "data" of stocks, funds, indexes, ...
RecordDescription describe_derivatives_record();  // "data" of futures and options
RecordDescription describe_index_record();        // "index"
RecordDescription describe_tick_record();         // a day dataset of a tick file

}  // namespace tarnwick::bundle::layout
