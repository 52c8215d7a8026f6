// The coverage page. Instruments run down, months across; each cell is one instrument (or a
// band of neighbouring instruments, when there are too many to draw one row each) in one
// month, split into stacked shares of what its trading days are: held (green), suspended
// (purple), missing (red), not yet fetched (amber), so that one missing day does not hide
// twenty held ones, nor the reverse. Runs of fully held months are drawn as one rectangle, and
// the band size is chosen so that the page stays small.
#include <algorithm>
#include <map>
#include <vector>

#include <fmt/format.h>

#include "tarnwick/bundle/status/text.hpp"
#include "tarnwick/bundle/status/views.hpp"

namespace tarnwick::bundle::status {
namespace {

constexpr std::size_t MAX_SHAPES = 40000;  // about 5 MB of SVG at worst
constexpr std::size_t MAX_ROWS = 1000;     // beyond that, bands of instruments are easier to scan
constexpr int LABEL_WIDTH = 190;
constexpr int GROUP_GAP = 22;

// Text for the page: printable (valid UTF-8, control characters escaped), then HTML-escaped.
std::string escaped(const std::string& raw) {
    const std::string text = printable(raw);
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

int month_number(int yyyymm) { return yyyymm / 100 * 12 + yyyymm % 100 - 1; }
std::string month_text(int number) { return fmt::format("{:04}-{:02}", number / 12, number % 12 + 1); }

struct Cell {
    int held = 0, missing = 0, suspended = 0, behind = 0;
    int marked = 0;     // days with findings of the content audit
    std::string marks;  // those days and what was found, for the title
    int days() const { return held + missing + suspended + behind; }
    bool drawn() const { return days() > 0; }
    bool full() const { return held > 0 && missing == 0 && suspended == 0 && behind == 0 && marked == 0; }
    void add(const MonthCoverage& m) {
        held += m.held;
        missing += m.missing;
        suspended += m.suspended;
        behind += m.behind;
    }
};

struct Row {
    std::string label;
    std::string title;
    bool trouble = false;  // unreadable, held, missing store file, leftovers
    std::vector<Cell> cells;
};

struct Group {
    std::string name;
    std::vector<const FileStatus*> files;
    std::vector<Row> rows;
};

Row band_row(const std::vector<const FileStatus*>& files, std::size_t from, std::size_t to, int first_month,
             std::size_t columns, const DayMarks& marks) {
    Row row;
    row.cells.resize(columns);
    for (std::size_t k = from; k < to; ++k) {
        const FileStatus& f = *files[k];
        for (const auto& m : f.months) {
            const int col = month_number(m.month) - first_month;
            if (col >= 0 && static_cast<std::size_t>(col) < columns) row.cells[col].add(m);
        }
        if (const auto found = marks.find(f.path); found != marks.end())
            for (const auto& [day, what] : found->second) {
                const int col = month_number(day / 100) - first_month;
                if (col < 0 || static_cast<std::size_t>(col) >= columns) continue;
                Cell& cell = row.cells[col];
                if (cell.marked++ < 5) cell.marks += fmt::format("; {} {}: {}", f.instrument, day_text(day), what);
            }
        if (!f.readable() || !f.leftovers.empty()) row.trouble = true;
    }
    if (to - from == 1) {
        const FileStatus& f = *files[from];
        row.label = f.instrument;
        row.title = f.instrument;
        const std::string issues = describe(f);
        if (!issues.empty()) row.title += ": " + issues;
    } else {
        row.label = fmt::format("{} … {}", files[from]->instrument, files[to - 1]->instrument);
        row.title =
            fmt::format("{} instruments from {} to {}", to - from, files[from]->instrument, files[to - 1]->instrument);
    }
    return row;
}

// One stacked share of a cell: a kind of day and its colour.
struct Share {
    int days;
    const char* colour;
};

std::vector<Share> shares_of(const Cell& cell) {
    std::vector<Share> shares;
    for (const Share share : {Share{cell.held, "#238b45"}, Share{cell.suspended, "#8c6bb1"},
                              Share{cell.missing, "#d7301f"}, Share{cell.behind, "#fdae61"}})
        if (share.days > 0) shares.push_back(share);
    return shares;
}

// The widths of a cell's shares, in proportion to their days, but none narrower than `least`
// (what it lacks is taken from the widest), so that a single day stays visible.
std::vector<double> share_widths(const std::vector<Share>& shares, int days, double width) {
    std::vector<double> widths;
    for (const auto& share : shares) widths.push_back(width * share.days / days);
    const double least = std::min(2.0, width / static_cast<double>(shares.size()));
    for (double& w : widths) {
        if (w >= least) continue;
        *std::max_element(widths.begin(), widths.end()) -= least - w;
        w = least;
    }
    return widths;
}

// Rectangles one row needs: one per share of each cell; with `merge`, runs of full months share
// one.
std::size_t shapes_of(const Row& row, bool merge) {
    std::size_t shapes = 1;  // the label
    for (std::size_t c = 0; c < row.cells.size(); ++c) {
        if (!row.cells[c].drawn()) continue;
        if (merge && row.cells[c].full() && c > 0 && row.cells[c - 1].full()) continue;
        shapes += shares_of(row.cells[c]).size();
    }
    return shapes;
}

std::vector<Row> rows_of(const std::vector<const FileStatus*>& files, std::size_t band, int first_month,
                         std::size_t columns, const DayMarks& marks) {
    std::vector<Row> rows;
    for (std::size_t from = 0; from < files.size(); from += band)
        rows.push_back(band_row(files, from, std::min(files.size(), from + band), first_month, columns, marks));
    return rows;
}

std::string cell_title(const Row& row, const Cell& cell, int from, int to) {
    std::string when = from == to ? month_text(from) : month_text(from) + " to " + month_text(to);
    std::string text =
        fmt::format("{}, {}: {} trading day{} held", row.label, when, cell.held, cell.held == 1 ? "" : "s");
    if (cell.missing) text += fmt::format(", {} missing", cell.missing);
    if (cell.suspended) text += fmt::format(", {} suspended", cell.suspended);
    if (cell.behind) text += fmt::format(", {} not yet fetched", cell.behind);
    if (cell.marked)
        text += fmt::format(", {} day{} with findings{}{}", cell.marked, cell.marked == 1 ? "" : "s", cell.marks,
                            cell.marked > 5 ? "; ..." : "");
    return text;
}

std::string summary_table(const BundleStatus& s) {
    std::string html =
        "<table><thead><tr><th>kind</th><th>group</th><th>files</th><th>size</th><th>rows</th><th>current</th>"
        "<th>stale</th><th>incomplete</th><th>unreadable</th><th>held</th><th>leftovers</th><th>absent</th></tr>"
        "</thead><tbody>\n";
    for (const auto& g : s.groups)
        html += fmt::format(
            "<tr><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td>"
            "<td>{}</td><td>{}</td><td>{}</td></tr>\n",
            kind_name(g.kind), escaped(g.group), g.files, size_text(g.bytes),
            g.kind == Kind::Minbar ? std::to_string(g.rows) : "-", g.current, g.stale, g.incomplete, g.unreadable,
            g.held, g.leftovers, g.absent);
    html += "</tbody></table>\n";
    return html;
}

std::string attention_list(const BundleStatus& s, bool findings) {
    constexpr std::size_t SHOWN = 200;
    std::string html;
    const std::vector<const FileStatus*> attention = needing_attention(s);
    const std::size_t count = attention.size();
    for (std::size_t k = 0; k < count && k < SHOWN; ++k) {
        const FileStatus& f = *attention[k];
        html += fmt::format("<li><b>{} {}/{}</b> {}</li>\n", kind_name(f.kind), escaped(f.group), escaped(f.instrument),
                            escaped(describe(f)));
    }
    // Current and complete files may still hold days the audit found fault with: then the page
    // says both, and nothing in green.
    if (count == 0)
        return findings ? "<p>Every file is current and complete, but the content audit has findings (below).</p>\n"
                        : "<p class=\"good\">Everything is current and complete.</p>\n";
    std::string head = fmt::format("<h2>{} file{} need{} attention</h2>\n<ul id=\"attention\">\n", count,
                                   count == 1 ? "" : "s", count == 1 ? "s" : "");
    if (count > SHOWN) html += fmt::format("<li>… and {} more (see <code>status --all</code>)</li>\n", count - SHOWN);
    return head + html + "</ul>\n";
}

// The days with findings, by file, beside the chart.
std::string marked_list(const BundleStatus& s, const DayMarks& marks) {
    constexpr std::size_t SHOWN = 200;
    std::size_t count = 0;
    std::string html;
    for (const auto& f : s.files) {
        const auto found = marks.find(f.path);
        if (found == marks.end()) continue;
        for (const auto& [day, what] : found->second)
            if (count++ < SHOWN)
                html += fmt::format("<li><b>{} {}/{} {}</b> {}</li>\n", kind_name(f.kind), escaped(f.group),
                                    escaped(f.instrument), day_text(day), escaped(what));
    }
    if (count == 0) return {};
    if (count > SHOWN) html += fmt::format("<li>… and {} more (see <code>check content</code>)</li>\n", count - SHOWN);
    return fmt::format("<h2>{} day{} with content findings</h2>\n<ul id=\"findings\">\n", count,
                       count == 1 ? "" : "s") +
           html + "</ul>\n";
}

}  // namespace

std::string html_view(const BundleStatus& s) { return html_view(s, {}); }

std::string html_view(const BundleStatus& s, const DayMarks& marks) {
    // The months across: from the earliest day any file holds to the day updates reach.
    int first_month = 0, last_month = -1;
    for (const auto& f : s.files)
        for (const auto& m : f.months) {
            const int n = month_number(m.month);
            first_month = last_month < 0 ? n : std::min(first_month, n);
            last_month = std::max(last_month, n);
        }
    const std::size_t columns = last_month < 0 ? 0 : static_cast<std::size_t>(last_month - first_month + 1);

    std::vector<Group> groups;
    std::map<std::pair<Kind, std::string>, std::size_t> group_at;
    for (const auto& f : s.files) {
        const auto key = std::pair{f.kind, f.group};
        if (!group_at.count(key)) {
            group_at[key] = groups.size();
            groups.push_back(Group{std::string(kind_name(f.kind)) + " " + f.group, {}, {}});
        }
        groups[group_at[key]].files.push_back(&f);
    }

    // One cell per instrument and month when that fits the budget; otherwise runs of fully held
    // months drawn as one, and then the smallest band of instruments per row that fits.
    std::size_t band = 1;
    bool merge = false;
    std::size_t most = 0;
    for (const auto& g : groups) most = std::max(most, g.files.size());
    for (;; band *= 2) {
        std::size_t rows = 0;
        for (auto& g : groups) {
            g.rows = rows_of(g.files, band, first_month, columns, marks);
            rows += g.rows.size();
        }
        if (rows > MAX_ROWS && band < most) continue;
        const auto shapes = [&](bool merged) {
            std::size_t n = 0;
            for (const auto& g : groups)
                for (const auto& row : g.rows) n += shapes_of(row, merged);
            return n;
        };
        if (band == 1 && shapes(false) <= MAX_SHAPES) break;
        merge = true;
        if (shapes(true) <= MAX_SHAPES || band >= most) break;
    }

    std::size_t total_rows = 0;
    for (const auto& g : groups) total_rows += g.rows.size();
    const int row_height = total_rows <= 200 ? 12 : total_rows <= 800 ? 7 : 4;
    const int cell_width = columns <= 60 ? 14 : columns <= 150 ? 8 : 5;
    const bool labelled = row_height >= 7;
    const int top = 36;
    int height = top;
    for (const auto& g : groups) height += GROUP_GAP + static_cast<int>(g.rows.size()) * row_height;
    const int width = LABEL_WIDTH + static_cast<int>(columns) * cell_width + 10;

    std::string svg = fmt::format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"coverage\" width=\"{}\" height=\"{}\" "
        "font-family=\"sans-serif\" font-size=\"{}\">\n<title>coverage: instruments down, months across</title>\n",
        width, height + 4, labelled ? std::min(row_height - 1, 11) : 10);
    // Year marks across the top.
    for (std::size_t c = 0; c < columns; ++c) {
        const int month = first_month + static_cast<int>(c);
        // The years above; with few months, each month's number below them.
        const bool each = columns <= 36;
        const bool year_starts = month % 12 == 0 || c == 0;
        if (!each && !year_starts) continue;
        const int x = LABEL_WIDTH + static_cast<int>(c) * cell_width;
        svg += fmt::format("<line x1=\"{0}\" y1=\"{1}\" x2=\"{0}\" y2=\"{2}\" stroke=\"#ddd\"/>", x,
                           year_starts ? top - 24 : top - 12, height);
        if (year_starts)
            svg += fmt::format("<text x=\"{}\" y=\"{}\" font-size=\"10\">{}</text>", x + 1, top - 16, month / 12);
        if (each)
            svg += fmt::format("<text x=\"{}\" y=\"{}\" font-size=\"9\">{:02}</text>", x + 1, top - 4, month % 12 + 1);
        svg += '\n';
    }
    int y = top;
    for (const auto& g : groups) {
        y += GROUP_GAP;
        svg += fmt::format(
            "<g class=\"group\" data-group=\"{0}\"><line x1=\"0\" y1=\"{1}\" x2=\"{2}\" y2=\"{1}\" stroke=\"#888\"/>"
            "<text x=\"2\" y=\"{3}\" font-size=\"12\" font-weight=\"bold\">{0} ({4} file{5})</text>\n",
            escaped(g.name), y - GROUP_GAP + 4, width, y - 5, g.files.size(), g.files.size() == 1 ? "" : "s");
        for (const auto& row : g.rows) {
            svg += fmt::format("<g class=\"row\" data-label=\"{}\">", escaped(row.label));
            if (labelled || row.trouble)
                svg += fmt::format("<text x=\"2\" y=\"{}\"{}><title>{}</title>{}{}</text>", y + row_height - 2,
                                   row.trouble ? " fill=\"#b30000\"" : "", escaped(row.title),
                                   labelled ? escaped(row.label) : "", row.trouble ? " ⚠" : "");
            for (std::size_t c = 0; c < columns; ++c) {
                const Cell& cell = row.cells[c];
                if (!cell.drawn()) continue;
                std::size_t end = c + 1;
                Cell run = cell;
                if (merge && cell.full())
                    for (; end < columns && row.cells[end].full(); ++end) run.held += row.cells[end].held;
                // Every share carries the cell's title, so that hovering any part names them all.
                const std::string title = escaped(
                    cell_title(row, run, first_month + static_cast<int>(c), first_month + static_cast<int>(end) - 1));
                const std::vector<Share> shares = shares_of(run);
                const std::vector<double> widths =
                    share_widths(shares, run.days(), static_cast<int>(end - c) * cell_width - 1);
                double x = LABEL_WIDTH + static_cast<int>(c) * cell_width;
                for (std::size_t k = 0; k < shares.size(); ++k) {
                    svg += fmt::format(
                        "<rect x=\"{:.2f}\" y=\"{}\" width=\"{:.2f}\" height=\"{}\" "
                        "fill=\"{}\"><title>{}</title></rect>",
                        x, y, widths[k], row_height - 1, shares[k].colour, title);
                    x += widths[k];
                }
                if (cell.marked)
                    svg += fmt::format(
                        "<rect class=\"finding\" x=\"{:.2f}\" y=\"{:.2f}\" width=\"{}\" height=\"{}\" fill=\"none\" "
                        "stroke=\"#000\" stroke-width=\"1.5\"><title>{}</title></rect>",
                        LABEL_WIDTH + static_cast<int>(c) * cell_width + 0.75, y + 0.75, cell_width - 2.5,
                        row_height - 2.5, title);
                c = end - 1;
            }
            svg += "</g>\n";
            y += row_height;
        }
        svg += "</g>\n";
    }
    svg += "</svg>\n";

