#include "tarnwick/bundle/reading/read.hpp"

#include "tarnwick/bundle/reading/store_files.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <span>

#include <fmt/format.h>

#include "tarnwick/bundle/h5/chunks.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/layout/blosc.hpp"
#include "tarnwick/bundle/layout/blosc_codec.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/layout/tick_layout.hpp"

namespace tarnwick::bundle::reading {
namespace {

namespace fs = std::filesystem;

bool is_file(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

bool is_date(int day) {
    using namespace std::chrono;
    return day >= 10000101 && day <= 99991231 &&
           year_month_day{year{day / 10000}, month{static_cast<unsigned>(day / 100 % 100)},
                          std::chrono::day{static_cast<unsigned>(day % 100)}}
               .ok();
}

void require_valid(const DayRange& days) {
    for (const auto& day : {days.first, days.last})
        if (day && !is_date(*day)) throw ValueError(fmt::format("{} is not a trading day YYYYMMDD", *day));
    if (days.first && days.last && *days.first > *days.last)
        throw ValueError(fmt::format("the first day {} is after the last day {}", *days.first, *days.last));
}

// An identifier names a file in one store folder; a path in its place would read any HDF5 file.
void require_identifier(const std::string& order_book_id) {
    if (order_book_id.empty() || order_book_id.find('/') != std::string::npos || order_book_id.starts_with(".."))
        throw ValueError(fmt::format("\"{}\" is not an instrument identifier", order_book_id));
}

bool contains(const DayRange& days, int day) {
    return (!days.first || day >= *days.first) && (!days.last || day <= *days.last);
}

// Opens a store file for reading its last committed state (the driver waits for a commit
// window and reads an unfinished update's file through its journal).
h5::File open_settled(const std::string& path) { return h5::File::open(path, h5::File::Access::ReadOnly); }

// The HDF5 memory type of each record kind.
h5::DataType memory_type(RecordKind kind) {
    switch (kind) {
        case RecordKind::EquityBars:
            return layout::equity_bar_memory_type();
        case RecordKind::DerivativeBars:
            return layout::derivative_bar_memory_type();
        case RecordKind::Ticks:
            return layout::H5TicksLoader::memory_type();
    }
    throw std::logic_error("unknown record kind");
}

// The rows [first, end) of "data" that hold the days of `days`, by the day index `entries`, and
// the rows of each day.
std::pair<hsize_t, hsize_t> rows_of(std::span<const layout::IndexRecord> entries, hsize_t data_rows,
                                    const DayRange& days, std::vector<DayRows>& found) {
    const auto by_date = [](const layout::IndexRecord& entry, int day) { return entry.date < day; };
    const auto begin =
        days.first ? std::lower_bound(entries.begin(), entries.end(), *days.first, by_date) : entries.begin();
    const auto end = days.last ? std::lower_bound(begin, entries.end(), *days.last + 1, by_date) : entries.end();
    // Row numbers past the data (a file cut short) end at the data's end.
    const auto row_of = [&](auto entry) {
        return entry == entries.end() ? data_rows : std::min<hsize_t>(entry->line_no, data_rows);
    };
    hsize_t previous = begin == end ? 0 : row_of(begin);
    for (auto entry = begin; entry != end; ++entry) {
        const hsize_t next = std::max(previous, row_of(entry + 1));
        found.push_back({entry->date, static_cast<std::size_t>(next - previous)});
        previous = next;
    }
    return begin == end ? std::pair<hsize_t, hsize_t>{0, 0} : std::pair{row_of(begin), previous};
}

std::pair<hsize_t, hsize_t> rows_of(const h5::File& file, hsize_t data_rows, const DayRange& days, h5::ZlibCodec& codec,
                                    std::vector<DayRows>& found) {
    const h5::Dataset index = file.open_dataset("index");
    std::vector<layout::IndexRecord> entries(index.readable_rows(sizeof(layout::IndexRecord)));
    if (!entries.empty())
        h5::read_rows(index, layout::index_memory_type().id(), 0, entries.size(), entries.data(), codec);
    return rows_of(entries, data_rows, days, found);
}

// Decodes a day dataset's Blosc chunks straight into `out` when they are laid out as the store
// writes them; false (nothing promised about `out`) when HDF5 has to read it instead.
bool read_blosc_directly(const h5::Dataset& day, hid_t mem_type, hsize_t rows, unsigned char* out,
                         h5::StoredChunk& stored, std::vector<unsigned char>& scratch) {
    const auto filters = day.filters();
    const auto chunk_rows = day.chunk_rows();
    if (filters.size() != 1 || filters[0].id != layout::BLOSC_FILTER_ID || !chunk_rows || *chunk_rows == 0 ||
        !day.file_type().equals(mem_type))
        return false;
    constexpr std::size_t size = sizeof(layout::TickRecord);
    for (hsize_t first = 0; first < rows; first += *chunk_rows) {
        if (h5::stored_chunk_size(day, first) == 0) return false;  // never written: HDF5 fills it
        h5::read_stored_chunk(day, first, stored);
        if (stored.filter_mask != 0) return false;
        const hsize_t in_use = std::min(*chunk_rows, rows - first);
        const std::size_t raw = layout::blosc_chunk_bytes(stored.bytes);
        if (raw != *chunk_rows * size) return false;
        unsigned char* to = out + first * size;
        if (in_use == *chunk_rows) {
            layout::blosc_decompress_chunk(stored.bytes, {to, raw});
        } else {  // an edge chunk holds rows past the dataset's end
            scratch.resize(raw);
            layout::blosc_decompress_chunk(stored.bytes, scratch);
            std::memcpy(to, scratch.data(), in_use * size);
        }
    }
    return true;
}

std::vector<std::pair<std::string, h5::Dataset>> day_datasets(const h5::File& file, const DayRange& days) {
    // Day datasets are named YYYYMMDD; other members (".tmp-YYYYMMDD" of a stopped update) are
    // no days. All names have one width, so text order is date order.
    std::vector<std::pair<std::string, h5::Dataset>> selected;
    for (const std::string& name : file.members()) {
        if (!layout::is_day_member(name)) continue;
        if (contains(days, std::stoi(name))) selected.emplace_back(name, file.open_dataset(name));
    }
    std::sort(selected.begin(), selected.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return selected;
}

void read_day(const h5::Dataset& day, hid_t mem_type, hsize_t rows, unsigned char* out, h5::StoredChunk& stored,
              std::vector<unsigned char>& scratch) {
    if (rows > 0 && !read_blosc_directly(day, mem_type, rows, out, stored, scratch))
        day.read_rows(mem_type, 0, rows, out);
}

}  // namespace

std::size_t record_size(RecordKind kind) {
    switch (kind) {
        case RecordKind::EquityBars:
            return sizeof(layout::EquityBar);
        case RecordKind::DerivativeBars:
            return sizeof(layout::DerivativeBar);
        case RecordKind::Ticks:
            return sizeof(layout::TickRecord);
    }
    throw std::logic_error("unknown record kind");
}

std::string minbar_file(const std::string& data_bundle_path, const std::string& order_book_id) {
    require_identifier(order_book_id);
    const fs::path root(layout::minbar_root(data_bundle_path));
    const std::string name = layout::store_file_name(order_book_id);
    for (const char* group : {layout::EQUITIES_GROUP, layout::FUTURE_GROUP, layout::OPTION_GROUP})
        if (is_file(root / group / name)) return (root / group / name).string();
    // Groups of other names hold bars without night sessions, as "equities" does.
    std::error_code ec;
    std::vector<fs::path> others;
    for (const auto& entry : fs::directory_iterator(root, ec))
        if (entry.is_directory(ec) && entry.path().filename() != "ticks" && is_file(entry.path() / name))
            others.push_back(entry.path() / name);
    if (others.empty())
        throw OsError::from_errno(ENOENT,
                                  fmt::format("no minute-bar file of {} in \"{}\"", order_book_id, root.string()));
    return std::min_element(others.begin(), others.end())->string();
}

std::string tick_file(const std::string& data_bundle_path, const std::string& order_book_id) {
    require_identifier(order_book_id);
    const fs::path path = fs::path(layout::tick_root(data_bundle_path)) / layout::store_file_name(order_book_id);
    if (!is_file(path))
        throw OsError::from_errno(ENOENT, fmt::format("no tick file of {}: \"{}\"", order_book_id, path.string()));
    return path.string();
}

ReadResult read_minbar(const std::string& data_bundle_path, const std::string& order_book_id, const DayRange& days,
                       const Allocate& allocate) {
    require_valid(days);
    return read_minbar_file(minbar_file(data_bundle_path, order_book_id), days, allocate);
}

ReadResult read_minbar_file(const std::string& path, const DayRange& days, const Allocate& allocate) {
    const std::string group = fs::path(path).parent_path().filename().string();
    ReadResult result;
    const RecordKind kind = result.kind = group == layout::FUTURE_GROUP || group == layout::OPTION_GROUP
                                              ? RecordKind::DerivativeBars
                                              : RecordKind::EquityBars;
    const h5::QuietErrors quiet;
    const h5::File file = open_settled(path);
    const h5::Dataset data = file.open_dataset("data");
    h5::ZlibCodec codec;
    const auto [first, end] = rows_of(file, data.readable_rows(record_size(kind)), days, codec, result.days);
    void* out = allocate(kind, end - first);
    if (end > first) h5::read_rows(data, memory_type(kind).id(), first, end - first, out, codec);
    return result;
}

ReadResult read_ticks(const std::string& data_bundle_path, const std::string& order_book_id, const DayRange& days,
                      const Allocate& allocate) {
    require_valid(days);
    const std::string path = tick_file(data_bundle_path, order_book_id);
    const h5::QuietErrors quiet;
    const h5::File file = open_settled(path);
    const auto selected = day_datasets(file, days);
    ReadResult result{RecordKind::Ticks, {}};
    hsize_t total = 0;
    std::vector<hsize_t> rows;
    for (const auto& [name, day] : selected) {
        total += rows.emplace_back(day.readable_rows(sizeof(layout::TickRecord)));
        result.days.push_back({std::stoi(name), static_cast<std::size_t>(rows.back())});
    }
    // Every day passed on its own; together they must fit the one file as well.
    if (!selected.empty()) selected.front().second.check_claim(total, sizeof(layout::TickRecord));
    auto* out = static_cast<unsigned char*>(allocate(RecordKind::Ticks, total));
    const h5::DataType mem_type = memory_type(RecordKind::Ticks);
    h5::StoredChunk stored;
    std::vector<unsigned char> scratch;
    for (std::size_t i = 0; i < selected.size(); ++i) {
        read_day(selected[i].second, mem_type.id(), rows[i], out, stored, scratch);
        out += rows[i] * sizeof(layout::TickRecord);
    }
    return result;
}

void for_each_tick_day(const std::string& path,
                       const std::function<void(int day, std::span<const unsigned char>)>& visit,
                       const std::function<void(const std::string& name)>& other) {
    const h5::QuietErrors quiet;
    const h5::File file = open_settled(path);
    if (other)
        for (const std::string& name : file.members())
            if (!layout::is_day_member(name)) other(name);
    const h5::DataType mem_type = memory_type(RecordKind::Ticks);
    h5::StoredChunk stored;
    std::vector<unsigned char> scratch, records;  // reused from day to day
    for (const auto& [name, day] : day_datasets(file, {})) {
        const hsize_t rows = day.readable_rows(sizeof(layout::TickRecord));
        records.resize(rows * sizeof(layout::TickRecord));
        read_day(day, mem_type.id(), rows, records.data(), stored, scratch);
        visit(std::stoi(name), records);
    }
}

namespace {

// Memory of the result's own for the allocating reads.
Allocate into(Records& records) {
    return [&records](RecordKind kind, std::size_t rows) -> void* {
        records.kind = kind;
        records.bytes.resize(rows * record_size(kind));
        return records.bytes.data();
    };
}

}  // namespace

Records read_minbar(const std::string& data_bundle_path, const std::string& order_book_id, const DayRange& days) {
    Records records;
    static_cast<ReadResult&>(records) = read_minbar(data_bundle_path, order_book_id, days, into(records));
    return records;
}

Records read_ticks(const std::string& data_bundle_path, const std::string& order_book_id, const DayRange& days) {
    Records records;
    static_cast<ReadResult&>(records) = read_ticks(data_bundle_path, order_book_id, days, into(records));
    return records;
}


// The steps above for the panel reads (panel.cpp), which plan many files before reading any.
namespace detail {

h5::File open_store_file(const std::string& path) { return open_settled(path); }

h5::DataType record_memory_type(RecordKind kind) { return memory_type(kind); }

std::pair<hsize_t, hsize_t> day_rows(const h5::File& file, hsize_t data_rows, const DayRange& days,
                                     h5::ZlibCodec& codec, std::vector<DayRows>& found) {
    return rows_of(file, data_rows, days, codec, found);
}

std::pair<hsize_t, hsize_t> day_rows(std::span<const layout::IndexRecord> index, hsize_t data_rows,
                                     const DayRange& days, std::vector<DayRows>& found) {
    return rows_of(index, data_rows, days, found);
}

std::vector<std::pair<std::string, h5::Dataset>> tick_days(const h5::File& file, const DayRange& days) {
    return day_datasets(file, days);
}

void check_days(const DayRange& days) { require_valid(days); }

}  // namespace detail

}  // namespace tarnwick::bundle::reading
