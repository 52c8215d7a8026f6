#include "tarnwick/bundle/checks/minbar_check.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>

#include <fmt/format.h>

#include "tarnwick/bundle/checks/calendar.hpp"
#include "tarnwick/bundle/checks/listing.hpp"
#include "tarnwick/bundle/checks/report.hpp"
#include "tarnwick/bundle/checks/unfiltered.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/chunks.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/layout/filters.hpp"
#include "tarnwick/bundle/layout/install_record.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/connection.hpp"

namespace tarnwick::bundle::checks {
namespace {

namespace fs = std::filesystem;
using Calendar = std::vector<std::int64_t>;

constexpr std::int64_t FIRST_BAR_TIME = 93100;  // 09:31:00
constexpr std::int64_t NIGHT_START = 180000;    // 18:00:00

bool night_session_group(const fs::path& file) {
    const std::string group = file.parent_path().filename().string();
    return group == layout::FUTURE_GROUP || group == layout::OPTION_GROUP;
}

// The trading day a day's first bar belongs to: its own date before 18:00, otherwise the
// calendar day after the first calendar day not earlier than its date (clamped to the end).
std::int64_t trading_day_of(std::int64_t datetime, const Calendar& calendar) {
    const std::int64_t date = datetime / 1000000;
    if (datetime % 1000000 < NIGHT_START) return date;
    const auto position =
        static_cast<std::size_t>(std::lower_bound(calendar.begin(), calendar.end(), date) - calendar.begin());
    return calendar[std::min(position + 1, calendar.size() - 1)];
}

// The stored record types and filters must be ones these files are written with (deflate by
// this store, LZF by h5py): reading records through a damaged description of them can crash the
// storage library instead of failing. A dataset stored without any filter (written by another
// tool) reads safely and is accepted.
bool stored_as_written(const h5::Dataset& dataset, const std::vector<h5::DataType>& allowed_types,
                       const std::string& name) {
    const h5::DataType stored = dataset.file_type();
    const bool known_type = std::any_of(allowed_types.begin(), allowed_types.end(),
                                        [&](const h5::DataType& type) { return stored.equals(type.id()); });
    const auto filters = dataset.filters();
    const bool compressed = std::any_of(filters.begin(), filters.end(), [](const h5::Filter& f) {
        return f.id == H5Z_FILTER_DEFLATE || f.id == layout::LZF_FILTER_ID;
    }) && layout::known_minbar_filters(dataset);
    if (compressed) layout::require_filters(dataset, name);
    return known_type && (compressed || stored_whole_without_filters(dataset));
}

std::vector<h5::DataType> bar_types_of(const fs::path& file) {
    const std::string group = file.parent_path().filename().string();
    std::vector<h5::DataType> types;
    if (group != layout::FUTURE_GROUP && group != layout::OPTION_GROUP) types.push_back(layout::EQUITIES_DTYPE());
    if (group != layout::EQUITIES_GROUP) types.push_back(layout::DERIVATIVES_DTYPE());
    return types;
}

// Every record of `dataset` (stored as `stored_type`, checked by stored_as_written()) passed
// to `take(record bytes)` in row order. Chunks are read and inflated directly; a dataset that
// does not allow that (another filter layout, a chunk missing or stored unfiltered) is read
// through HDF5's filter pipeline instead, as `mem_type`.
template <class T, class Take>
std::vector<T> read_records(const h5::Dataset& dataset, const h5::DataType& stored_type, hid_t mem_type,
                            h5::ZlibCodec& codec, Take take) {
    std::vector<T> out;
    if (const auto direct = h5::direct_layout(dataset, stored_type.id())) {
        out.reserve(dataset.readable_rows(direct->record_size));
        const bool complete =
            h5::visit_chunks(dataset, *direct, codec, [&](hsize_t, hsize_t rows, const unsigned char* raw) {
                for (hsize_t r = 0; r < rows; ++r) out.push_back(take(raw + r * direct->record_size));
            });
        if (complete) return out;
    }
    return dataset.read_all<T>(mem_type);
}

Verdict examine(const fs::path& path, const Calendar& calendar) {
    h5::File file = h5::File::open(path.string(), h5::File::Access::ReadOnly);
    if (!file.contains("index")) return file.contains("data") ? Verdict::Abnormal : Verdict::Skipped;
    const h5::Dataset index_dataset = file.open_dataset("index");
    const h5::Dataset data_dataset = file.open_dataset("data");
    std::vector<h5::DataType> index_types;
    index_types.push_back(layout::INDEX_DTYPE());
    if (!stored_as_written(index_dataset, index_types, "index") ||
        !stored_as_written(data_dataset, bar_types_of(path), "data"))
        return Verdict::Abnormal;
    // Both stored types are packed little-endian records (checked above); `datetime` is the
    // first field of every bar record.
    h5::ZlibCodec codec;  // inflates only
    const std::vector<layout::IndexRecord> index =
        read_records<layout::IndexRecord>(index_dataset, index_dataset.file_type(), layout::index_memory_type().id(),
                                          codec, [](const unsigned char* raw) {
                                              layout::IndexRecord record;
                                              std::memcpy(&record, raw, sizeof record);
                                              return record;
                                          });
    const std::vector<std::int64_t> datetimes =
        read_records<std::int64_t>(data_dataset, data_dataset.file_type(), layout::datetime_field_memory_type().id(),
                                   codec, [](const unsigned char* raw) {
                                       std::int64_t datetime;
                                       std::memcpy(&datetime, raw, sizeof datetime);
                                       return datetime;
                                   });
    if (index.empty()) return Verdict::Abnormal;

    // The index names each day's first bar: days and rows strictly ascending from row 0.
    if (index.front().line_no != 0) return Verdict::Abnormal;
    for (std::size_t k = 1; k < index.size(); ++k)
        if (index[k].date <= index[k - 1].date || index[k].line_no <= index[k - 1].line_no) return Verdict::Abnormal;

    const bool night = night_session_group(path);
    const auto trading_day = [&](std::int64_t datetime) {
        return calendar.empty() ? datetime / 1000000 : trading_day_of(datetime, calendar);
    };
    for (const auto& entry : index) {
        if (entry.line_no >= datetimes.size())
            throw ValueError(fmt::format("index line {} lies beyond the {} bars", entry.line_no, datetimes.size()));
        const std::int64_t first_bar = datetimes[entry.line_no];
        if (night) {
            if (trading_day(first_bar) != entry.date) return Verdict::Abnormal;
            // ...and the bar before it belongs to an earlier trading day.
            if (entry.line_no > 0 && trading_day(datetimes[entry.line_no - 1]) >= entry.date) return Verdict::Abnormal;
        } else if (first_bar != static_cast<std::int64_t>(entry.date) * 1000000 + FIRST_BAR_TIME) {
            return Verdict::Abnormal;
        }
    }

    std::set<std::int64_t> stored;
    for (const auto& entry : index) stored.insert(entry.date);
    const Calendar expected = trading_dates_between<std::int64_t>(calendar, index.front().date, index.back().date);
    const std::string order_book_id = store_identifier(path);
    for (const std::int64_t day : expected) {
        if (stored.count(day)) continue;
        service::PriceQuery query;
        query.order_book_id = order_book_id;
        query.start_date = static_cast<int>(day);
        query.end_date = static_cast<int>(day);
        query.frequency = service::Frequency::Minute;
        if (service::current().get_price(query).has_value()) return Verdict::Abnormal;
    }
    return Verdict::Good;
}

}  // namespace

std::optional<CheckLists> examine_min_bar_files(const std::string& data_bundle_path, unsigned workers) {
    // A sample install killed half-way is finished or undone before anything reads the bundle.
    layout::settle_unfinished_install_if_any(layout::bundle_dir(data_bundle_path));
    const std::string calendar_file = layout::trading_dates_file(data_bundle_path);
    if (!has_trading_dates(calendar_file)) {
        host::print_line("当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!");
        return std::nullopt;
    }
    service::_init_tickwire();
    const auto files = store_files_one_level_below(layout::minbar_root(data_bundle_path));
    if (files.empty()) {
        host::print_line("当前目录下不存在分钟数据!");
        return std::nullopt;
    }
    host::print_line(fmt::format("共有{}个分钟数据文件!", files.size()));
    const Calendar calendar = load_trading_dates(calendar_file);

    return examine_each(
        files, [&](const fs::path& path) { return examine(path, calendar); }, workers);
}

void check_min_bar_data(const std::string& data_bundle_path, unsigned workers) {
    if (const auto lists = examine_min_bar_files(data_bundle_path, workers))
        deal_with_check_result(lists->error_file_path_list, lists->blocking_or_permission_error, "分钟");
}

}  // namespace tarnwick::bundle::checks
