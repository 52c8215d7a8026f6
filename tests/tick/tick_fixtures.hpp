#pragma once
// Shared pieces of the tick store tests: a small scripted market that answers the tick
// updater's questions (day bars, ticks, suspensions, the instrument's type) from a list of
// trading days, and readers for the resulting files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/scoped_client.hpp"
#include "support/temp_dir.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/tick_layout.hpp"
#include "tarnwick/bundle/service/scripted_client.hpp"

namespace tarnwick::bundle::tick::test_support {

using layout::TickRecord;
using service::DateTime;
using service::Frame;

inline DateTime at(int yyyymmdd, int hour = 0, int minute = 0, int second = 0, int millisecond = 0) {
    return host::date_from_number(yyyymmdd) + std::chrono::hours{hour} + std::chrono::minutes{minute} +
           std::chrono::seconds{second} + std::chrono::milliseconds{millisecond};
}

// Weekdays from `first` on, `count` of them.
inline std::vector<int> weekdays_from(int first, std::size_t count) {
    std::vector<int> days;
    for (int d = first; days.size() < count; d = host::add_days(d, 1))
        if (host::weekday(d) != 0 && host::weekday(d) != 6) days.push_back(d);
    return days;
}

// One instrument of a scripted market. Ticks of a day: 09:30:00.000, 09:30:03.500 twice (the
// second of the pair is the one that must survive), and 14:59:57.250; prices carry cents that
// a truncating conversion gets wrong (x.29 * 10000). `version` shifts every price, so that a
// replaced day can be told from the stored one.
struct ScriptedInstrument {
    std::string id = "000001.XSHE";
    std::string type = "CS";
    std::vector<int> trading_days;
    std::set<int> suspended;  // trading days without bars or ticks, reported by is_suspended
    std::set<int> no_ticks;   // trading days with a day bar but no ticks
    bool open_interest = false;
    int version = 0;

    static constexpr int TICKS_PER_DAY = 3;

    double price(int day, int row) const { return 10.29 + 0.01 * (day % 100) + 0.5 * row + 0.1 * version; }

    std::vector<DateTime> tick_times(int day) const {
        return {at(day, 9, 30, 0), at(day, 9, 30, 3, 500), at(day, 9, 30, 3, 500), at(day, 14, 59, 57, 250)};
    }

    bool trades(int day) const { return suspended.count(day) == 0; }

    Frame day_bars(int start, int end) const {
        std::vector<DateTime> times;
        for (int d : trading_days)
            if (d >= start && d <= end && trades(d)) times.push_back(at(d));
        std::map<std::string, std::vector<double>> columns{{"close", std::vector<double>(times.size(), 10.0)}};
        return service::make_frame(id, times, columns);
    }

    Frame ticks(int start, int end) const {
        std::vector<DateTime> times, trading;
        std::map<std::string, std::vector<double>> columns;
        for (int d : trading_days) {
            if (d < start || d > end || !trades(d) || no_ticks.count(d)) continue;
            const auto day_times = tick_times(d);
            for (std::size_t k = 0; k < day_times.size(); ++k) {
                // Row 1 is the duplicate that must lose: it carries a different price.
                const int row = k == 1 ? 99 : static_cast<int>(k == 0 ? 0 : k - 1);
                times.push_back(day_times[k]);
                trading.push_back(at(d));
                const double p = price(d, row);
                for (const char* name : {"open", "last", "high", "low", "prev_close", "limit_up", "limit_down"})
                    columns[name].push_back(p);
                columns["volume"].push_back(100.0 * (row + 1));
                columns["total_turnover"].push_back(p * 100.0 * (row + 1));
                if (open_interest) columns["open_interest"].push_back(5000.0 + row);
                for (int i = 1; i <= 5; ++i) {
                    columns["a" + std::to_string(i)].push_back(p + 0.01 * i);
                    columns["b" + std::to_string(i)].push_back(p - 0.01 * i);
                    columns["a" + std::to_string(i) + "_v"].push_back(i);
                    columns["b" + std::to_string(i) + "_v"].push_back(10 + i);
                }
            }
        }
        return service::make_frame(id, times, columns, trading);
    }

    // The records the file must hold for a trading day, computed field by field.
    std::vector<TickRecord> expected(int day) const {
        std::vector<TickRecord> out;
        const auto times = tick_times(day);
        for (int row : {0, 1, 2}) {
            const DateTime t = row == 0 ? times[0] : times[row + 1];
            const double p = price(day, row);
            const auto px = [](double v) { return static_cast<std::int64_t>(std::llround(v * 10000.0)); };
            TickRecord r{};
            r.date = static_cast<std::uint32_t>(host::date_to_number(t));
            r.time = host::time_to_number(t);
            r.open = r.last = r.high = r.low = r.prev_close = r.limit_up = r.limit_down = px(p);
            r.volume = 100 * (row + 1);
            r.total_turnover = std::llround(p * 100.0 * (row + 1));
            r.open_interest = open_interest ? 5000 + row : 0;
            std::int64_t* asks = &r.a1;
            std::int64_t* ask_volumes = &r.a1_v;
            std::int64_t* bids = &r.b1;
            std::int64_t* bid_volumes = &r.b1_v;
            for (int i = 1; i <= 5; ++i) {
                asks[i - 1] = px(p + 0.01 * i);
                bids[i - 1] = px(p - 0.01 * i);
                ask_volumes[i - 1] = i;
                bid_volumes[i - 1] = 10 + i;
            }
            out.push_back(r);
        }
        return out;
    }

