#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/layout/filters.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/minbar/bars.hpp"
#include "tarnwick/bundle/minbar/chunking.hpp"
#include "tarnwick/bundle/minbar/instrument.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "tarnwick/bundle/drivers/update_failure.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/interrupt.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/layout/h5_mode.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/connection.hpp"

namespace tarnwick::bundle::minbar {
namespace {

namespace fs = std::filesystem;
using layout::DerivativeBar;
using layout::EquityBar;
using layout::IndexRecord;
using layout::MIN_START_DATE;

template <class Bar>
class MinbarFile {
public:
    MinbarFile(Instrument ins, int min_start_date) : ins_(std::move(ins)), min_start_date_(min_start_date) {}

    // The bars from start_date to the end date, or nothing.
    std::optional<Batch<Bar>> get_price(int start_date) const {
        const int end_date = last_fetch_day(ins_);
        if (end_date < start_date) return std::nullopt;
        service::PriceQuery query;
        query.order_book_id = ins_.order_book_id;
        query.start_date = start_date;
        query.end_date = end_date;
        query.frequency = service::Frequency::Minute;
        query.adjust_type = "none";
        query.market = ins_.market;
        const std::optional<service::Frame> frame = service::current().get_price(query);
        if (!frame || frame->empty()) return std::nullopt;
        return convert(*frame);
    }

    int min_start_date() const { return min_start_date_; }
    const Instrument& instrument() const { return ins_; }

private:
    static Batch<Bar> convert(const service::Frame& frame) { return convert_bars<Bar>(frame); }

