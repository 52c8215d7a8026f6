#include "tarnwick/bundle/commands/daybar.hpp"

#include <algorithm>
#include <filesystem>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/formats/npy.hpp"
#include "tarnwick/bundle/formats/pickle.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/atomic_file.hpp"
#include "tarnwick/bundle/host/instrument_type.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/connection.hpp"
#include "tarnwick/bundle/service/errors.hpp"
#include "tarnwick/bundle/service/warnings.hpp"

namespace tarnwick::bundle::commands {
namespace {

namespace fs = std::filesystem;
using service::Instrument;
using service::ListingRow;

constexpr const char* kStillListed = "0000-00-00";

bool resolve_bjse(const DaybarOptions& options) {
    std::optional<bool> from_kwargs;
    if (options.tickwire_kwargs) {
        for (const auto& [key, value] : *options.tickwire_kwargs) {
            if (key != "enable_bjse")
                throw TypeError(fmt::format("init() got an unexpected keyword argument '{}'", key));
            from_kwargs = value;
        }
    }
    if (from_kwargs && options.enable_bjse && *from_kwargs != *options.enable_bjse)
        throw ValueError(fmt::format("update_daybar: tickwire_kwargs enable_bjse={} contradicts enable_bjse={}",
                                     *from_kwargs, *options.enable_bjse));
    return from_kwargs.value_or(options.enable_bjse.value_or(false));
}

// "YYYY-MM-DD" -> YYYYMMDD; 0 for "0000-00-00" and for anything unreadable (the suspension
// query then simply covers the whole calendar).
int date_of(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return 0;
    int v = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == 4 || i == 7) continue;
        if (text[i] < '0' || text[i] > '9') return 0;
        v = v * 10 + (text[i] - '0');
    }
    return v;
}

// The record that describes the instrument now: the one still listed, else the latest delisted.
std::optional<Instrument> current_record(const service::InstrumentLookup& found) {
    if (const Instrument* one = found.single()) return *one;
    const auto* list = found.list();
    if (!list || list->empty()) return std::nullopt;
    for (const Instrument& i : *list)
        if (i.de_listed_date == kStillListed) return i;
    return *std::max_element(list->begin(), list->end(), [](const Instrument& a, const Instrument& b) {
        return a.de_listed_date < b.de_listed_date;
    });
}

struct Listed {
    ListingRow row;
    std::string market;
    std::optional<Instrument> record;
};

formats::pickle::Field text_or_none(const std::string& s) {
    if (s.empty()) return std::monostate{};
    return s;
}

formats::pickle::Record record_of(const Listed& ins) {
    const Instrument* r = ins.record ? &*ins.record : nullptr;
    formats::pickle::Record out;
    out.emplace_back("order_book_id", ins.row.order_book_id);
    out.emplace_back("symbol", r ? text_or_none(r->symbol) : formats::pickle::Field{});
    out.emplace_back("type", ins.row.type);
    out.emplace_back("exchange", text_or_none(r && !r->exchange.empty() ? r->exchange : ins.row.exchange));
    out.emplace_back("listed_date", r && !r->listed_date.empty() ? r->listed_date : std::string(kStillListed));
    out.emplace_back("de_listed_date", r && !r->de_listed_date.empty() ? r->de_listed_date : std::string(kStillListed));
    out.emplace_back("market", ins.market);
    if (ins.row.type == host::INSTRUMENT_TYPE::FUTURE)
        out.emplace_back("underlying_symbol", text_or_none(ins.row.underlying_symbol));
    if (ins.row.type == host::INSTRUMENT_TYPE::FUTURE || ins.row.type == host::INSTRUMENT_TYPE::OPTION)
        out.emplace_back("underlying_order_book_id", text_or_none(ins.row.underlying_order_book_id));
    if (ins.row.type == host::INSTRUMENT_TYPE::CONVERTIBLE)
        out.emplace_back("stock_code", r ? text_or_none(r->stock_code) : formats::pickle::Field{});
    return out;
}

std::vector<Listed> list_instruments(service::Client& client) {
    std::vector<Listed> out;
    for (ListingRow& row : client.all_instruments()) out.push_back({std::move(row), "cn", std::nullopt});
    for (ListingRow& row : client.all_instruments_hk(host::INSTRUMENT_TYPE::CS)) {
        if (row.type.empty()) row.type = host::INSTRUMENT_TYPE::CS;
        out.push_back({std::move(row), "hk", std::nullopt});
    }
    for (Listed& ins : out) ins.record = current_record(client.instruments(ins.row.order_book_id, ins.market));
    return out;
}