    // Answers the client's calls for this instrument (and "none" for anything else).
    void serve(service::ScriptedClient& client) const {
        client.on_get_price = [this](const service::PriceQuery& q) -> std::optional<Frame> {
            if (q.order_book_id != id) return std::nullopt;
            Frame frame = q.frequency == service::Frequency::Tick ? ticks(q.start_date, q.end_date)
                                                                  : day_bars(q.start_date, q.end_date);
            if (frame.empty()) return std::nullopt;
            return frame;
        };
        client.on_instruments = [this](const std::string& wanted, const std::optional<std::string>&) {
            service::InstrumentLookup lookup;
            if (wanted == id) lookup.value = service::Instrument{id, type, "XSHE", "2000-01-04", "0000-00-00", "", id};
            return lookup;
        };
        client.on_is_suspended = [this](const std::string&, int start, int end) {
            service::SuspensionTable table;
            for (int d : trading_days)
                if (d >= start && d <= end) table.push_back({d, suspended.count(d) > 0});
            return table;
        };
    }
};

inline std::vector<std::string> members(const std::string& path) {
    return h5::File::open(path, h5::File::Access::ReadOnly).members();
}

inline std::vector<TickRecord> read_day(const h5::File& file, const std::string& key) {
    const h5::Dataset dataset = file.open_dataset(key);
    const auto type = layout::H5TicksLoader::memory_type();
    return dataset.read_all<TickRecord>(type.id());
}

inline std::vector<TickRecord> read_day(const std::string& path, const std::string& key) {
    return read_day(h5::File::open(path, h5::File::Access::ReadOnly), key);
}

// Every member with its records, to compare whole files.
inline std::map<std::string, std::vector<TickRecord>> read_all_days(const std::string& path) {
    const h5::File file = h5::File::open(path, h5::File::Access::ReadOnly);
    std::map<std::string, std::vector<TickRecord>> days;
    for (const auto& name : file.members()) days[name] = read_day(file, name);
    return days;
}

// Writes a day directly (Blosc, as the updater does), to prepare a stored file.
inline void write_day_directly(h5::File& file, const std::string& key, const std::vector<TickRecord>& records) {
    h5::DatasetOptions options;
    if (!records.empty()) {
        options.chunk_rows = std::min<hsize_t>(64, records.size());
        options.filters = {layout::COMPRESSION_KWARGS().filter()};
    }
    const auto memory = layout::H5TicksLoader::memory_type();
    file.create_dataset(key, layout::H5TicksLoader::DTYPES(), memory.id(), records.size(), records.data(), options);
}

// Captures console lines and log records, sets the clock, and gives the test a fresh shared
// flag; everything is restored afterwards.
class TickTest : public test::ScriptedClientFixture {
protected:
    void SetUp() override {
        ScriptedClientFixture::SetUp();
        previous_console_ = host::set_console({[this](const std::string& text) { console_ += text; }, nullptr});
        previous_observer_ = host::system_log().observe(
            [this](const std::string& level, const std::string& text) { log_.push_back(level + ":" + text); });
        flag_ = std::make_shared<host::SharedFlag>(true);
        host::process_init(flag_);
    }
    void TearDown() override {
        host::set_clock(std::nullopt);
        host::set_console(std::move(previous_console_));
        host::system_log().observe(std::move(previous_observer_));
        host::process_init(nullptr);
        ScriptedClientFixture::TearDown();
    }

    // The clock at 18:00 of `day`: _get_end_date() is `day`.
    static void end_date_is(int day) { host::set_clock(at(day, 18)); }

    std::vector<std::string> console_lines() const {
        std::vector<std::string> lines;
        std::size_t begin = 0;
        for (std::size_t end; (end = console_.find('\n', begin)) != std::string::npos; begin = end + 1)
            lines.push_back(console_.substr(begin, end - begin));
        return lines;
    }
    std::vector<std::string> calls(const std::string& operation) {
        std::vector<std::string> out;
        for (const auto& call : client().calls)
            if (call.operation == operation) out.push_back(call.args);
        return out;
    }
    bool flag() const { return flag_->value(); }

    test::TempDir dir_;
    std::string console_;
    std::vector<std::string> log_;

private:
    host::ConsoleHooks previous_console_;
    host::SystemLog::Observer previous_observer_;
    std::shared_ptr<host::SharedFlag> flag_;
};

}  // namespace tarnwick::bundle::tick::test_support
