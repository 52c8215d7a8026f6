#include <nlohmann/json.hpp>

#include "tarnwick/bundle/status/views.hpp"

namespace tarnwick::bundle::status {
namespace {

using nlohmann::json;

template <class T>
json or_null(const std::optional<T>& value) {
    return value ? json(*value) : json(nullptr);
}

json flags_of(const FileStatus& f) {
    json flags = json::array();
    if (f.current()) flags.push_back("current");
    if (f.stale()) flags.push_back("stale");
    if (f.incomplete()) flags.push_back("incomplete");
    if (!f.leftovers.empty()) flags.push_back("leftover");
    if (f.unreadable) flags.push_back("unreadable");
    if (f.held) flags.push_back("held");
    if (!f.exists) flags.push_back("missing");
    return flags;
}

}  // namespace

std::string json_view(const BundleStatus& s) {
    json doc;
    doc["root"] = s.root;
    doc["bundle"] = s.bundle_dir;
    doc["end_date"] = s.end_date;
    doc["latest_trading_day"] = or_null(s.target_date);
    doc["calendar"] = s.calendar_present
                          ? json{{"first", or_null(s.calendar_first)}, {"last", or_null(s.calendar_last)}}
                          : json(nullptr);
    doc["suspensions"] = s.suspensions_present;
    doc["ok"] = s.all_good();
    doc["problems"] = s.problems;
    json groups = json::array();
    for (const auto& g : s.groups)
        groups.push_back({{"kind", kind_name(g.kind)},
                          {"group", g.group},
                          {"files", g.files},
                          {"bytes", g.bytes},
                          {"rows", g.kind == Kind::Minbar ? json(g.rows) : json(nullptr)},
                          {"current", g.current},
                          {"stale", g.stale},
                          {"incomplete", g.incomplete},
                          {"unreadable", g.unreadable},
                          {"held", g.held},
                          {"leftovers", g.leftovers}});
    doc["groups"] = std::move(groups);
    json files = json::array();
    for (const auto& f : s.files) {
        json leftovers = json::array();
        for (const auto& l : f.leftovers) leftovers.push_back({{"kind", leftover_kind_name(l.kind)}, {"name", l.name}});
        files.push_back({{"kind", kind_name(f.kind)},
                         {"group", f.group},
                         {"instrument", f.instrument},
                         {"path", f.path},
                         {"exists", f.exists},
                         {"first_date", or_null(f.first_date)},
                         {"last_date", or_null(f.last_date)},
                         {"delisted_date", or_null(f.delisted_date)},
                         {"days_held", f.days_held},
                         {"days_missing", f.days_missing},
                         {"days_suspended", f.days_suspended},
                         {"days_behind", f.days_behind},
                         {"missing_dates", f.missing_dates},
                         {"rows", or_null(f.rows)},
                         {"bytes", f.bytes},
                         {"flags", flags_of(f)},
                         {"error", f.error.empty() ? json(nullptr) : json(f.error)},
                         {"leftovers", std::move(leftovers)}});
    }
    doc["files"] = std::move(files);
    // Paths may hold bytes that are not UTF-8: replace them rather than fail.
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + '\n';
}

}  // namespace tarnwick::bundle::status
