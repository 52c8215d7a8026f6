#include "tarnwick/bundle/drivers/refetch.hpp"

#include <fmt/format.h>

#include "tarnwick/bundle/drivers/per_instrument.hpp"
#include "tarnwick/bundle/drivers/update_failure.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/interrupt.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/layout/h5_mode.hpp"

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

RefetchOutcome refetch_file(const std::string& h5_file, const std::string& order_book_id,
                            const std::function<RefetchOutcome(h5::File&)>& replace) {
    RefetchOutcome out;
    h5::File file;
    try {
        host::throw_if_interrupted();
        file = layout::open_h5(h5_file, layout::get_h5_mode(h5_file));
        out = replace(file);
        file.close();
    } catch (...) {
        if (file.valid()) file.abandon();
        if (host::is_interruption(std::current_exception())) throw;
        report_update_failure(h5_file, std::current_exception(), host::sval());
        return out;
    }
    host::print_line(refetch_line(order_book_id, out));
    return out;
}

}  // namespace tarnwick::bundle::drivers
