#include "tarnwick/bundle/drivers/plan.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <tuple>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick/bundle/host/atomic_file.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/selection/record.hpp"

namespace tarnwick::bundle::drivers {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// Defaults for a file with nothing to learn from: the rows of one trading day as the service
// sends them (240 one-minute bars of a stock's day, 345 of a future's with its night session;
// about 20 snapshots a minute), and bytes per row as the store keeps them (bench/README.md:
// deflate keeps a minute bar in about a third of its 48 or 56 bytes, Blosc/LZ4 a snapshot in
// about half of its 216).
struct Defaults {
    double rows_per_day;
    double bytes_per_row;
};
Defaults defaults_of(const std::string& kind, const std::string& group) {
    const bool derivative = group == "future" || group == "option";
    if (kind == "tick") return {4800, 100};
    return {derivative ? 345.0 : 240.0, derivative ? 20.0 : 17.0};
}

std::string human_bytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    return unit == 0 ? fmt::format("{:.0f} {}", bytes, units[unit]) : fmt::format("{:.1f} {}", bytes, units[unit]);
}

std::string human_seconds(double seconds) {
    if (seconds < 1) return "under a second";
    if (seconds < 90) return fmt::format("{:.0f} s", seconds);
    if (seconds < 90 * 60) return fmt::format("{:.0f} min", seconds / 60);
    return fmt::format("{:.1f} h", seconds / 3600);
}

std::string day_text(int day) { return day ? host::hyphenated(day) : "-"; }

Json load_rates(const std::string& bundle_dir) {
    try {
        const std::string text = host::read_whole_file(rates_file(bundle_dir), 1 << 16);
        Json doc = Json::parse(text);
        if (doc.is_object()) return doc;
    } catch (...) {
        // No record (or a damaged one): the time is unknown, which is no reason to fail a plan.
    }
    return Json::object();
}

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

const char* plan_action_name(PlanAction action) {
    switch (action) {
        case PlanAction::Create:
            return "create";
        case PlanAction::Rebuild:
            return "rebuild";
        case PlanAction::Extend:
            return "extend";
        case PlanAction::Current:
            return "current";
        case PlanAction::Skip:
            return "skip";
        case PlanAction::Unknown:
            break;
    }
    return "unknown";
}

DaySpan span_of(const std::vector<int>& calendar, int first, int last) {
    const auto begin = std::lower_bound(calendar.begin(), calendar.end(), first);
    const auto end = std::upper_bound(begin, calendar.end(), last);
    if (begin >= end) return {};
    return {*begin, *(end - 1), static_cast<int>(end - begin)};
}

void estimate_missing(Plan& plan) {
    // Per (kind, group): rows and bytes per stored day, over the files that know theirs.
    std::map<std::pair<std::string, std::string>, std::tuple<double, double, int>> learned;
    for (const InstrumentPlan& item : plan.items)
        if (item.estimated_from_file && item.trading_days > 0) {
            auto& [rows, bytes, files] = learned[{item.kind, item.group}];
            rows += static_cast<double>(item.rows) / item.trading_days;
            bytes += static_cast<double>(item.bytes) / item.trading_days;
            ++files;
        }
    for (InstrumentPlan& item : plan.items) {
        if (!item.fetches() || item.estimated_from_file) continue;
        const Defaults fallback = defaults_of(item.kind, item.group);
        double rows_per_day = fallback.rows_per_day;
        double bytes_per_day = fallback.rows_per_day * fallback.bytes_per_row;
        if (const auto found = learned.find({item.kind, item.group}); found != learned.end()) {
            const auto& [rows, bytes, files] = found->second;
            rows_per_day = rows / files;
            bytes_per_day = bytes / files;
        }
        item.rows = static_cast<std::uint64_t>(std::llround(rows_per_day * item.trading_days));
        item.bytes = static_cast<std::uint64_t>(std::llround(bytes_per_day * item.trading_days));
    }
}

