#pragma once
// The host's day-bar and base-data update (`harrier.data.bundle.update_bundle`, known in the
// module as `update_daybar`), as a stand-in written against the current service client.
//
// It (re)writes, in `bundle_dir`:
//   "instruments.pk"     the instrument list: a pickled list of dicts with at least
//                        order_book_id, symbol, type, exchange, listed_date, de_listed_date,
//                        market ("cn" / "hk"), plus underlying_symbol / underlying_order_book_id
//                        for futures and options and stock_code for convertibles (None when the
//                        service has none). Mainland instruments as all_instruments() lists them
//                        (Beijing Stock Exchange ones only while the client serves them), then
//                        Hong Kong stocks.
//   "trading_dates.npy"  int64 YYYYMMDD, ascending: the service's trading dates from
//                        MIN_START_DATE up to service::_get_end_date().
//   "suspended_days.h5"  one int64 dataset per stock (type CS, mainland and Hong Kong) that has
//                        at least one suspension day, named by its identifier, holding those days
//                        as YYYYMMDD, ascending; a stock without a dataset has no suspension day.
// Day bars themselves are not written: nothing in this module reads them.
//
// Every query to the service is made before the first file is written, and every file is built
// under a temporary name and renamed into place (atomic_file.hpp): a failed or killed run leaves
// the previous files as they were, never a half-written one.
//
// Call shapes: the full update passes tickwire_kwargs = {"enable_bjse": flag}, the incremental
// update passes enable_bjse = flag; the client is (re)initialised with that flag (false when
// neither is given) and left so, as the host's client initialisation leaves it.
//
// Result: true when the files were written. A failure of the service's permission check or of
// the file system (OsError, service::PermissionDenied, a storage error) is logged through
// system_log and gives false. Bad arguments throw: TypeError for an unknown tickwire_kwargs key,
// ValueError when both shapes are given with different flags.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::bundle::h5 {
class File;
}

namespace tarnwick::bundle::commands {

inline constexpr const char* TRADING_DATES_FILE = "trading_dates.npy";
inline constexpr const char* SUSPENDED_DAYS_FILE = "suspended_days.h5";
inline constexpr const char* INSTRUMENTS_FILE = "instruments.pk";

struct DaybarOptions {
    std::optional<std::map<std::string, bool>> tickwire_kwargs;  // the full update's shape
    std::optional<bool> enable_bjse;                             // the incremental update's shape
};

// `create`: the directory was just made (the stand-in rebuilds its files either way and makes the
// directory when it is missing); `enable_compression`: suspension datasets are deflate-compressed;
// `concurrency`: accepted for the host's signature, the stand-in works in the calling process.
bool update_daybar(const std::string& bundle_dir, bool create, bool enable_compression, int concurrency,
                   const DaybarOptions& options = {});

// The suspension days of `order_book_id` in an open "suspended_days.h5": the whole dataset of that
// name as integers, empty when the file has no member of that name. Storage errors propagate.
std::vector<std::int64_t> read_suspended_days(const h5::File& file, const std::string& order_book_id);

}  // namespace tarnwick::bundle::commands
