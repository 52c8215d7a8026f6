#pragma once
// The market-data service client as the module uses it.
//
// Every operation the module calls is a virtual function here; the simulated market
// (simulated_market.hpp) is the default implementation and tests install a scripted one
// (scripted_client.hpp). Result shapes are the service's: "none" (std::nullopt) is distinct
// from an empty table, and an instrument look-up gives none, one record or a list.
//
// Errors: PermissionDenied (errors.hpp) when the account may not see the data; network and
// operating-system failures as tarnwick::bundle::OsError.
//
// Thread-safety: a client is used by one thread of one process at a time. Worker processes
// inherit the current client through fork().
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/instrument_type.hpp"
#include "tarnwick/bundle/service/errors.hpp"

namespace tarnwick::bundle::service {

using host::DateTime;
using host::InstrumentType;

// One row of an instrument listing. Columns a listing does not carry stay empty.
struct ListingRow {
    std::string order_book_id;
    InstrumentType type;
    std::string underlying_symbol;         // futures
    std::string underlying_order_book_id;  // futures and options
    std::string exchange;                  // e.g. "XSHE", "XSHG", "BJSE", "XHKG"
};
using Listing = std::vector<ListingRow>;

// One instrument record.
struct Instrument {
    std::string order_book_id;
    InstrumentType type;
    std::string exchange;
    std::string listed_date;     // "YYYY-MM-DD"
    std::string de_listed_date;  // "YYYY-MM-DD"; "0000-00-00" while listed
    std::string stock_code;      // convertibles: the underlying stock
    std::string symbol;
};

// none / one record / a list (possibly empty).
struct InstrumentLookup {
    std::variant<std::monostate, Instrument, std::vector<Instrument>> value;

    bool is_none() const { return std::holds_alternative<std::monostate>(value); }
    const Instrument* single() const { return std::get_if<Instrument>(&value); }
    const std::vector<Instrument>* list() const { return std::get_if<std::vector<Instrument>>(&value); }
};

// A price table: a two-level row key (instrument, time stamp) and named numeric columns.
// Columns are held by name so that "has no open_interest column" is representable.
struct Frame {
    std::vector<std::string> order_book_id;  // row key, level 0
    std::vector<DateTime> timestamp;         // row key, level 1
    std::map<std::string, std::vector<double>> columns;
    std::optional<std::vector<DateTime>> trading_date;  // present when the service sends it

    std::size_t rows() const { return timestamp.size(); }
    bool empty() const { return timestamp.empty(); }
    bool has(const std::string& name) const { return columns.count(name) != 0; }
    const std::vector<double>& column(const std::string& name) const;  // throws ValueError if missing
};

enum class Frequency { Day, Minute, Tick };

struct PriceQuery {
    std::string order_book_id;
    int start_date = 0;  // YYYYMMDD, inclusive
    int end_date = 0;    // YYYYMMDD, inclusive
    Frequency frequency = Frequency::Day;
    std::string adjust_type = "none";
    std::optional<std::string> market;  // "cn" / "hk"; absent when the caller passes none
};

// Suspension table: one row per day, the instrument's column as booleans.
struct SuspensionRow {
    int date = 0;  // YYYYMMDD
    bool suspended = false;
};
using SuspensionTable = std::vector<SuspensionRow>;

class Client {
public:
    virtual ~Client() = default;

    // (Re)initialises the client; afterwards the listings include Beijing Stock Exchange stocks
    // exactly when enable_bjse is true (what bjse_enabled() reports). Whether a query naming such
    // a stock is served with the setting off is the client's business: the simulated market
    // serves it.
    virtual void init(bool enable_bjse) = 0;
    virtual bool bjse_enabled() = 0;

    // Every instrument the service lists: order_book_id, type, exchange.
    virtual Listing all_instruments() = 0;
    // Options (order_book_id, underlying_order_book_id), futures (+ underlying_symbol),
    // convertibles (order_book_id), or "CS" (stocks).
    virtual Listing all_instruments(const InstrumentType& type) = 0;
    // all_instruments("CS", market="hk").
    virtual Listing all_instruments_hk(const InstrumentType& type) = 0;
    // all_instruments(type=..., date=...): listing with exchange, as of that date.
    virtual Listing all_instruments_on(const InstrumentType& type, DateTime date) = 0;

    // instruments(order_book_id[, market=...]).
    virtual InstrumentLookup instruments(const std::string& order_book_id,
                                         const std::optional<std::string>& market) = 0;
    // convertible.instruments(ids).
    virtual InstrumentLookup convertible_instruments(const std::vector<std::string>& order_book_ids) = 0;

    virtual std::optional<Frame> get_price(const PriceQuery& query) = 0;
    // get_price(order_book_id) alone: the permission probe; only whether it throws matters.
    virtual void probe_price(const std::string& order_book_id) = 0;

    // The next trading day after `date` (YYYYMMDD).
    virtual int get_next_trading_date(int date, const std::string& market) = 0;
    virtual SuspensionTable is_suspended(const std::string& order_book_id, int start_date, int end_date) = 0;

    // The trading calendar between two dates, inclusive (used by the host's day-bar update).
    virtual std::vector<int> get_trading_dates(int start_date, int end_date) = 0;
};

// The process-wide current client, as the real client library keeps one. The simulated market
// is created on first use unless a client has been installed.
Client& current();
// Installs `client` as the current one and returns the previous one (may be null).
std::unique_ptr<Client> install(std::unique_ptr<Client> client);

}  // namespace tarnwick::bundle::service
