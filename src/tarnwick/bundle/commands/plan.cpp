#include "tarnwick/bundle/commands/plan.hpp"

#include <filesystem>
#include <set>

#include <fmt/format.h>

#include "tarnwick/bundle/commands/updates.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/minbar/plan.hpp"
#include "tarnwick/bundle/selection/record.hpp"
#include "tarnwick/bundle/selection/tags.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/connection.hpp"
#include "tarnwick/bundle/tick/plan.hpp"

namespace tarnwick::bundle::commands {
namespace {

namespace fs = std::filesystem;

std::vector<int> calendar_to_end() {
    return service::current().get_trading_dates(layout::MIN_START_DATE, service::_get_end_date());
}

std::vector<std::string> as_vector(const std::set<std::string>& ids) { return {ids.begin(), ids.end()}; }

drivers::Plan start_plan(std::string command, std::string bundle_dir, bool rebuild) {
    host::now();  // a clock past the calendar's end stops the plan as it stops the update
    drivers::Plan plan;
    plan.command = std::move(command);
    plan.bundle_dir = std::move(bundle_dir);
    plan.end_date = service::_get_end_date();
    plan.rebuild = rebuild;
    return plan;
}

void add_minbar(drivers::Plan& plan, const std::string& path, const std::vector<std::string>& ids, bool rebuild,
                const std::vector<int>& calendar) {
    auto items = minbar::plan_minbar(path, ids, rebuild, calendar);
    plan.items.insert(plan.items.end(), items.begin(), items.end());
}

void add_tick(drivers::Plan& plan, const std::string& path, const std::vector<std::string>& ids, bool rebuild) {
    auto items = tick::plan_tick(path, ids, rebuild);
    plan.items.insert(plan.items.end(), items.begin(), items.end());
}

// The identifiers the incremental update would take for one kind, resolving the recorded
// requests again (without recording them) when `selection` is given.
std::vector<std::string> ids_of(std::vector<std::string> present, const selection::RecordedSelection* selection,
                                selection::StoreKind kind) {
    if (!selection) return present;
    std::set<std::string> ids(present.begin(), present.end());
    for (const selection::Request& request : selection->of(kind)) {
        const auto resolved = selection::_merge_tags(request.tags, request.with_derivatives, request.enable_bjse);
        ids.insert(resolved.begin(), resolved.end());
    }
    return as_vector(ids);
}

}  // namespace

drivers::Plan plan_minbar_update(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                                 bool rebuild, bool enable_bjse) {
    drivers::Plan plan =
        start_plan("update-minbar", selection::bundle_of_store_folder(path, selection::StoreKind::Minbar), rebuild);
    const auto ids = selection::_merge_tags(tags, with_derivatives, enable_bjse);
    add_minbar(plan, path, as_vector(ids), rebuild, calendar_to_end());
    drivers::estimate_missing(plan);
    return plan;
}

drivers::Plan plan_tick_update(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                               bool rebuild, bool enable_bjse) {
    drivers::Plan plan =
        start_plan("update-tick", selection::bundle_of_store_folder(path, selection::StoreKind::Tick), rebuild);
    const auto ids = selection::_merge_tags(tags, with_derivatives, enable_bjse);
    add_tick(plan, path, as_vector(ids), rebuild);
    drivers::estimate_missing(plan);
    return plan;
}

drivers::Plan plan_bundle_update(const std::string& data_bundle_path, bool base, const std::vector<std::string>& minbar,
                                 const std::vector<std::string>& tick, bool with_derivatives, bool rebuild,
                                 bool enable_bjse) {
    const std::string bundle = layout::bundle_dir(data_bundle_path);
    drivers::Plan plan = start_plan("update", bundle, rebuild);
    plan.base = base;
    if (enable_bjse)
        plan.notes.push_back("--enable-bjse: the update first checks that this account may fetch Beijing stocks");
    if (!minbar.empty()) {
        const auto ids = selection::_merge_tags(minbar, with_derivatives, enable_bjse);
        add_minbar(plan, (fs::path(bundle) / "h5").string(), as_vector(ids), rebuild, calendar_to_end());
    }
    if (!tick.empty()) {
        const auto ids = selection::_merge_tags(tick, with_derivatives, enable_bjse);
        add_tick(plan, (fs::path(bundle) / "ticks").string(), as_vector(ids), rebuild);
    }
    drivers::estimate_missing(plan);
    return plan;
}

drivers::Plan plan_existing_update(const std::string& data_bundle_path, bool to_selection) {
    const std::string bundle = layout::bundle_dir(data_bundle_path);
    drivers::Plan plan = start_plan(to_selection ? "update-existing --selection" : "update-existing", bundle, false);
    plan.base = true;
    std::optional<selection::RecordedSelection> recorded;
    if (to_selection) recorded = selection::load_selection(bundle);
    const selection::RecordedSelection* wanted = recorded && !recorded->empty() ? &*recorded : nullptr;
    if (to_selection && !wanted)
        plan.notes.push_back("no recorded selection: only the store files present are planned");

    const std::string min_folder = (fs::path(bundle) / "h5").string();
    const auto min_ids = ids_of(fs::exists(min_folder) ? existing_minbar_ids(min_folder) : std::vector<std::string>{},
                                wanted, selection::StoreKind::Minbar);
    if (!min_ids.empty()) add_minbar(plan, min_folder, min_ids, false, calendar_to_end());
    const std::string tick_folder = (fs::path(bundle) / "ticks").string();
    const auto tick_ids = ids_of(fs::exists(tick_folder) ? existing_tick_ids(tick_folder) : std::vector<std::string>{},
                                 wanted, selection::StoreKind::Tick);
    if (!tick_ids.empty()) add_tick(plan, tick_folder, tick_ids, false);
    drivers::estimate_missing(plan);
    return plan;
}

std::string show_plan(const drivers::Plan& plan, bool json) {
    return json ? drivers::plan_json(plan) : drivers::plan_text(plan);
}

}  // namespace tarnwick::bundle::commands