std::vector<std::int64_t> trading_dates(service::Client& client, int end_date) {
    if (end_date < layout::MIN_START_DATE) return {};
    std::vector<int> days = client.get_trading_dates(layout::MIN_START_DATE, end_date);
    std::sort(days.begin(), days.end());
    days.erase(std::unique(days.begin(), days.end()), days.end());
    return {days.begin(), days.end()};
}

std::map<std::string, std::vector<std::int64_t>> suspensions(service::Client& client, const std::vector<Listed>& all,
                                                             int end_date) {
    std::map<std::string, std::vector<std::int64_t>> out;
    for (const Listed& ins : all) {
        if (ins.row.type != host::INSTRUMENT_TYPE::CS) continue;
        int start = layout::MIN_START_DATE;
        int end = end_date;
        if (ins.record) {
            start = std::max(start, date_of(ins.record->listed_date));
            if (const int delisted = date_of(ins.record->de_listed_date); delisted != 0) end = std::min(end, delisted);
        }
        if (start > end) continue;
        service::SuppressWarnings quiet;
        std::vector<std::int64_t> days;
        for (const service::SuspensionRow& row : client.is_suspended(ins.row.order_book_id, start, end))
            if (row.suspended) days.push_back(row.date);
        if (days.empty()) continue;
        std::sort(days.begin(), days.end());
        days.erase(std::unique(days.begin(), days.end()), days.end());
        out[ins.row.order_book_id] = std::move(days);
    }
    return out;
}

void write_suspended_days(const std::string& path, const std::map<std::string, std::vector<std::int64_t>>& days,
                          bool enable_compression) {
    const std::string temporary = host::temporary_path_for(path);
    try {
        h5::File file = h5::File::create(temporary);
        const h5::DataType type = h5::DataType::copy(H5T_STD_I64LE);
        for (const auto& [order_book_id, dates] : days) {
            h5::DatasetOptions options;
            if (enable_compression) {
                options.chunk_rows = std::min<hsize_t>(dates.size(), 4096);
                options.deflate_level = 9;
            }
            file.create_dataset(order_book_id, type, H5T_NATIVE_INT64, dates.size(), dates.data(), options);
        }
        file.close();
        host::commit_temporary_file(temporary, path);
    } catch (...) {
        host::discard_temporary_file(temporary);
        throw;
    }
}

}  // namespace

bool update_daybar(const std::string& bundle_dir, bool create, bool enable_compression, int concurrency,
                   const DaybarOptions& options) {
    (void)create;
    (void)concurrency;
    const bool enable_bjse = resolve_bjse(options);
    try {
        layout::make_directories(bundle_dir);

        service::_init_tickwire(enable_bjse);
        service::Client& client = service::current();
        const int end_date = service::_get_end_date();
        const std::vector<Listed> instruments = list_instruments(client);
        const std::vector<std::int64_t> calendar = trading_dates(client, end_date);
        const auto suspended = suspensions(client, instruments, end_date);

        std::vector<formats::pickle::Record> records;
        records.reserve(instruments.size());
        for (const Listed& ins : instruments) records.push_back(record_of(ins));

        const fs::path dir(bundle_dir);
        formats::pickle::dump_records((dir / INSTRUMENTS_FILE).string(), records);
        formats::write_npy((dir / TRADING_DATES_FILE).string(), calendar, formats::NpyElement::int64());
        write_suspended_days((dir / SUSPENDED_DAYS_FILE).string(), suspended, enable_compression);
        return true;
    } catch (const OsError& e) {
        host::system_log().error(fmt::format("day-bar update of \"{}\" failed: {}", bundle_dir, e.what()));
    } catch (const service::PermissionDenied& e) {
        host::system_log().error(fmt::format("day-bar update of \"{}\" failed: {}", bundle_dir, e.what()));
    } catch (const h5::Error& e) {
        host::system_log().error(fmt::format("day-bar update of \"{}\" failed: {}", bundle_dir, e.what()));
    }
    return false;
}

std::vector<std::int64_t> read_suspended_days(const h5::File& file, const std::string& order_book_id) {
    if (!file.contains(order_book_id)) return {};
    return file.open_dataset(order_book_id).read_all<std::int64_t>(H5T_NATIVE_INT64);
}

}  // namespace tarnwick::bundle::commands
