#include "tarnwick/bundle/tick/refetch.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>

#include "tarnwick/bundle/drivers/update_failure.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/interrupt.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/layout/blosc.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/h5_mode.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/tick_layout.hpp"
#include "tarnwick/bundle/tick/append.hpp"
#include "tarnwick/bundle/tick/convert.hpp"
#include "tarnwick/bundle/tick/day_dataset.hpp"

namespace tarnwick::bundle::tick {
namespace {

namespace fs = std::filesystem;
using drivers::RefetchOutcome;
using layout::TickRecord;

class Refetch {
public:
    Refetch(h5::File& file, std::string order_book_id)
        : file_(file), id_(std::move(order_book_id)), memory_type_(layout::H5TicksLoader::memory_type()) {}

    RefetchOutcome run(drivers::DayRange range, bool drop_missing) {
        RefetchOutcome out;
        std::set<int> stored;
        for (const std::string& name : file_.members())
            if (layout::is_day_member(name)) stored.insert(std::stoi(name));
        if (stored.empty()) {
            out.note = "the file holds no day yet: the update fetches its days";
            return out;
        }
        const int newest = *stored.rbegin();
        const int last = std::min(range.last, newest);
        if (range.first > last) {
            out.note = "the range begins after the last stored day: the update fetches those days";
            return out;
        }
        out.first = range.first;
        out.last = last;

        service::PriceQuery day_query;
        day_query.order_book_id = id_;
        day_query.start_date = range.first;
        day_query.end_date = last;
        day_query.frequency = service::Frequency::Day;
        std::vector<int> days;
        if (const auto bars = service::current().get_price(day_query))
            for (const host::DateTime& t : bars->timestamp) days.push_back(host::date_to_number(t));
        std::sort(days.begin(), days.end());
        days.erase(std::unique(days.begin(), days.end()), days.end());

        std::set<int> served;
        fetch_tick_days(id_, days, file_.path(), [&](const TickDay& day) {
            if (day.trading_date < range.first || day.trading_date > last || day.records.empty()) return;
            host::throw_if_interrupted();
            served.insert(day.trading_date);
            take(day, stored.count(day.trading_date) != 0, out);
        });
        for (const int day : stored) {
            if (day < range.first || day > last || served.count(day)) continue;
            const std::string key = day_key(day);
            if (file_.open_dataset(key).rows() == 0) continue;  // a suspension mark
            if (drop_missing && day != newest) {
                file_.unlink(key);
                ++out.dropped;
            } else {
                ++out.kept_missing;
            }
        }
        // The one commit: until it, a rollback restores every old day.
        file_.commit();
        return out;
    }

private:
    void take(const TickDay& day, bool stored, RefetchOutcome& out) {
        const std::string key = day_key(day.trading_date);
        if (stored) {
            const h5::Dataset old = file_.open_dataset(key);
            if (old.rows() == day.records.size()) {
                std::vector<TickRecord> records = old.read_all<TickRecord>(memory_type_.id());
                if (std::memcmp(records.data(), day.records.data(), records.size() * sizeof(TickRecord)) == 0) {
                    ++out.identical;
                    return;
                }
            }
            file_.unlink(key);
            ++out.replaced;
        } else {
            ++out.added;
        }
        h5::DatasetOptions options;
        options.chunk_rows = chunk_rows(day.records.size(), sizeof(TickRecord));
        options.filters = {layout::COMPRESSION_KWARGS().filter()};
        writer_.write(file_, key, day.records, options);
    }

    h5::File& file_;
    std::string id_;
    h5::DataType memory_type_;
    DayWriter writer_;
};

void refetch_task(const std::string& id, const std::string& path, drivers::DayRange range, bool drop_missing) {
    _refetch_h5_tick(id, path, range, drop_missing);
}

}  // namespace

RefetchOutcome _refetch_h5_tick(const std::string& order_book_id, const std::string& path, drivers::DayRange range,
                                bool drop_missing) {
    const std::string h5_file = (fs::path(path) / layout::store_file_name(order_book_id)).string();
    RefetchOutcome out;
    std::error_code ec;
    if (!fs::exists(h5_file, ec)) {
        out.note = "no tick file: the update makes it";
        host::print_line(drivers::refetch_line(order_book_id, out));
        return out;
    }
    layout::require_blosc_filter();
    return drivers::refetch_file(h5_file, order_book_id,
                                 [&](h5::File& file) { return Refetch(file, order_book_id).run(range, drop_missing); });
}

bool refetch_tick(const std::string& path, const std::vector<std::string>& ids, drivers::DayRange range,
                  bool drop_missing, int concurrency) {
    return drivers::refetch_each_instrument(path, ids, concurrency, "开始重新获取 {} 只标的的tick数据：{}", "ticks",
                                            &refetch_task, range, drop_missing);
}

}  // namespace tarnwick::bundle::tick
