#pragma once
// A service client for the benchmarks: the minute bars of one instrument, fetched once from
// another client (the simulated market) before any timing, then served from memory, so that a
// measurement of _append_h5 does not include the market's own generation of the bars. Every
// other call goes to the wrapped client.
#include <array>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/service/client.hpp"

namespace tarnwick::bundle::bench {

namespace tb = tarnwick::bundle;

class CachedMarket : public tb::service::Client {
public:
    CachedMarket(std::unique_ptr<tb::service::Client> market, const std::string& id, int first_date, int last_date)
        : market_(std::move(market)), id_(id) {
        tb::service::PriceQuery query;
        query.order_book_id = id;
        query.start_date = first_date;
        query.end_date = last_date;
        query.frequency = tb::service::Frequency::Minute;
        query.market = "cn";
        const std::optional<tb::service::Frame> frame = market_->get_price(query);
        if (!frame) throw std::runtime_error("the simulated market has no minute bars of " + id);
        for (std::size_t r = 0; r < frame->rows(); ++r) {
            Day& day = days_[tb::host::date_to_number(frame->timestamp[r])];
            day.timestamp.push_back(frame->timestamp[r]);
            for (std::size_t c = 0; c < kColumns.size(); ++c) day.columns[c].push_back(frame->column(kColumns[c])[r]);
        }
    }

    std::size_t days() const { return days_.size(); }

    std::optional<tb::service::Frame> get_price(const tb::service::PriceQuery& query) override {
        if (query.order_book_id != id_ || query.frequency != tb::service::Frequency::Minute)
            return market_->get_price(query);
        tb::service::Frame frame;
        std::array<std::vector<double>*, 6> columns{};
        for (std::size_t c = 0; c < kColumns.size(); ++c) columns[c] = &frame.columns[kColumns[c]];
        for (auto it = days_.lower_bound(query.start_date); it != days_.end() && it->first <= query.end_date; ++it) {
            const Day& day = it->second;
            frame.timestamp.insert(frame.timestamp.end(), day.timestamp.begin(), day.timestamp.end());
            for (std::size_t c = 0; c < kColumns.size(); ++c)
                columns[c]->insert(columns[c]->end(), day.columns[c].begin(), day.columns[c].end());
        }
        if (frame.empty()) return std::nullopt;
        frame.order_book_id.assign(frame.rows(), id_);
        return frame;
    }

    void init(bool enable_bjse) override { market_->init(enable_bjse); }
    bool bjse_enabled() override { return market_->bjse_enabled(); }
    tb::service::Listing all_instruments() override { return market_->all_instruments(); }
    tb::service::Listing all_instruments(const tb::service::InstrumentType& type) override {
        return market_->all_instruments(type);
    }
    tb::service::Listing all_instruments_hk(const tb::service::InstrumentType& type) override {
        return market_->all_instruments_hk(type);
    }
    tb::service::Listing all_instruments_on(const tb::service::InstrumentType& type,
                                            tb::service::DateTime date) override {
        return market_->all_instruments_on(type, date);
    }
    tb::service::InstrumentLookup instruments(const std::string& order_book_id,
                                              const std::optional<std::string>& market) override {
        return market_->instruments(order_book_id, market);
    }
    tb::service::InstrumentLookup convertible_instruments(const std::vector<std::string>& ids) override {
        return market_->convertible_instruments(ids);
    }
    void probe_price(const std::string& order_book_id) override { market_->probe_price(order_book_id); }
    int get_next_trading_date(int date, const std::string& market) override {
        return market_->get_next_trading_date(date, market);
    }
    tb::service::SuspensionTable is_suspended(const std::string& id, int start_date, int end_date) override {
        return market_->is_suspended(id, start_date, end_date);
    }
    std::vector<int> get_trading_dates(int start_date, int end_date) override {
        return market_->get_trading_dates(start_date, end_date);
    }

private:
    static constexpr std::array<const char*, 6> kColumns{"open", "high", "low", "close", "volume", "total_turnover"};
    struct Day {
        std::vector<tb::service::DateTime> timestamp;
        std::array<std::vector<double>, 6> columns;
    };
    std::unique_ptr<tb::service::Client> market_;
    std::string id_;
    std::map<int, Day> days_;
};

}  // namespace tarnwick::bundle::bench
