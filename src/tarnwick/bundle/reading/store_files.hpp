#pragma once
// The single-file read's steps, for reads that plan many files first (panel.cpp). Internal to
// reading/: it holds HDF5 types, which the public headers keep out.
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/bundle/h5/deflate.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/reading/read.hpp"

namespace tarnwick::bundle::reading::detail {

// Opens a store file as a single read does: shared lock, refused with a stopped update's journal.
h5::File open_store_file(const std::string& path);
h5::DataType record_memory_type(RecordKind kind);
// The rows [first, end) of "data" holding `days`, by the day index; appends each day's rows.
std::pair<hsize_t, hsize_t> day_rows(const h5::File& file, hsize_t data_rows, const DayRange& days,
                                     h5::ZlibCodec& codec, std::vector<DayRows>& found);
// The same by a day index already read.
std::pair<hsize_t, hsize_t> day_rows(std::span<const layout::IndexRecord> index, hsize_t data_rows,
                                     const DayRange& days, std::vector<DayRows>& found);
// The day datasets of a tick file within `days`, in date order.
std::vector<std::pair<std::string, h5::Dataset>> tick_days(const h5::File& file, const DayRange& days);
// ValueError for a day that is no date or a range whose first day is after its last.
void check_days(const DayRange& days);

}  // namespace tarnwick::bundle::reading::detail
