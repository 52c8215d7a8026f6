#pragma once
// The ways of showing a bundle's status: a terminal text, one JSON document, one HTML page.
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "tarnwick/bundle/status/status.hpp"

namespace tarnwick::bundle::status {

// The summary per group first, then the files that need attention, worst first, each on one
// line; at most `max_lines` lines in all (0: no limit), with a closing line saying how many were
// left out. Names are shown printable() (status/text.hpp).
std::string text_view(const BundleStatus& status, std::size_t max_lines);

// The files that need attention, worst first: absent (named by the recorded selection, no store
// file), unreadable, leftovers of a killed update, incomplete, held by another process, stale; in
// path order within each.
std::vector<const FileStatus*> needing_attention(const BundleStatus& status);

// One line saying what needs doing about a file ("stale: last day 2026-12-01, 4 trading days
// behind; leftover journal ...").
std::string describe(const FileStatus& file);

// One JSON document; its schema is in the README ("status --json"). Names stay exact: a byte
// that is not UTF-8 is written as the escape \udc80..\udcff, the surrogateescape form that
// Python's os.fsdecode() gives and os.fsencode() turns back into the byte.
std::string json_view(const BundleStatus& status);

// One self-contained HTML page: the coverage chart (inline SVG) and the summary table.
std::string html_view(const BundleStatus& status);

// Days to mark on the coverage page: store file path -> day YYYYMMDD -> what was found that day
// (the content audit's findings). A month cell holding such a day gets a dark frame, its title
// names the days, and the page lists them.
using DayMarks = std::map<std::string, std::map<int, std::string>>;
std::string html_view(const BundleStatus& status, const DayMarks& marks);

// "2026-12-07" for 20261207.
std::string day_text(int yyyymmdd);
// "1.5 MB".
std::string size_text(std::uint64_t bytes);

}  // namespace tarnwick::bundle::status
