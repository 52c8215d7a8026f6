#include "tarnwick/bundle/service/scripted_client.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"

namespace tarnwick::bundle::service {
namespace {

constexpr std::array<const char*, 10> kOperations = {
    "init",      "bjse_enabled", "all_instruments",       "instruments",  "convertible_instruments",
    "get_price", "probe_price",  "get_next_trading_date", "is_suspended", "get_trading_dates",
};

std::string date_text(DateTime t) { return host::hyphenated(host::date_to_number(t)); }

// A plain weekday calendar: enough for tests that do not care about holidays.
bool weekday_date(int yyyymmdd) {
    const int wd = host::weekday(yyyymmdd);
    return wd != 0 && wd != 6;
}

}  // namespace

const char* frequency_name(Frequency frequency) {
    switch (frequency) {
        case Frequency::Day:
            return "1d";
        case Frequency::Minute:
            return "1m";
        case Frequency::Tick:
            return "tick";
    }
    return "?";
}

void ScriptedClient::fail(const std::string& operation, std::exception_ptr error, int skip) {
    if (std::find_if(kOperations.begin(), kOperations.end(), [&](const char* op) { return operation == op; }) ==
        kOperations.end())
        throw std::invalid_argument("ScriptedClient::fail: no operation named \"" + operation + "\"");
    if (!error) {
        failures_.erase(operation);
        return;
    }
    failures_[operation] = Failure{std::move(error), skip, 0};
}

std::size_t ScriptedClient::count(const std::string& operation) const {
    return static_cast<std::size_t>(
        std::count_if(calls.begin(), calls.end(), [&](const Call& c) { return c.operation == operation; }));
}

void ScriptedClient::enter(const std::string& operation, std::string args) {
    calls.push_back({operation, std::move(args)});
    const auto it = failures_.find(operation);
    if (it == failures_.end()) return;
    Failure& f = it->second;
    if (++f.seen > f.skip) std::rethrow_exception(f.error);
}

void ScriptedClient::init(bool enable_bjse) {
    enter("init", enable_bjse ? "enable_bjse=true" : "enable_bjse=false");
    bjse = enable_bjse;
    if (on_init) on_init(enable_bjse);
}

bool ScriptedClient::bjse_enabled() {
    enter("bjse_enabled", "");
    return on_bjse_enabled ? on_bjse_enabled() : bjse;
}

Listing ScriptedClient::all_instruments() {
    enter("all_instruments", "");
    return on_all_instruments ? on_all_instruments() : Listing{};
}

Listing ScriptedClient::all_instruments(const InstrumentType& type) {
    enter("all_instruments", type);
    return on_all_instruments_type ? on_all_instruments_type(type) : Listing{};
}

Listing ScriptedClient::all_instruments_hk(const InstrumentType& type) {
    enter("all_instruments", type + " market=hk");
    return on_all_instruments_hk ? on_all_instruments_hk(type) : Listing{};
}

Listing ScriptedClient::all_instruments_on(const InstrumentType& type, DateTime date) {
    enter("all_instruments", type + " date=" + date_text(date));
    return on_all_instruments_on ? on_all_instruments_on(type, date) : Listing{};
}

InstrumentLookup ScriptedClient::instruments(const std::string& order_book_id,
                                             const std::optional<std::string>& market) {
    enter("instruments", market ? order_book_id + " market=" + *market : order_book_id);
    return on_instruments ? on_instruments(order_book_id, market) : InstrumentLookup{};
}

InstrumentLookup ScriptedClient::convertible_instruments(const std::vector<std::string>& order_book_ids) {
    enter("convertible_instruments", fmt::format("{}", fmt::join(order_book_ids, ",")));
    return on_convertible_instruments ? on_convertible_instruments(order_book_ids) : InstrumentLookup{};
}

std::optional<Frame> ScriptedClient::get_price(const PriceQuery& q) {
    std::string args = fmt::format("{} start_date={} end_date={} frequency={} adjust_type={}", q.order_book_id,
                                   q.start_date, q.end_date, frequency_name(q.frequency), q.adjust_type);
    if (q.market) args += " market=" + *q.market;
    enter("get_price", std::move(args));
    return on_get_price ? on_get_price(q) : std::nullopt;
}

void ScriptedClient::probe_price(const std::string& order_book_id) {
    enter("probe_price", order_book_id);
    if (on_probe_price) on_probe_price(order_book_id);
}

int ScriptedClient::get_next_trading_date(int date, const std::string& market) {
    enter("get_next_trading_date", fmt::format("{} market={}", date, market));
    if (on_next_trading_date) return on_next_trading_date(date, market);
    int next = host::add_days(date, 1);
    while (!weekday_date(next)) next = host::add_days(next, 1);
    return next;
}

SuspensionTable ScriptedClient::is_suspended(const std::string& order_book_id, int start_date, int end_date) {
    enter("is_suspended", fmt::format("{} start_date={} end_date={}", order_book_id, start_date, end_date));
    return on_is_suspended ? on_is_suspended(order_book_id, start_date, end_date) : SuspensionTable{};
}

std::vector<int> ScriptedClient::get_trading_dates(int start_date, int end_date) {
    enter("get_trading_dates", fmt::format("start_date={} end_date={}", start_date, end_date));
    if (on_trading_dates) return on_trading_dates(start_date, end_date);
    std::vector<int> out;
    for (int d = start_date; d <= end_date; d = host::add_days(d, 1))
        if (weekday_date(d)) out.push_back(d);
    return out;
}

Frame make_frame(const std::string& id, std::vector<DateTime> times, std::map<std::string, std::vector<double>> columns,
                 std::optional<std::vector<DateTime>> trading_date) {
    for (const auto& [name, values] : columns)
        if (values.size() != times.size())
            throw ValueError(fmt::format("make_frame: column \"{}\" has {} values for {} time stamps", name,
                                         values.size(), times.size()));
    if (trading_date && trading_date->size() != times.size())
        throw ValueError(fmt::format("make_frame: trading_date has {} values for {} time stamps", trading_date->size(),
                                     times.size()));
    Frame frame;
    frame.order_book_id.assign(times.size(), id);
    frame.timestamp = std::move(times);
    frame.columns = std::move(columns);
    frame.trading_date = std::move(trading_date);
    return frame;
}

}  // namespace tarnwick::bundle::service
