#include "tarnwick/bundle/minbar/refetch.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>

#include "tarnwick/bundle/drivers/update_failure.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/interrupt.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/layout/filters.hpp"
#include "tarnwick/bundle/layout/h5_mode.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/minbar/bars.hpp"
#include "tarnwick/bundle/minbar/chunking.hpp"
#include "tarnwick/bundle/minbar/instrument.hpp"

namespace tarnwick::bundle::minbar {
namespace {

namespace fs = std::filesystem;
using drivers::RefetchOutcome;

// One day's rows: [begin, end) of the stored bars, or of the fetched batch.
struct Rows {
    std::size_t begin = 0, end = 0;
};

template <class Record>
std::map<int, Rows> rows_by_day(const std::vector<IndexRecord>& index, std::size_t first_entry, std::size_t last_entry,
                                std::size_t end_row, std::size_t base) {
    std::map<int, Rows> days;
    for (std::size_t k = first_entry; k < last_entry; ++k) {
        const std::size_t next = k + 1 < index.size() ? index[k + 1].line_no : end_row;
        days[index[k].date] = {index[k].line_no - base, std::min<std::size_t>(next, end_row) - base};
    }
    return days;
}

template <class Bar>
bool same_rows(const std::vector<Bar>& a, Rows ra, const std::vector<Bar>& b, Rows rb) {
    return ra.end - ra.begin == rb.end - rb.begin &&
           std::memcmp(a.data() + ra.begin, b.data() + rb.begin, (ra.end - ra.begin) * sizeof(Bar)) == 0;
}

template <class Bar>
RefetchOutcome refetch_open_file(h5::File& file, const Instrument& ins, drivers::DayRange range, bool drop_missing) {
    RefetchOutcome out;
    ChunkCodecs codecs{h5::ZlibCodec(DEFLATE_LEVEL), h5::ZlibCodec(EDGE_DEFLATE_LEVEL)};
    if (!file.contains("index") || !file.contains("data")) {
        out.note = "the file has no day index yet: the update builds it";
        return out;
    }
    h5::Dataset index_set = file.open_dataset("index");
    h5::Dataset data = file.open_dataset("data");
    layout::require_filters(index_set, "index");
    layout::require_filters(data, "data");
    const auto index_memory = layout::index_memory_type();
    const auto bar_memory = BarTraits<Bar>::memory_type();
    const std::vector<IndexRecord> index = index_set.read_all<IndexRecord>(index_memory.id());
    const hsize_t rows = data.rows();
    if (index.empty() || rows == 0) {
        out.note = "the file holds no day yet: the update fetches its days";
        return out;
    }
    Bar last_bar{};
    h5::read_rows(data, bar_memory.id(), rows - 1, 1, &last_bar, codecs.full);
    const int newest = index.back().date;
    if (static_cast<int>(last_bar.datetime / 1000000) != newest || index.back().line_no >= rows) {
        out.note = "the day index and the bars end on different days: run the update first, it repairs the file";
        return out;
    }
    const int last = std::min(range.last, newest);
    if (range.first > last) {
        out.note = "the range begins after the last stored day: the update fetches those days";
        return out;
    }
    out.first = range.first;
    out.last = last;

    // The stored days of the range, and the rows they span.
    const auto entry_at = [&](int day) {
        return static_cast<std::size_t>(
            std::lower_bound(index.begin(), index.end(), day, [](const IndexRecord& r, int d) { return r.date < d; }) -
            index.begin());
    };
    const std::size_t k0 = entry_at(range.first), k1 = entry_at(last + 1);
    const std::size_t r0 = k0 < index.size() ? index[k0].line_no : rows;
    const std::size_t r1 = k1 < index.size() ? index[k1].line_no : rows;
    std::vector<Bar> stored(r1 - r0);
    if (!stored.empty()) h5::read_rows(data, bar_memory.id(), r0, stored.size(), stored.data(), codecs.full);
    const std::map<int, Rows> stored_days = rows_by_day<Bar>(index, k0, k1, r1, r0);

    host::throw_if_interrupted();
    service::PriceQuery query;
    query.order_book_id = ins.order_book_id;
    query.start_date = range.first;
    query.end_date = last;
    query.frequency = service::Frequency::Minute;
    query.adjust_type = "none";
    query.market = ins.market;
    const std::optional<service::Frame> frame = service::current().get_price(query);
    Batch<Bar> fetched;
    if (frame && !frame->empty()) fetched = convert_bars<Bar>(*frame);
    const std::map<int, Rows> fetched_days =
        rows_by_day<Bar>(fetched.index, 0, fetched.index.size(), fetched.data.size(), 0);

    // The new content of the range, day by day in date order.
    std::vector<Bar> middle;
    std::vector<IndexRecord> middle_index;
    bool changed = false;
    const auto take = [&](int day, const std::vector<Bar>& from, Rows r) {
        middle_index.push_back({day, static_cast<std::uint32_t>(r0 + middle.size())});
        middle.insert(middle.end(), from.begin() + static_cast<std::ptrdiff_t>(r.begin),
                      from.begin() + static_cast<std::ptrdiff_t>(r.end));
    };
    std::map<int, int> all_days;  // day -> 1 stored, 2 fetched, 3 both
    for (const auto& [day, r] : stored_days) all_days[day] |= 1;
    for (const auto& [day, r] : fetched_days)
        if (day >= range.first && day <= last) all_days[day] |= 2;
    for (const auto& [day, where] : all_days) {
        if (where == 3) {
            const Rows s = stored_days.at(day), f = fetched_days.at(day);
            if (same_rows(stored, s, fetched.data, f)) {
                ++out.identical;
                take(day, stored, s);
            } else {
                ++out.replaced;
                changed = true;
                take(day, fetched.data, f);
            }
        } else if (where == 2) {
            ++out.added;
            changed = true;
            take(day, fetched.data, fetched_days.at(day));
        } else if (drop_missing && day != newest) {
            ++out.dropped;
            changed = true;
        } else {
            ++out.kept_missing;
            take(day, stored, stored_days.at(day));
        }
    }
    if (!changed) return out;

    // Everything after the range moves by the change of the range's length.
    host::throw_if_interrupted();
    std::vector<Bar> tail(rows - r1);
    if (!tail.empty()) h5::read_rows(data, bar_memory.id(), r1, tail.size(), tail.data(), codecs.full);
    std::vector<IndexRecord> new_index(middle_index);
    const std::int64_t shift = static_cast<std::int64_t>(middle.size()) - static_cast<std::int64_t>(r1 - r0);
    for (std::size_t k = k1; k < index.size(); ++k)
        new_index.push_back(
            {index[k].date, static_cast<std::uint32_t>(static_cast<std::int64_t>(index[k].line_no) + shift)});
    layout::reserve_free_space(file.path(), ((middle.size() + tail.size()) * sizeof(Bar)) / 2);

    data.resize(r0);
    index_set.resize(k0);
    _append<IndexRecord>(index_set, index_memory.id(), new_index, codecs);
    _append<Bar>(data, bar_memory.id(), std::span<const Bar>(middle), codecs);
    const std::span<const Bar> moved(tail);
    for (std::size_t first = 0; first < moved.size(); first += APPEND_SLICE_ROWS) {
        host::throw_if_interrupted();
        _append<Bar>(data, bar_memory.id(), moved.subspan(first, std::min(APPEND_SLICE_ROWS, moved.size() - first)),
                     codecs);
    }
    // The one commit: until it, a rollback restores every old day.
    file.commit();
    return out;
}

}  // namespace

RefetchOutcome _refetch_h5(const std::string& order_book_id, const std::string& path, drivers::DayRange range,
                           bool drop_missing) {
    const Instrument ins = look_up(order_book_id);
    RefetchOutcome out;
    const std::optional<StoreGroup> group = store_group(ins.type);
    const std::string h5_file =
        group ? (fs::path(path) / group->folder / layout::store_file_name(order_book_id)).string() : std::string();
    std::error_code ec;
    if (!group || !fs::exists(h5_file, ec)) {
        out.note = "no minute-bar file: the update makes it";
        host::print_line(drivers::refetch_line(order_book_id, out));
        return out;
    }
    return drivers::refetch_file(h5_file, order_book_id, [&](h5::File& file) {
        return group->kind == layout::BarKind::Equities
                   ? refetch_open_file<EquityBar>(file, ins, range, drop_missing)
                   : refetch_open_file<DerivativeBar>(file, ins, range, drop_missing);
    });
}

namespace {
void refetch_task(const std::string& id, const std::string& path, drivers::DayRange range, bool drop_missing) {
    _refetch_h5(id, path, range, drop_missing);
}
}  // namespace

bool refetch_minbar(const std::string& path, const std::vector<std::string>& ids, drivers::DayRange range,
                    bool drop_missing, int concurrency) {
    return drivers::refetch_each_instrument(path, ids, concurrency, "开始重新获取 {} 只标的的分钟线数据：{}",
                                            "minute bars", &refetch_task, range, drop_missing);
}

}  // namespace tarnwick::bundle::minbar