std::vector<KindTotals> Plan::totals(const std::string& bundle_dir) const {
    std::vector<KindTotals> out;
    const Json rates = bundle_dir.empty() ? Json::object() : load_rates(bundle_dir);
    for (const char* kind : {"minbar", "tick"}) {
        KindTotals t;
        t.kind = kind;
        for (const InstrumentPlan& item : items) {
            if (item.kind != kind) continue;
            ++t.instruments;
            if (item.fetches() && item.action != PlanAction::Current) ++t.fetching;
            if (item.action == PlanAction::Current) ++t.current;
            if (item.action == PlanAction::Skip) ++t.skipped;
            if (item.action == PlanAction::Unknown) ++t.unknown;
            t.trading_days += static_cast<std::uint64_t>(item.trading_days);
            t.rows += item.rows;
            t.bytes += item.bytes;
        }
        if (t.instruments == 0) continue;
        if (!bundle_dir.empty()) t.bytes_per_second = recorded_rate(bundle_dir, kind);
        if (t.bytes_per_second && *t.bytes_per_second > 0)
            t.seconds = static_cast<double>(t.bytes) / *t.bytes_per_second;
        out.push_back(t);
    }
    return out;
}

std::string plan_text(const Plan& plan) {
    std::string text = fmt::format("dry run of {}: nothing is fetched, no file is changed (end date {})\n",
                                   plan.command, day_text(plan.end_date));
    if (plan.base) text += "day bars and base data: would be updated first (not estimated)\n";
    if (plan.rebuild)
        text += "--rebuild: every selected file is planned as built again from its first day; no file was deleted\n";
    for (const std::string& note : plan.notes) text += note + "\n";
    for (const InstrumentPlan& item : plan.items) {
        std::string line =
            fmt::format("{:<6} {:<18} {:<7}", item.kind, item.order_book_id, plan_action_name(item.action));
        if (item.fetches())
            line += fmt::format(" {} .. {}  {} trading day{}  ~{} rows  ~{}", day_text(item.first_day),
                                day_text(item.last_day), item.trading_days, item.trading_days == 1 ? "" : "s",
                                item.rows, human_bytes(static_cast<double>(item.bytes)));
        if (item.gap_days > 0)
            line += fmt::format("  ({} day{} missing inside the file: --refetch fills them)", item.gap_days,
                                item.gap_days == 1 ? "" : "s");
        if (!item.note.empty()) line += "  " + item.note;
        text += line + "\n";
    }
    for (const KindTotals& t : plan.totals(plan.bundle_dir)) {
        text +=
            fmt::format("{}: {} instrument{}, {} to fetch ({} trading day{}, ~{} rows, ~{}), {} current", t.kind,
                        t.instruments, t.instruments == 1 ? "" : "s", t.fetching, t.trading_days,
                        t.trading_days == 1 ? "" : "s", t.rows, human_bytes(static_cast<double>(t.bytes)), t.current);
        if (t.skipped) text += fmt::format(", {} without a file", t.skipped);
        if (t.unknown) text += fmt::format(", {} unknown", t.unknown);
        if (t.seconds)
            text += fmt::format("; time ~{} at the last run's {}/s\n", human_seconds(*t.seconds),
                                human_bytes(*t.bytes_per_second));
        else
            text += "; time unknown (no recorded run of this kind)\n";
    }
    return text;
}

