#include "tarnwick/bundle/commands/updates.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>

#include <fmt/format.h>

#include "tarnwick/bundle/commands/daybar.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/formats/pickle.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/install_record.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/minbar/driver.hpp"
#include "tarnwick/bundle/selection/record.hpp"
#include "tarnwick/bundle/selection/tags.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/tick/driver.hpp"

namespace tarnwick::bundle::commands {
namespace {

namespace fs = std::filesystem;

constexpr const char* NO_BJSE = "没有 enable_bjse 参数，详情可联系Quorvane：0000-00000000";

// Ends the program unless the service lists Beijing Stock Exchange stocks and lets this user
// fetch their prices.
void require_bjse_access() {
    const service::Listing stocks = service::current().all_instruments_on("CS", host::now());
    std::string first;
    for (const auto& row : stocks)
        if (row.exchange == "BJSE") {
            first = row.order_book_id;
            break;
        }
    if (first.empty()) {
        host::print_line(NO_BJSE);
        throw ProgramExit(0);
    }
    try {
        service::current().probe_price(first);
    } catch (const service::PermissionDenied&) {
        host::print_line(NO_BJSE);
        throw ProgramExit(0);
    }
}

// Asks until the answer is exactly "Y" (go on) or exactly "n" (end); a third other answer ends too.
void confirm_rebuild() {
    for (int attempt = 0; attempt < layout::REBUILD_COMFIRM_RETRY_TIMES; ++attempt) {
        host::print_line("本次会将指定的[合约分钟]和[合约tick]的h5文件从头进行更新，是否确认?[Y/n]");
        const std::optional<std::string> comfirm = host::read_line();
        if (!comfirm) throw EndOfInput("standard input ended before the rebuild was confirmed");
        if (*comfirm == "Y") return;
        if (*comfirm == "n") throw RebuildDeclined();
    }
    throw RebuildDeclined();
}

// The identifier of a store file: "<id>.h5", or "<id>.h5.tmp" left by a run that was stopped
// while it created the file (the update makes that instrument's file afresh, so it is not
// dropped from the bundle for good). Sample files are left alone.
std::optional<std::string> store_id(std::string name) {
    const std::string temporary_suffix = layout::temporary_store_path("");
    if (name.ends_with(temporary_suffix) && name.size() > temporary_suffix.size())
        name.resize(name.size() - temporary_suffix.size());
    if (!name.ends_with(".h5") || name.ends_with("-sample.h5") || name.size() == 3) return std::nullopt;
    return name.substr(0, name.size() - 3);
}

void add_store_ids(const fs::path& folder, std::vector<std::string>& ids) {
    const std::size_t first = ids.size();
    for (const auto& file : fs::directory_iterator(folder))
        if (const auto id = store_id(file.path().filename().string())) ids.push_back(*id);
    std::sort(ids.begin() + static_cast<std::ptrdiff_t>(first), ids.end());
    ids.erase(std::unique(ids.begin() + static_cast<std::ptrdiff_t>(first), ids.end()), ids.end());
}

bool bundle_has_bjse(const std::string& instruments_pk) {
    if (!fs::exists(instruments_pk)) return false;
    for (const formats::pickle::Value& record : formats::pickle::load_records(instruments_pk)) {
        const formats::pickle::Value* exchange = record.find("exchange");
        if (exchange && exchange->is_str() && exchange->as_str() == "BJSE") return true;
    }
    return false;
}

}  // namespace

bool update_bundle_from_tickwirec(int concurrency, const std::string& data_bundle_path, bool base,
                                  const std::vector<std::string>& minbar, const std::vector<std::string>& tick,
                                  bool with_derivatives, bool rebuild, bool enable_bjse) {
    const std::string path = layout::bundle_dir(data_bundle_path);
    host::now();  // a clock past the calendar's end stops the command before anything starts
    // A sample install killed half-way is finished or undone before anything reads the bundle.
    layout::settle_unfinished_install_if_any(layout::bundle_dir(data_bundle_path));
    if (enable_bjse) require_bjse_access();
    bool succeed = true;
    if (rebuild) confirm_rebuild();

    if (base) {
        host::print_line("开始更新日线及基础数据");
        const bool create = !fs::exists(path);
        if (create) layout::make_directories(path);
        commands::DaybarOptions options;
        options.tickwire_kwargs = std::map<std::string, bool>{{"enable_bjse", enable_bjse}};
        succeed = commands::update_daybar(path, create, true, concurrency, options);
    }
    if (!minbar.empty()) {
        const bool result = minbar::update_minbar((fs::path(path) / "h5").string(), minbar, with_derivatives,
                                                  concurrency, rebuild, enable_bjse);
        if (!result) succeed = result;
    }
    if (!tick.empty()) {
        const bool result = tick::update_tick((fs::path(path) / "ticks").string(), tick, with_derivatives, concurrency,
                                              rebuild, enable_bjse);
        if (!result) succeed = result;
    }
    return succeed;
}

std::vector<std::string> existing_minbar_ids(const std::string& h5_folder) {
    std::vector<std::string> ids;
    for (const auto& group : fs::directory_iterator(h5_folder)) {
        if (!group.is_directory() || group.path().filename() == "ticks") continue;
        add_store_ids(group.path(), ids);
    }
    return ids;
}

std::vector<std::string> existing_tick_ids(const std::string& tick_folder) {
    std::vector<std::string> ids;
    add_store_ids(tick_folder, ids);
    return ids;
}

namespace {

// The identifiers to update for one kind: those of the store files present, plus, with a
// selection, what its requests resolve to now. A request is resolved again and its record
// refreshed (a record that cannot be written is only logged: the update goes on).
std::vector<std::string> ids_to_update(std::vector<std::string> present, const std::string& bundle,
                                       selection::StoreKind kind,
                                       const selection::RecordedSelection* recorded_selection) {
    if (!recorded_selection || recorded_selection->of(kind).empty()) return present;
    std::set<std::string> selected;
    for (const selection::Request& old : recorded_selection->of(kind)) {
        const std::set<std::string> ids = selection::_merge_tags(old.tags, old.with_derivatives, old.enable_bjse);
        selected.insert(ids.begin(), ids.end());
        selection::try_record_request(bundle, kind,
                                      selection::make_request(old.tags, old.with_derivatives, old.enable_bjse, ids));
    }
    const std::set<std::string> with_file(present.begin(), present.end());
    std::size_t without_file = 0;
    for (const auto& id : selected) without_file += with_file.count(id) == 0 ? 1 : 0;
    const std::size_t requests = recorded_selection->of(kind).size();
    host::print_line(fmt::format("recorded selection ({}): {} {} to {} instrument{}, {} without a store file",
                                 selection::store_kind_name(kind), requests,
                                 requests == 1 ? "request resolves" : "requests resolve", selected.size(),
                                 selected.size() == 1 ? "" : "s", without_file));
    selected.insert(with_file.begin(), with_file.end());
    return {selected.begin(), selected.end()};
}

bool incremental_update(int concurrency, const std::string& data_bundle_path, bool to_selection) {
    const std::string path = layout::bundle_dir(data_bundle_path);
    host::now();  // a clock past the calendar's end stops the command before anything starts
    // A sample install killed half-way is finished or undone before anything reads the bundle.
    layout::settle_unfinished_install_if_any(layout::bundle_dir(data_bundle_path));
    // A record that cannot be read stops the command before anything is fetched.
    std::optional<selection::RecordedSelection> recorded_selection;
    if (to_selection) recorded_selection = selection::load_selection(path);
    host::print_line("开始智能更新已下载数据");
    if (recorded_selection && recorded_selection->empty())
        host::print_line(fmt::format("no recorded selection in {}: only the store files present are updated", path));
    host::print_line("开始更新日线及基础数据");
    const bool enable_bjse = bundle_has_bjse(layout::instruments_file(data_bundle_path));

    commands::DaybarOptions options;
    options.enable_bjse = enable_bjse;
    bool succeed = commands::update_daybar(path, false, true, concurrency, options);
    const selection::RecordedSelection* wanted = recorded_selection ? &*recorded_selection : nullptr;

    const std::string min_bar_folder = (fs::path(path) / "h5").string();
    const auto min_ids =
        ids_to_update(fs::exists(min_bar_folder) ? existing_minbar_ids(min_bar_folder) : std::vector<std::string>{},
                      path, selection::StoreKind::Minbar, wanted);
    if (!min_ids.empty() && !minbar::update_minbar_ids(min_bar_folder, min_ids, concurrency)) succeed = false;
    const std::string tick_folder = (fs::path(path) / "ticks").string();
    const auto tick_ids =
        ids_to_update(fs::exists(tick_folder) ? existing_tick_ids(tick_folder) : std::vector<std::string>{}, path,
                      selection::StoreKind::Tick, wanted);
    if (!tick_ids.empty() && !tick::update_tick_ids(tick_folder, tick_ids, concurrency)) succeed = false;
    return succeed;
}

}  // namespace

bool update_bundle_from_exist_file(int concurrency, const std::string& data_bundle_path) {
    return incremental_update(concurrency, data_bundle_path, false);
}

bool update_bundle_to_selection(int concurrency, const std::string& data_bundle_path) {
    return incremental_update(concurrency, data_bundle_path, true);
}

}  // namespace tarnwick::bundle::commands
