#pragma once
// A client for tests: every call is recorded, every answer comes from a handler the test sets,
// and any operation can be made to throw from its n-th call on.
//
// Without a handler an operation gives an empty answer: empty listings, "none" look-ups, no price
// table, no suspension rows; the calendar is plain weekdays.
#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tarnwick/bundle/service/client.hpp"

namespace tarnwick::bundle::service {

class ScriptedClient : public Client {
public:
    // args is a readable rendering of the arguments, e.g. "enable_bjse=true", "CS market=hk",
    // "000001.XSHE market=cn".
    struct Call {
        std::string operation;
        std::string args;
    };
    std::vector<Call> calls;  // every call, in order, including the ones that threw

    bool bjse = false;  // init() sets it; bjse_enabled() returns it unless on_bjse_enabled is set

    std::function<void(bool)> on_init;
    std::function<bool()> on_bjse_enabled;
    std::function<Listing()> on_all_instruments;
    std::function<Listing(const InstrumentType&)> on_all_instruments_type;
    std::function<Listing(const InstrumentType&)> on_all_instruments_hk;
    std::function<Listing(const InstrumentType&, DateTime)> on_all_instruments_on;
    std::function<InstrumentLookup(const std::string&, const std::optional<std::string>&)> on_instruments;
    std::function<InstrumentLookup(const std::vector<std::string>&)> on_convertible_instruments;
    std::function<std::optional<Frame>(const PriceQuery&)> on_get_price;
    std::function<void(const std::string&)> on_probe_price;
    std::function<int(int, const std::string&)> on_next_trading_date;
    std::function<SuspensionTable(const std::string&, int, int)> on_is_suspended;
    std::function<std::vector<int>(int, int)> on_trading_dates;

    // Makes `operation` throw `error` on its (skip+1)-th call and every call after, counting the
    // calls made from now on. Operation names are the method names: "init", "bjse_enabled",
    // "all_instruments" (all four overloads), "instruments", "convertible_instruments",
    // "get_price", "probe_price", "get_next_trading_date", "is_suspended", "get_trading_dates".
    // A null `error` removes the failure. An unknown name throws std::invalid_argument, so a typo
    // cannot silently leave a test without its failure.
    void fail(const std::string& operation, std::exception_ptr error, int skip = 0);
    std::size_t count(const std::string& operation) const;  // number of recorded calls

    void init(bool enable_bjse) override;
    bool bjse_enabled() override;
    Listing all_instruments() override;
    Listing all_instruments(const InstrumentType& type) override;
    Listing all_instruments_hk(const InstrumentType& type) override;
    Listing all_instruments_on(const InstrumentType& type, DateTime date) override;
    InstrumentLookup instruments(const std::string& order_book_id, const std::optional<std::string>& market) override;
    InstrumentLookup convertible_instruments(const std::vector<std::string>& order_book_ids) override;
    std::optional<Frame> get_price(const PriceQuery& query) override;
    void probe_price(const std::string& order_book_id) override;
    int get_next_trading_date(int date, const std::string& market) override;
    SuspensionTable is_suspended(const std::string& order_book_id, int start_date, int end_date) override;
    std::vector<int> get_trading_dates(int start_date, int end_date) override;

private:
    struct Failure {
        std::exception_ptr error;
        int skip = 0;
        int seen = 0;  // calls since fail() was set
    };
    std::map<std::string, Failure> failures_;

    // Records the call, then throws if a failure is due.
    void enter(const std::string& operation, std::string args);
};

// Builds a price table for one instrument; every column must have one value per time stamp
// (ValueError otherwise).
Frame make_frame(const std::string& id, std::vector<DateTime> times, std::map<std::string, std::vector<double>> columns,
                 std::optional<std::vector<DateTime>> trading_date = std::nullopt);

// "1d", "1m" or "tick", as the service names frequencies.
const char* frequency_name(Frequency frequency);

}  // namespace tarnwick::bundle::service