std::string plan_json(const Plan& plan) {
    Json doc = Json::object();
    doc["command"] = plan.command;
    doc["end_date"] = plan.end_date;
    doc["rebuild"] = plan.rebuild;
    doc["base"] = plan.base;
    doc["notes"] = plan.notes;
    Json items = Json::array();
    for (const InstrumentPlan& item : plan.items) {
        Json j = Json::object();
        j["kind"] = item.kind;
        j["group"] = item.group;
        j["order_book_id"] = item.order_book_id;
        j["file"] = item.file;
        j["action"] = plan_action_name(item.action);
        j["first_day"] = item.first_day ? Json(item.first_day) : Json(nullptr);
        j["last_day"] = item.last_day ? Json(item.last_day) : Json(nullptr);
        j["trading_days"] = item.trading_days;
        j["rows"] = item.rows;
        j["bytes"] = item.bytes;
        j["gap_days"] = item.gap_days;
        j["note"] = item.note;
        items.push_back(std::move(j));
    }
    doc["instruments"] = std::move(items);
    Json totals = Json::object();
    for (const KindTotals& t : plan.totals(plan.bundle_dir)) {
        Json j = Json::object();
        j["instruments"] = t.instruments;
        j["fetching"] = t.fetching;
        j["current"] = t.current;
        j["skipped"] = t.skipped;
        j["unknown"] = t.unknown;
        j["trading_days"] = t.trading_days;
        j["rows"] = t.rows;
        j["bytes"] = t.bytes;
        j["bytes_per_second"] = t.bytes_per_second ? Json(*t.bytes_per_second) : Json(nullptr);
        j["seconds"] = t.seconds ? Json(*t.seconds) : Json(nullptr);
        totals[t.kind] = std::move(j);
    }
    doc["totals"] = std::move(totals);
    return doc.dump(2) + "\n";
}

std::string rates_file(const std::string& bundle_dir) {
    return (fs::path(bundle_dir) / ".tarnwick" / "update_rates.json").string();
}

std::optional<double> recorded_rate(const std::string& bundle_dir, const std::string& kind) {
    const Json rates = load_rates(bundle_dir);
    const auto entry = rates.find(kind);
    if (entry == rates.end() || !entry->is_object()) return std::nullopt;
    const Json& seconds = (*entry)["seconds"];
    const Json& bytes = (*entry)["bytes"];
    if (!seconds.is_number() || !bytes.is_number() || seconds.get<double>() <= 0) return std::nullopt;
    return bytes.get<double>() / seconds.get<double>();
}

void record_rate(const std::string& bundle_dir, const std::string& kind, double seconds,
                 std::uint64_t bytes_grown) noexcept {
    if (bundle_dir.empty() || seconds <= 0 || bytes_grown < RATE_MIN_BYTES) return;
    try {
        Json rates = load_rates(bundle_dir);
        Json entry = Json::object();
        entry["seconds"] = seconds;
        entry["bytes"] = bytes_grown;
        entry["ended_at"] = host::convert_dt_to_int(host::now());  // YYYYMMDDHHMMSS
        rates[kind] = std::move(entry);
        layout::make_directories((fs::path(bundle_dir) / ".tarnwick").string());
        host::write_file_atomically(rates_file(bundle_dir), rates.dump(2) + "\n");
    } catch (...) {
        // Only a later time estimate depends on it.
    }
}

std::uint64_t store_bytes(const std::string& folder) noexcept {
    std::uint64_t total = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() != ".h5") continue;
        std::error_code size_error;
        const auto size = it->file_size(size_error);
        if (!size_error) total += size;
    }
    return total;
}

RateRecorder::RateRecorder(std::string store_folder, std::string kind)
    : folder_(std::move(store_folder)), kind_(std::move(kind)) {
    bundle_ = selection::bundle_of_store_folder(
        folder_, kind_ == "tick" ? selection::StoreKind::Tick : selection::StoreKind::Minbar);
    if (bundle_.empty()) return;
    bytes_before_ = store_bytes(folder_);
    started_ = seconds_now();
}

void RateRecorder::finish() noexcept {
    if (bundle_.empty()) return;
    const std::uint64_t after = store_bytes(folder_);
    if (after > bytes_before_) record_rate(bundle_, kind_, seconds_now() - started_, after - bytes_before_);
}

}  // namespace tarnwick::bundle::drivers
