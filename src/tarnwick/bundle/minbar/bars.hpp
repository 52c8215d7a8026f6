#pragma once
// Minute bars as the service sends them turned into the store's records: the conversion the
// update and the refetch share, so that a refetched day is byte for byte what an update stores.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/service/client.hpp"

namespace tarnwick::bundle::minbar {

using layout::DerivativeBar;
using layout::EquityBar;
using layout::IndexRecord;

// Field-by-field conversion of one service row into a bar record.
template <class Bar>
struct BarTraits;

template <>
struct BarTraits<EquityBar> {
    static h5::DataType file_type() { return layout::EQUITIES_DTYPE(); }
    static h5::DataType memory_type() { return layout::equity_bar_memory_type(); }
};
template <>
struct BarTraits<DerivativeBar> {
    static h5::DataType file_type() { return layout::DERIVATIVES_DTYPE(); }
    static h5::DataType memory_type() { return layout::derivative_bar_memory_type(); }
};

inline std::int64_t to_int64(double value) {
    // Values that are not numbers have no integer form; they are stored as 0.
    return std::isfinite(value) ? static_cast<std::int64_t>(std::llround(value)) : 0;
}

// Rows of the frame without those whose (instrument, time) key repeats an earlier row's.
inline std::vector<std::size_t> first_rows_of_each_key(const service::Frame& frame) {
    const std::size_t n = frame.rows();
    const auto id_at = [&](std::size_t r) -> std::string_view {
        return r < frame.order_book_id.size() ? std::string_view(frame.order_book_id[r]) : std::string_view{};
    };
    bool one_ascending_series = true;
    for (std::size_t r = 1; r < n && one_ascending_series; ++r)
        one_ascending_series = id_at(r) == id_at(0) && frame.timestamp[r - 1] < frame.timestamp[r];
    std::vector<std::size_t> rows;
    rows.reserve(n);
    if (one_ascending_series) {
        for (std::size_t r = 0; r < n; ++r) rows.push_back(r);
        return rows;
    }
    std::set<std::pair<std::string_view, host::DateTime>> seen;
    for (std::size_t r = 0; r < n; ++r)
        if (seen.emplace(id_at(r), frame.timestamp[r]).second) rows.push_back(r);
    return rows;
}

template <class Bar>
struct Batch {
    std::vector<IndexRecord> index;
    std::vector<Bar> data;
};

template <class Bar>
Batch<Bar> convert_bars(const service::Frame& frame) {
    const std::vector<std::size_t> rows = first_rows_of_each_key(frame);
    // The batch's distinct bar times, ascending; row k takes the k-th one.
    std::vector<host::DateTime> times;
    times.reserve(rows.size());
    for (std::size_t r : rows) times.push_back(frame.timestamp[r]);
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    if (times.size() != rows.size())
        throw ValueError(fmt::format("minute bars of {} rows carry {} distinct bar times", rows.size(), times.size()));

    const auto& open = frame.column("open");
    const auto& high = frame.column("high");
    const auto& low = frame.column("low");
    const auto& close = frame.column("close");
    const auto& volume = frame.column("volume");
    const auto& turnover = frame.column("total_turnover");
    const std::vector<double>* open_interest = nullptr;
    if constexpr (std::is_same_v<Bar, DerivativeBar>) open_interest = &frame.column("open_interest");

    Batch<Bar> batch;
    batch.data.reserve(rows.size());
    std::set<int> seen_days;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const std::size_t r = rows[k];
        const int trading_date =
            frame.trading_date ? host::date_to_number((*frame.trading_date)[r]) : host::date_to_number(times[k]);
        Bar bar{};
        bar.datetime = host::convert_dt_to_int(times[k]);
        bar.open = open[r];
        bar.high = high[r];
        bar.low = low[r];
        bar.close = close[r];
        bar.volume = volume[r];
        bar.total_turnover = turnover[r];
        if constexpr (std::is_same_v<Bar, DerivativeBar>) bar.open_interest = to_int64((*open_interest)[r]);
        batch.data.push_back(bar);
        // The first row of each trading date, in row order.
        if (seen_days.insert(trading_date).second) batch.index.push_back({trading_date, static_cast<std::uint32_t>(k)});
    }
    return batch;
}

}  // namespace tarnwick::bundle::minbar
