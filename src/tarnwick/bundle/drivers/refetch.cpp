#include "tarnwick/bundle/drivers/refetch.hpp"

#include <fmt/format.h>

#include "tarnwick/bundle/drivers/per_instrument.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/clock.hpp"

namespace tarnwick::bundle::drivers {
namespace {

int parse_day(std::string text, const std::string& whole) {
    if (text.size() == 10 && text[4] == '-' && text[7] == '-')
        text = text.substr(0, 4) + text.substr(5, 2) + text.substr(8);
    if (text.size() != 8 || text.find_first_not_of("0123456789") != std::string::npos)
        throw ValueError(
            fmt::format("the range to refetch must be START[:END] with days as YYYYMMDD or YYYY-MM-DD, "
                        "got \"{}\"",
                        whole));
    const int day = std::stoi(text);
    const int month = day / 100 % 100, dom = day % 100;
    if (month < 1 || month > 12 || dom < 1 || dom > 31)
        throw ValueError(fmt::format("\"{}\" in the range to refetch is not a date", text));
    return day;
}

}  // namespace

DayRange parse_day_range(const std::string& text) {
    const std::size_t colon = text.find(':');
    DayRange range;
    range.first = parse_day(text.substr(0, colon), text);
    if (colon == std::string::npos)
        range.last = range.first;
    else if (colon + 1 == text.size())
        range.last = 99991231;  // clipped to the last stored day
    else
        range.last = parse_day(text.substr(colon + 1), text);
    if (range.last < range.first)
        throw ValueError(fmt::format("the range to refetch \"{}\" ends before it starts", text));
    return range;
}

std::string refetch_line(const std::string& order_book_id, const RefetchOutcome& o) {
    if (o.first == 0) return fmt::format("{}: {}", order_book_id, o.note);
    std::string line = fmt::format("{}: {} day{} replaced (different), {} identical, {} added", order_book_id,
                                   o.replaced, o.replaced == 1 ? "" : "s", o.identical, o.added);
    if (o.dropped) line += fmt::format(", {} dropped (no longer served)", o.dropped);
    if (o.kept_missing)
        line += fmt::format(", {} kept (no longer served; --drop-missing removes them)", o.kept_missing);
    return line + fmt::format(" ({}..{})", host::hyphenated(o.first), host::hyphenated(o.last));
}

bool refetch_each_instrument(const std::string& path, const std::vector<std::string>& ids, int concurrency,
                             const std::string& announcement, const std::string& description,
                             void (*task)(const std::string&, const std::string&, DayRange, bool), DayRange range,
                             bool drop_missing) {
    PerInstrumentRun run;
    run.announcement = announcement;
    run.description = description;
    run.task = [task, path, range, drop_missing](const std::string& id) { task(id, path, range, drop_missing); };
    return update_each_instrument(path, ids, false, concurrency, false, run);
}

}  // namespace tarnwick::bundle::drivers