    std::string head = fmt::format("Bundle {}: updates fetch through {}", escaped(s.bundle_dir), day_text(s.end_date));
    if (s.target_date) head += fmt::format(" (latest trading day {})", day_text(*s.target_date));
    std::string banding =
        band > 1
            ? fmt::format("<p>Each row is a band of up to {} neighbouring instruments; hover for details.</p>", band)
            : std::string("<p>Hover a cell for the instrument and its days.</p>");
    std::string problems;
    for (const auto& p : s.problems) problems += "<p class=\"bad\">" + escaped(p) + "</p>\n";

    return fmt::format(
        R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>tarnwick-bundle status</title>
<style>
body {{ font-family: sans-serif; margin: 12px; color: #222; }}
h1 {{ font-size: 18px; }} h2 {{ font-size: 16px; }}
#layout {{ display: flex; flex-wrap: wrap; gap: 24px; align-items: flex-start; }}
#chart {{ overflow: auto; max-height: 92vh; max-width: 100%; border: 1px solid #ccc; flex: 0 1 auto; }}
#side {{ flex: 1 1 30em; min-width: 0; max-width: 56em; overflow-x: auto; }}
table {{ border-collapse: collapse; font-size: 13px; }}
th, td {{ border: 1px solid #ccc; padding: 2px 5px; text-align: right; white-space: nowrap; }}
td:nth-child(-n+2), th:nth-child(-n+2) {{ text-align: left; }}
.key span {{ display: inline-block; width: 12px; height: 12px; margin: 0 4px 0 10px; vertical-align: middle; }}
.bad {{ color: #b30000; }} .good {{ color: #238b45; }}
li {{ font-size: 13px; }}
</style></head><body>
<h1>{}</h1>
{}<p class="key">Each cell is split by the shares of the month's trading days:<span style="background:#238b45"></span>held<span style="background:#8c6bb1"></span>suspended<span style="background:#d7301f"></span>missing<span style="background:#fdae61"></span>not yet fetched (stale){}</p>
{}
<div id="layout"><div id="chart">
{}</div>
<div id="side"><h2>Summary</h2>
{}{}{}</div></div>
</body></html>
)",
        head, problems,
        marks.empty() ? "" : "<span style=\"border:1.5px solid #000\"></span>a day with content findings", banding, svg,
        summary_table(s), attention_list(s, !marks.empty()), marked_list(s, marks));
}

}  // namespace tarnwick::bundle::status
