#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick/bundle/status/text.hpp"
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
    if (f.updating) flags.push_back("updating");
    if (!f.exists && !f.leftovers.empty()) flags.push_back("missing");
    if (f.absent) flags.push_back("absent");
    return flags;
}

// A JSON string of `text`, as UTF-8. A byte that is not part of valid UTF-8 (a file name is
// bytes) becomes the escape of the lone surrogate U+DC00 + byte, as Python's surrogateescape
// writes it, so that the name can be turned back into the exact bytes.
void write_string(const std::string& text, std::string& out) {
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        const std::size_t length = utf8_sequence(text, at);
        if (length == 0) {
            out += fmt::format("\\u{:04x}", 0xDC00 + c);
            ++at;
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (c < 0x20)
                    out += fmt::format("\\u{:04x}", c);
                else
                    out.append(text, at, length);
        }
        at += length;
    }
    out += '"';
}

// The document indented by two spaces, keys in the order the json object keeps them.
void write_value(const json& value, int depth, std::string& out) {
    const bool object = value.is_object();
    if (!object && !value.is_array()) {
        if (value.is_string())
            write_string(value.get_ref<const std::string&>(), out);
        else
            out += value.dump();
        return;
    }
    if (value.empty()) {
        out += object ? "{}" : "[]";
        return;
    }
    out += object ? "{\n" : "[\n";
    bool first = true;
    for (const auto& item : value.items()) {
        if (!first) out += ",\n";
        first = false;
        out.append(static_cast<std::size_t>(2 * (depth + 1)), ' ');
        if (object) {
            write_string(item.key(), out);
            out += ": ";
        }
        write_value(item.value(), depth + 1, out);
    }
    out += '\n';
    out.append(static_cast<std::size_t>(2 * depth), ' ');
    out += object ? '}' : ']';
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
                          {"leftovers", g.leftovers},
                          {"absent", g.absent}});
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
    std::string text;
    write_value(doc, 0, text);
    return text + '\n';
}

}  // namespace tarnwick::bundle::status
