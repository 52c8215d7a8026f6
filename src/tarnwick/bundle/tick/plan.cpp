#include "tarnwick/bundle/tick/plan.hpp"

#include <algorithm>
#include <filesystem>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/tick_layout.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/connection.hpp"
#include "tarnwick/bundle/tick/append.hpp"

namespace tarnwick::bundle::tick {
namespace {

namespace fs = std::filesystem;
using drivers::InstrumentPlan;
using drivers::PlanAction;

void plan_one(InstrumentPlan& item, const std::string& path, bool rebuild) {
    item.file = (fs::path(path) / layout::store_file_name(item.order_book_id)).string();
    std::error_code ec;
    const bool exists = fs::exists(item.file, ec);
    int start = layout::MIN_START_DATE;
    int newest = 0;
    if (!exists || rebuild) {
        if (service::current().instruments(item.order_book_id, std::nullopt).is_none())
            throw ValueError("标的 " + item.order_book_id + " 不存在");  // frozen text
        item.action = exists ? PlanAction::Rebuild : PlanAction::Create;
    } else {
        std::vector<std::string> names;
        {
            const h5::File store = h5::File::open(item.file, h5::File::Access::ReadOnly);
            names = store.members();
        }
        // The update starts at the greatest name; temporary members sort before every day.
        std::vector<std::string> days;
        for (const std::string& name : names)
            if (!day_of_temporary_member(name)) days.push_back(name);
        item.action = PlanAction::Extend;
        if (!days.empty()) {
            const std::string greatest = *std::max_element(days.begin(), days.end());
            if (!layout::is_day_member(greatest))
                throw ValueError("the newest member \"" + greatest + "\" of the tick file is not a trading date");
            newest = start = std::stoi(greatest);
            const std::uint64_t file_bytes = fs::file_size(item.file, ec);
            if (!ec) {
                item.estimated_from_file = true;
                item.bytes = file_bytes / days.size();  // per stored day, for now
            }
        }
    }
    const int end = service::_get_end_date();
    if (end >= start) {
        service::PriceQuery query;
        query.order_book_id = item.order_book_id;
        query.start_date = start;
        query.end_date = end;
        query.frequency = service::Frequency::Day;
        if (const std::optional<service::Frame> bars = service::current().get_price(query)) {
            std::vector<int> days;
            for (const host::DateTime& t : bars->timestamp) days.push_back(host::date_to_number(t));
            std::sort(days.begin(), days.end());
            days.erase(std::unique(days.begin(), days.end()), days.end());
            if (!days.empty()) {
                item.first_day = days.front();
                item.last_day = days.back();
                item.trading_days = static_cast<int>(days.size());
            }
        }
    }
    // Per stored day times days; rows from the bytes a snapshot takes in the store.
    item.bytes *= static_cast<std::uint64_t>(item.trading_days);
    if (item.estimated_from_file) item.rows = item.bytes / 100;
    if (item.trading_days == 0) {
        item.action = PlanAction::Current;
        if (!exists) item.note = "no trading day to fetch yet";
    } else if (item.action == PlanAction::Extend && item.trading_days == 1 && item.first_day == newest) {
        item.action = PlanAction::Current;
        item.note = "its newest day is fetched again";
    }
}

}  // namespace

std::vector<InstrumentPlan> plan_tick(const std::string& path, const std::vector<std::string>& ids, bool rebuild) {
    std::vector<InstrumentPlan> items;
    items.reserve(ids.size());
    for (const std::string& id : ids) {
        InstrumentPlan& item = items.emplace_back();
        item.kind = "tick";
        item.group = "ticks";
        item.order_book_id = id;
        try {
            plan_one(item, path, rebuild);
        } catch (const OsError& e) {
            item.action = PlanAction::Unknown;
            item.note = e.kind() == OsError::Kind::WouldBlock ? "the file is held by another process"
                                                              : std::string("the file cannot be read: ") + e.what();
        } catch (const std::exception& e) {
            item.action = PlanAction::Unknown;
            item.note = e.what();
        }
    }
    return items;
}

}  // namespace tarnwick::bundle::tick