    Instrument ins_;
    int min_start_date_;
};

// Number of leading rows whose key (read by `key_at`) is smaller than `bound`, by binary search
// over an ascending column: only log2(rows) records are read.
template <class KeyAt>
hsize_t rows_before(hsize_t rows, int bound, KeyAt key_at) {
    hsize_t low = 0, high = rows;
    while (low < high) {
        const hsize_t mid = low + (high - low) / 2;
        if (key_at(mid) < bound)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

// What a batch needs on disk at most: deflate stores these records in well under half their
// size, so half of it leaves room to spare.
template <class Bar>
std::uint64_t estimated_bytes(const Batch<Bar>& batch) {
    return (batch.data.size() * sizeof(Bar) + batch.index.size() * sizeof(IndexRecord)) / 2;
}

// Both datasets are created empty with their declared layout, then filled chunk by chunk
// through the same path as an append.
template <class Bar>
void create_datasets(h5::File& file, const Batch<Bar>& batch, ChunkCodecs& codecs) {
    const auto bar_memory = BarTraits<Bar>::memory_type();
    h5::DatasetOptions data_options;
    data_options.resizable = true;
    data_options.chunk_rows = DATA_CHUNK_BYTES / sizeof(Bar);
    data_options.deflate_level = DECLARED_DEFLATE_LEVEL;
    h5::Dataset data =
        file.create_dataset("data", BarTraits<Bar>::file_type(), bar_memory.id(), 0, nullptr, data_options);
    _append<Bar>(data, bar_memory.id(), batch.data, codecs);

    h5::DatasetOptions index_options;
    index_options.resizable = true;
    index_options.chunk_rows = INDEX_CHUNK_ROWS;
    index_options.deflate_level = DECLARED_DEFLATE_LEVEL;
    const auto index_memory = layout::index_memory_type();
    h5::Dataset index =
        file.create_dataset("index", layout::INDEX_DTYPE(), index_memory.id(), 0, nullptr, index_options);
    _append<IndexRecord>(index, index_memory.id(), batch.index, codecs);
}

template <class Bar>
void update_open_file(h5::File& file, const MinbarFile<Bar>& store, std::optional<Batch<Bar>> batch) {
    const Instrument& ins = store.instrument();
    ChunkCodecs codecs{h5::ZlibCodec(DEFLATE_LEVEL), h5::ZlibCodec(EDGE_DEFLATE_LEVEL)};
    if (!file.contains("index")) {
        if (!batch) batch = store.get_price(store.min_start_date());
        if (batch) layout::reserve_free_space(file.path(), estimated_bytes(*batch));
        if (file.contains("data")) file.unlink("data");
        if (batch) create_datasets(file, *batch, codecs);
        file.commit();
        return;
    }

    h5::Dataset index = file.open_dataset("index");
    h5::Dataset data = file.open_dataset("data");
    // A file h5py compressed otherwise (LZF) keeps its filter: HDF5 writes its chunks.
    layout::require_filters(index, "index");
    layout::require_filters(data, "data");
    const auto index_memory = layout::index_memory_type();
    const auto bar_memory = BarTraits<Bar>::memory_type();

    auto last_index_entry = [&]() -> std::pair<int, std::uint32_t> {
        const hsize_t n = index.rows();
        if (n == 0) return {MIN_START_DATE, 0};
        IndexRecord last{};
        h5::read_rows(index, index_memory.id(), n - 1, 1, &last, codecs.full);
        return {last.date, last.line_no};
    };
    auto [latest_date, latest_index] = last_index_entry();

    // Whole records, read from the stored chunk directly where the layout allows it (the chunk
    // holding the last bar is the one the append extends).
    auto bar_date_at = [&](hsize_t row) {
        Bar bar{};
        h5::read_rows(data, bar_memory.id(), row, 1, &bar, codecs.full);
        return static_cast<int>(bar.datetime / 1000000);
    };
    const hsize_t data_rows = data.rows();
    const int data_date = data_rows == 0 ? MIN_START_DATE : bar_date_at(data_rows - 1);

    if (latest_date != data_date) {
        // The index and the bars end on different days (an update was interrupted between
        // its two appends, or the file was damaged): drop everything from the earlier of the
        // two days on, so that those days are fetched again in full.
        const int min_date = std::min(latest_date, data_date);
        const auto date_type = layout::date_field_memory_type();
        const hsize_t kept_days = rows_before(
            index.rows(), min_date, [&](hsize_t row) { return index.read_one<std::int32_t>(date_type.id(), row); });
        // Bars are cut by their calendar date and, where the index still names the first
        // dropped trading day, at that day's first row: a night-session bar carries the
        // calendar date before its trading day, so the date alone would keep the evening bars
        // of a dropped day and the refetch would store them twice.
        hsize_t kept_rows = rows_before(data_rows, min_date, bar_date_at);
        if (kept_days < index.rows())
            kept_rows = std::min<hsize_t>(kept_rows, index.read_one<IndexRecord>(index_memory.id(), kept_days).line_no);
        data.resize(kept_rows);
        index.resize(kept_days);
        file.commit();
        std::tie(latest_date, latest_index) = last_index_entry();
    }

    if (ins.de_listed_date != 0 && latest_date >= ins.de_listed_date) return;

    host::throw_if_interrupted();
    const int next = service::current().get_next_trading_date(latest_date, ins.market);
    batch = store.get_price(next);
    if (!batch) return;
    host::throw_if_interrupted();
    layout::reserve_free_space(file.path(), estimated_bytes(*batch));

    const hsize_t rows_now = data.rows();
    const hsize_t offset = latest_index + (rows_now > latest_index ? rows_now - latest_index : 0);
    for (IndexRecord& entry : batch->index) entry.line_no = static_cast<std::uint32_t>(entry.line_no + offset);
    // Index first, then bars, committed together by the flush below: an interruption anywhere
    // in between is undone (the undo journal). Should a file still end with its index ahead
    // of its data (damaged otherwise), the repair above cuts both back on the next update.
    _append<IndexRecord>(index, index_memory.id(), batch->index, codecs);
    // Years of bars go in slices, so that a stop request is answered within one slice.
    const std::span<const Bar> bars(batch->data);
    for (std::size_t first = 0; first < bars.size(); first += APPEND_SLICE_ROWS) {
        host::throw_if_interrupted();
        _append<Bar>(data, bar_memory.id(), bars.subspan(first, std::min(APPEND_SLICE_ROWS, bars.size() - first)),
                     codecs);
    }
    file.commit();
}

template <class Bar>
void run(const Instrument& ins, const std::string& h5_file, int min_start_date, bool rebuild) {
    MinbarFile<Bar> store(ins, min_start_date);
    std::optional<Batch<Bar>> batch;
    // A rebuild makes a new file as for a missing one and puts it in place of the old one only
    // once complete: a failed fetch, a full disk or a stop leaves the old file as it was.
    const bool existed = !rebuild && fs::exists(h5_file);
    if (!existed) {
        batch = store.get_price(min_start_date);
        if (!batch) {
            if (std::error_code ec; rebuild && fs::exists(h5_file, ec))
                host::system_log().warning("重建 " + h5_file + ": the service has no minute bars for " +
                                           ins.order_book_id + "; the old file is kept");
            return;
        }
    }
    const std::string mode = layout::get_h5_mode(h5_file);
    host::SharedFlag& flag = host::sval();

    // A new file is built under a temporary name and published when complete: a process killed
    // while HDF5 writes a new file leaves a file HDF5 cannot open at all. An existing file is
    // changed under its undo journal: whatever fails or stops the update, abandon() leaves the
    // file as it was (or as of its last commit), and so does the next open after a kill.
    const std::string work_file = existed ? h5_file : layout::temporary_store_path(h5_file);
    h5::File file;
    try {
        host::throw_if_interrupted();
        // The file a rebuild replaces stays locked until then: no update writes into it meanwhile.
        std::optional<layout::HeldStoreFile> old;
        if (rebuild) old.emplace(h5_file);
        // The old file stays until the new one is complete: the room asked for is the new file's
        // on top of it.
        if (!existed) layout::reserve_free_space(h5_file, estimated_bytes(*batch));
        file = existed ? layout::open_h5(h5_file, mode) : layout::create_new_store_file(work_file);
        update_open_file(file, store, std::move(batch));
        if (!existed) {
            file.commit();
            host::throw_if_interrupted();  // a stopped or orphaned worker publishes nothing
            // Published while this process still holds the temporary file's lock, so that a
            // second run creating the same file can neither empty it first nor replace ours.
            if (rebuild)
                layout::replace_store_file(work_file, h5_file);
            else
                layout::publish_new_store_file(work_file, h5_file);
        }
        file.close();
    } catch (...) {
        if (file.valid()) {
            if (!existed) layout::discard_new_store_file(work_file);
            file.abandon();
        }
        if (host::is_interruption(std::current_exception())) throw;
        drivers::report_update_failure(h5_file, std::current_exception(), flag);
    }
}

}  // namespace

void _append_h5(const std::string& order_book_id, const std::string& path, const std::optional<std::string>& file_name,
                int min_start_date, bool rebuild) {
    const Instrument ins = look_up(order_book_id);
    if (ins.de_listed_date != 0 && ins.de_listed_date < MIN_START_DATE) {
        // Not an error (the run succeeds, as specified), but a file the user asked for is not
        // made: the log says why.
        host::system_log().info(fmt::format("{}: delisted on {}, before {}, the first day minute bars are kept from; "
                                            "no minute-bar file is made",
                                            order_book_id, ins.de_listed_date, MIN_START_DATE));
        return;
    }

    const std::optional<StoreGroup> store = store_group(ins.type);
    if (!store) return;
    const layout::BarKind kind = store->kind;
    const char* group = store->folder;

    const fs::path dir = fs::path(path) / group;
    layout::make_directories(dir.string());
    const std::string h5_file =
        (dir / (file_name && !file_name->empty() ? *file_name : layout::store_file_name(order_book_id))).string();
    if (kind == layout::BarKind::Equities)
        run<EquityBar>(ins, h5_file, min_start_date, rebuild);
    else
        run<DerivativeBar>(ins, h5_file, min_start_date, rebuild);
}

}  // namespace tarnwick::bundle::minbar
