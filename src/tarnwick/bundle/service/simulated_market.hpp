#pragma once
// A self-contained stand-in for the market-data service.
//
// It serves a small, fixed universe (plus optionally thousands of generated A-share stocks) with
// prices computed from a hash of (seed, instrument, trading day, row). Nothing is carried from
// one day to the next, so a day's bars and ticks are the same whichever date range a query asks
// for: an update done in ten small steps writes exactly what one big update writes.
//
// Data appears with the clock (host::now()): trading day T's day bar, minute bars and ticks exist
// once now >= T 15:00:00. Futures and options trade a night session on the evening of the
// previous trading day; those rows carry trading_date T and appear together with T.
//
// Rows per trading day T:
//   minute bars  stocks, funds, indexes, REITs, convertibles, Hong Kong: 09:31-11:30, 13:01-15:00
//                (240). Futures and options: 21:01-23:00 on the previous trading day's evening,
//                09:01-10:15, 10:31-11:30, 13:31-15:00 (345), with open_interest and trading_date.
//   day bar      one row stamped at midnight of T; it agrees with T's minute bars in open, high,
//                low, close and volume.
//   ticks        from TARNWICK_SIM_TICK_FIRST_DATE: snapshots taken within the minute bars, 20 in
//                the minute that ends at each bar's time stamp (about every 3 s, millisecond
//                jitter), so over the bars' sessions; about one snapshot in 500 is preceded by a
//                second one with the same time stamp and another price. trading_date always;
//                open_interest only for futures and options.
//   agreement    the ticks of a bar's minute trade at its open first and its close last and reach
//                its high and its low; their cumulative volume and turnover (of the trading day)
//                grow by the bar's volume and turnover. So the day's last tick holds the bars'
//                total volume and turnover, and its high and low are the bars' highest and lowest.
//                Every price stays within the day's limit_down..limit_up.
// Days before an instrument's listing, after its delisting and while it is suspended have no
// rows; a query without rows answers none. The listings (all_instruments) show an instrument from
// its listing day on: IF2706 joins them on 2026-12-21. Queries naming one are served before that.
//
// Settings, read from the environment by the constructor (an empty value counts as unset; a
// malformed value throws ValueError naming the variable):
//   TARNWICK_SIM_SEED             unsigned integer mixed into every generated value (default 1).
//   TARNWICK_SIM_STOCKS           number of generated A-share stocks beyond the fixed universe
//                                 (default 0, at most 180000). They are named 6NNNNN.XSHG and
//                                 0NNNNN.XSHE alternately, starting at 610000.XSHG/010000.XSHE.
//   TARNWICK_SIM_FIRST_DATE       YYYYMMDD: the first day with any day or minute bars
//                                 (default 20260901).
//   TARNWICK_SIM_TICK_FIRST_DATE  YYYYMMDD: the first day with ticks (default 20261116).
//   TARNWICK_SIM_DENY             comma-separated order_book_ids, or "*" for every id, whose price
//                                 queries (get_price, probe_price) throw PermissionDenied.
//   TARNWICK_SIM_CORRECTIONS      a vendor's correction of past days: comma-separated entries
//                                 ID:YYYYMMDD or ID:YYYYMMDD-YYYYMMDD. On those days the instrument's
//                                 minute bars and ticks (and so its day bar's turnover) are served
//                                 revised: other prices within the day's unchanged open, high, low and
//                                 close and volume; no other day changes. Unset, the original data.
//
// Beijing Stock Exchange: its stocks appear in the listings only while the exchange is enabled
// (init(true)); queries that name one (instruments, prices, suspensions) are served either way.
//
// Trading calendar: weekdays except 1 January, a Spring-Festival week (the eve and the six days
// after it, from a table of the festival's date for 2005-2035; 1 February stands in outside that
// range), 1-5 May and 1-7 October. The same calendar serves "cn" and "hk".
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "tarnwick/bundle/service/client.hpp"

namespace tarnwick::bundle::service {

class SimulatedMarket : public Client {
public:
    struct Settings {
        std::uint64_t seed = 1;
        int extra_stocks = 0;
        int first_date = 20260901;
        int tick_first_date = 20261116;
        bool deny_all = false;
        std::set<std::string> deny;
        std::set<std::pair<std::string, int>> corrections;  // (order_book_id, YYYYMMDD) served corrected
    };

    // Parses the TARNWICK_SIM_* variables described above.
    static Settings settings_from_environment();

    SimulatedMarket();  // settings from the environment
    explicit SimulatedMarket(Settings settings);
    ~SimulatedMarket() override;
    SimulatedMarket(const SimulatedMarket&) = delete;
    SimulatedMarket& operator=(const SimulatedMarket&) = delete;

    const Settings& settings() const;

    // The calendar behind get_trading_dates(); exposed so tests can reason about it directly.
    static bool is_trading_day(int yyyymmdd);

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
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarnwick::bundle::service
