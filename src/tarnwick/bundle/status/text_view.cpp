#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "tarnwick/bundle/status/text.hpp"
#include "tarnwick/bundle/status/views.hpp"

namespace tarnwick::bundle::status {
namespace {

// Rank of a file's worst trouble; 0 is the worst.
int severity(const FileStatus& f) {
    if (f.absent) return 0;  // asked for and not there at all
    if (f.unreadable) return 1;
    if (!f.leftovers.empty()) return 2;
    if (f.incomplete()) return 3;
    if (f.held) return 4;
    return 5;  // stale, or holding no day yet
}

std::string day_list(const std::vector<int>& days, std::size_t shown) {
    std::string text;
    for (std::size_t k = 0; k < days.size() && k < shown; ++k) text += (k ? ", " : "") + day_text(days[k]);
    if (days.size() > shown) text += fmt::format(", ... {} more", days.size() - shown);
    return text;
}

}  // namespace

std::string day_text(int d) { return fmt::format("{:04}-{:02}-{:02}", d / 10000, d / 100 % 100, d % 100); }

std::string size_text(std::uint64_t bytes) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    return unit == 0 ? fmt::format("{} B", bytes) : fmt::format("{:.1f} {}", value, units[unit]);
}

std::vector<const FileStatus*> needing_attention(const BundleStatus& s) {
    std::vector<const FileStatus*> files;
    for (const auto& f : s.files)
        if (f.needs_attention()) files.push_back(&f);
    std::stable_sort(files.begin(), files.end(),
                     [](const FileStatus* a, const FileStatus* b) { return severity(*a) < severity(*b); });
    return files;
}

std::string describe(const FileStatus& f) {
    std::vector<std::string> parts;
    if (f.absent)
        parts.push_back("absent: the recorded selection names it, no store file (update-existing ROOT --selection)");
    else if (!f.exists)
        parts.push_back("store file missing");
    // A file being updated is read as of its last commit; held without an update, a reader
    // (or a program of another kind) keeps it during a moment the status could not wait out.
    if (f.updating) parts.push_back("being updated by another process");
    if (f.held && !f.updating) parts.push_back("held by another process");
    if (f.unreadable) parts.push_back("unreadable: " + f.error);
    if (f.exists && !f.unreadable && !f.held && !f.first_date) parts.push_back("empty: holds no day yet");
    if (f.days_behind > 0)
        parts.push_back(fmt::format("stale: last day {}, {} trading day{} behind", day_text(*f.last_date),
                                    f.days_behind, f.days_behind == 1 ? "" : "s"));
    if (f.days_missing > 0)
        parts.push_back(fmt::format("incomplete: {} day{} missing ({})", f.days_missing, f.days_missing == 1 ? "" : "s",
                                    day_list(f.missing_dates, 3)));
    for (const auto& leftover : f.leftovers)
        parts.push_back(fmt::format("leftover {} {}", leftover_kind_name(leftover.kind), leftover.name));
    std::string text;
    for (const auto& part : parts) text += (text.empty() ? "" : "; ") + part;
    return text;
}

std::string text_view(const BundleStatus& s, std::size_t max_lines) {
    std::vector<std::string> lines;
    std::string head = fmt::format("bundle {}: updates fetch through {}", s.bundle_dir, day_text(s.end_date));
    if (s.target_date) head += fmt::format(" (latest trading day {})", day_text(*s.target_date));
    lines.push_back(head);
    lines.push_back(fmt::format("{:<7} {:<9} {:>6} {:>9} {:>11} {:>7} {:>5} {:>10} {:>10} {:>4} {:>9} {:>6}", "kind",
                                "group", "files", "size", "rows", "current", "stale", "incomplete", "unreadable",
                                "held", "leftovers", "absent"));
    GroupSummary total;
    for (const auto& g : s.groups) {
        lines.push_back(fmt::format("{:<7} {:<9} {:>6} {:>9} {:>11} {:>7} {:>5} {:>10} {:>10} {:>4} {:>9} {:>6}",
                                    kind_name(g.kind), g.group, g.files, size_text(g.bytes),
                                    g.kind == Kind::Minbar ? std::to_string(g.rows) : "-", g.current, g.stale,
                                    g.incomplete, g.unreadable, g.held, g.leftovers, g.absent));
        total.files += g.files;
        total.bytes += g.bytes;
        total.current += g.current;
        total.stale += g.stale;
        total.incomplete += g.incomplete;
        total.unreadable += g.unreadable;
        total.held += g.held;
        total.leftovers += g.leftovers;
        total.absent += g.absent;
    }
    if (s.groups.empty())
        lines.push_back("(no minute-bar or tick store files)");
    else
        lines.push_back(fmt::format("{:<17} {:>6} {:>9} {:>11} {:>7} {:>5} {:>10} {:>10} {:>4} {:>9} {:>6}", "total",
                                    total.files, size_text(total.bytes), "", total.current, total.stale,
                                    total.incomplete, total.unreadable, total.held, total.leftovers, total.absent));
    for (const auto& problem : s.problems) lines.push_back("problem: " + problem);

    const std::vector<const FileStatus*> attention = needing_attention(s);
    if (attention.empty() && s.problems.empty()) {
        lines.push_back("everything is current and complete");
    } else if (!attention.empty()) {
        lines.push_back(fmt::format("{} file{} need{} attention:", attention.size(), attention.size() == 1 ? "" : "s",
                                    attention.size() == 1 ? "s" : ""));
        // Keep one line for the note on what was left out.
        const std::size_t room =
            max_lines == 0 ? attention.size() : (max_lines > lines.size() + 1 ? max_lines - lines.size() - 1 : 1);
        const std::size_t shown = attention.size() <= room + 1 ? attention.size() : room;
        for (std::size_t k = 0; k < shown; ++k) {
            const FileStatus& f = *attention[k];
            lines.push_back(fmt::format("  {} {}/{}  {}", kind_name(f.kind), f.group, f.instrument, describe(f)));
        }
        if (shown < attention.size())
            lines.push_back(fmt::format("  ... and {} more (--all lists every one, --json gives all details)",
                                        attention.size() - shown));
    }
    // Names come from the file system: shown printable, they cannot forge lines or steer the
    // terminal.
    std::string text;
    for (const auto& line : lines) text += printable(line) + '\n';
    return text;
}

}  // namespace tarnwick::bundle::status
