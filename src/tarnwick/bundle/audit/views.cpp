// The audit's text and JSON views.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tarnwick/bundle/audit/audit.hpp"

namespace tarnwick::bundle::audit {
namespace {

// Names are bytes; on a terminal, control characters must not steer it.
std::string shown(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            out += fmt::format("\\x{:02x}", u);
        else
            out += c;
    }
    return out;
}

}  // namespace

std::string text_view(const Report& report, std::size_t max_lines) {
    std::string text = fmt::format("{} minute-bar files ({} days), {} tick files ({} days) read\n", report.minbar_files,
                                   report.minbar_days, report.tick_files, report.tick_days);
    const auto counts = report.counts();
    if (report.clean()) return text + "no findings\n";
    text += fmt::format("{:<18} {:>8}\n", "finding", "count");
    for (const Kind kind : ALL_KINDS)
        if (const auto c = counts.find(kind); c != counts.end())
            text += fmt::format("{:<18} {:>8}\n", kind_name(kind), c->second);
    if (!report.skipped.empty()) text += fmt::format("{:<18} {:>8}\n", "files not read", report.skipped.size());
    text += '\n';
    std::size_t lines = 0;
    for (const auto& f : report.findings) {
        if (max_lines != 0 && lines == max_lines) {
            text += fmt::format("... and {} more findings (--all lists them all)\n", report.findings.size() - lines);
            break;
        }
        text += fmt::format("{:<16} {:<6} {:<14} {} {}\n", kind_name(f.kind), store_name(f.store), shown(f.instrument),
                            f.date, shown(f.reason));
        ++lines;
    }
    for (const auto& s : report.skipped)
        text += fmt::format("not read: {} {}: {}\n", store_name(s.store), shown(s.path), shown(s.reason));
    return text;
}

std::string json_view(const Report& report) {
    using nlohmann::json;
    json findings = json::array();
    for (const auto& f : report.findings) {
        const auto& paths = f.store == Store::Minbar ? report.minbar_paths : report.tick_paths;
        const auto path = paths.find(f.instrument);
        findings.push_back({{"kind", kind_name(f.kind)},
                            {"instrument", f.instrument},
                            {"date", f.date},
                            {"store", store_name(f.store)},
                            {"reason", f.reason},
                            {"path", path == paths.end() ? json(nullptr) : json(path->second)}});
    }
    json counts = json::object();
    const auto found = report.counts();
    for (const Kind kind : ALL_KINDS) counts[kind_name(kind)] = found.count(kind) ? found.at(kind) : 0;
    json skipped = json::array();
    for (const auto& s : report.skipped)
        skipped.push_back(
            {{"store", store_name(s.store)}, {"instrument", s.instrument}, {"path", s.path}, {"reason", s.reason}});
    const json document = {{"root", report.root},
                           {"files", {{"minbar", report.minbar_files}, {"tick", report.tick_files}}},
                           {"days", {{"minbar", report.minbar_days}, {"tick", report.tick_days}}},
                           {"counts", counts},
                           {"findings", findings},
                           {"skipped", skipped},
                           {"clean", report.clean()}};
    return document.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace tarnwick::bundle::audit
