#include "tarnwick/bundle/minbar/plan.hpp"

#include <algorithm>
#include <filesystem>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/minbar/instrument.hpp"
#include "tarnwick/bundle/service/client.hpp"

namespace tarnwick::bundle::minbar {
namespace {

namespace fs = std::filesystem;
using drivers::InstrumentPlan;
using drivers::PlanAction;
using layout::MIN_START_DATE;

// What the update reads of a stored file before it fetches.
struct Stored {
    bool has_index = false;
    std::vector<std::int32_t> days;  // the index's dates
    hsize_t rows = 0;
    int last_bar_day = MIN_START_DATE;
};

Stored read_stored(const std::string& file, layout::BarKind kind) {
    Stored stored;
    const h5::File store = h5::File::open(file, h5::File::Access::ReadOnly);
    stored.has_index = store.contains("index");
    if (!stored.has_index) return stored;
    static const h5::DataType date_only = layout::date_field_memory_type();
    stored.days = store.open_dataset("index").read_all<std::int32_t>(date_only.id());
    const h5::Dataset data = store.open_dataset("data");
    stored.rows = data.rows();
    if (stored.rows == 0) return stored;
    std::int64_t datetime = 0;
    if (kind == layout::BarKind::Equities) {
        static const h5::DataType memory = layout::equity_bar_memory_type();
        datetime = static_cast<std::int64_t>(data.read_one<layout::EquityBar>(memory.id(), stored.rows - 1).datetime);
    } else {
        static const h5::DataType memory = layout::derivative_bar_memory_type();
        datetime =
            static_cast<std::int64_t>(data.read_one<layout::DerivativeBar>(memory.id(), stored.rows - 1).datetime);
    }
    stored.last_bar_day = static_cast<int>(datetime / 1000000);
    return stored;
}

void plan_one(InstrumentPlan& item, const std::string& path, bool rebuild, const std::vector<int>& calendar) {
    const Instrument ins = look_up(item.order_book_id);
    if (ins.de_listed_date != 0 && ins.de_listed_date < MIN_START_DATE) {
        item.action = PlanAction::Skip;
        item.note = "delisted before the bundle's first day";
        return;
    }
    const std::optional<StoreGroup> group = store_group(ins.type);
    if (!group) {
        item.action = PlanAction::Skip;
        item.note = "no minute-bar file for instruments of type " + std::string(ins.type);
        return;
    }
    item.group = group->folder;
    item.file = (fs::path(path) / group->folder / layout::store_file_name(ins.order_book_id)).string();
    const int end = last_fetch_day(ins);

    int start = MIN_START_DATE;
    std::error_code ec;
    const bool exists = fs::exists(item.file, ec);
    if (!exists || rebuild) {
        item.action = exists ? PlanAction::Rebuild : PlanAction::Create;
        // The bars begin at the listing; asking earlier finds none.
        start = std::max(MIN_START_DATE, ins.listed_date);
    } else {
        const Stored stored = read_stored(item.file, group->kind);
        if (!stored.has_index) {
            item.action = PlanAction::Rebuild;
            item.note = "the file has no day index: built again from the first day";
            start = std::max(MIN_START_DATE, ins.listed_date);
        } else {
            std::vector<std::int32_t> days = stored.days;
            int latest = days.empty() ? MIN_START_DATE : days.back();
            const int data_day = stored.rows == 0 ? MIN_START_DATE : stored.last_bar_day;
            if (latest != data_day) {
                // The update first cuts both back to the days before the earlier end.
                const int min_day = std::min(latest, data_day);
                days.erase(std::lower_bound(days.begin(), days.end(), min_day), days.end());
                latest = days.empty() ? MIN_START_DATE : days.back();
                item.note = "the day index and the bars end on different days: cut back first";
            }
            if (!days.empty() && stored.rows > 0) {
                const std::uint64_t file_bytes = fs::file_size(item.file, ec);
                item.estimated_from_file = true;
                // Per stored day, applied to the days fetched below.
                const double rows_per_day = static_cast<double>(stored.rows) / stored.days.size();
                const double bytes_per_day = ec ? 0.0 : static_cast<double>(file_bytes) / stored.days.size();
                const drivers::DaySpan held = drivers::span_of(calendar, days.front(), days.back());
                item.gap_days = std::max(0, held.count - static_cast<int>(days.size()));
                item.rows = static_cast<std::uint64_t>(rows_per_day);
                item.bytes = static_cast<std::uint64_t>(bytes_per_day);
            }
            if (ins.de_listed_date != 0 && latest >= ins.de_listed_date) {
                item.action = PlanAction::Current;
                item.rows = item.bytes = 0;
                return;
            }
            item.action = PlanAction::Extend;
            start = service::current().get_next_trading_date(latest, ins.market);
        }
    }
    const drivers::DaySpan span = drivers::span_of(calendar, start, end);
    item.first_day = span.first;
    item.last_day = span.last;
    item.trading_days = span.count;
    // rows and bytes held the per-day figures of the file so far.
    item.rows *= static_cast<std::uint64_t>(span.count);
    item.bytes *= static_cast<std::uint64_t>(span.count);
    if (span.count == 0) {
        item.action = PlanAction::Current;
        if (!exists) item.note = "no trading day to fetch yet: no file is made";
    }
}

}  // namespace

std::vector<InstrumentPlan> plan_minbar(const std::string& path, const std::vector<std::string>& ids, bool rebuild,
                                        const std::vector<int>& calendar) {
    std::vector<InstrumentPlan> items;
    items.reserve(ids.size());
    for (const std::string& id : ids) {
        InstrumentPlan& item = items.emplace_back();
        item.kind = "minbar";
        item.order_book_id = id;
        try {
            plan_one(item, path, rebuild, calendar);
        } catch (const OsError& e) {
            item.action = PlanAction::Unknown;
            item.note = e.kind() == OsError::Kind::WouldBlock ? "the file is held by another process"
                                                              : std::string("the file cannot be read: ") + e.what();
        } catch (const std::exception& e) {
            // The update would fail for it the same way.
            item.action = PlanAction::Unknown;
            item.note = e.what();
        }
    }
    return items;
}

}  // namespace tarnwick::bundle::minbar
