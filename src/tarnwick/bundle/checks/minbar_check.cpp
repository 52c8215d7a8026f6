#include "tarnwick/bundle/checks/minbar_check.hpp"

#include <algorithm>
#include <filesystem>
#include <set>

#include <fmt/format.h>

#include "tarnwick/bundle/checks/calendar.hpp"
#include "tarnwick/bundle/checks/listing.hpp"
#include "tarnwick/bundle/checks/report.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/progress.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/selection/connection.hpp"
#include "tarnwick/bundle/service/client.hpp"

namespace tarnwick::bundle::checks {
namespace {

namespace fs = std::filesystem;
using Calendar = std::vector<std::int64_t>;

constexpr std::int64_t FIRST_BAR_TIME = 93100;  // 09:31:00
constexpr std::int64_t NIGHT_START = 180000;    // 18:00:00

bool night_session_group(const fs::path& file) {
    const std::string group = file.parent_path().filename().string();
    return group == layout::FUTURE_GROUP || group == layout::OPTION_GROUP;
}

// The trading day a day's first bar belongs to: its own date before 18:00, otherwise the
// calendar day after the first calendar day not earlier than its date (clamped to the end).
std::int64_t trading_day_of(std::int64_t datetime, const Calendar& calendar) {
    const std::int64_t date = datetime / 1000000;
    if (datetime % 1000000 < NIGHT_START) return date;
    const auto position = static_cast<std::size_t>(std::lower_bound(calendar.begin(), calendar.end(), date) -
                                                   calendar.begin());
    return calendar[std::min(position + 1, calendar.size() - 1)];
}

// True when the file is good; false when abnormal. Damage it meets on the way throws.
bool examine(const fs::path& path, const Calendar& calendar, CheckLists& lists) {
    h5::File file = h5::File::open(path.string(), h5::File::Access::ReadOnly);
    if (!file.contains("index")) {
        if (file.contains("data")) lists.error_file_path_list.push_back(path.string());
        return true;
    }
    const std::vector<layout::IndexRecord> index =
        file.open_dataset("index").read_all<layout::IndexRecord>(layout::index_memory_type().id());
    const std::vector<std::int64_t> datetimes =
        file.open_dataset("data").read_all<std::int64_t>(layout::datetime_field_memory_type().id());

    const bool night = night_session_group(path);
    for (const auto& entry : index) {
        if (entry.line_no >= datetimes.size())
            throw ValueError(fmt::format("index line {} lies beyond the {} bars", entry.line_no, datetimes.size()));
        const std::int64_t first_bar = datetimes[entry.line_no];
        const std::int64_t expected_date =
            night ? (calendar.empty() ? first_bar / 1000000 : trading_day_of(first_bar, calendar)) : entry.date;
        const bool consistent = night ? expected_date == entry.date
                                      : first_bar == static_cast<std::int64_t>(entry.date) * 1000000 + FIRST_BAR_TIME;
        if (!consistent) return false;
    }
    if (index.empty()) return false;

    std::set<std::int64_t> stored;
    for (const auto& entry : index) stored.insert(entry.date);
    const Calendar expected = trading_dates_between<std::int64_t>(calendar, index.front().date, index.back().date);
    const std::string order_book_id = [&] {
        std::string name = path.filename().string();
        for (std::size_t at; (at = name.find(".h5")) != std::string::npos;) name.erase(at, 3);
        return name;
    }();
    for (const std::int64_t day : expected) {
        if (stored.count(day)) continue;
        service::PriceQuery query;
        query.order_book_id = order_book_id;
        query.start_date = static_cast<int>(day);
        query.end_date = static_cast<int>(day);
        query.frequency = service::Frequency::Minute;
        if (service::current().get_price(query).has_value()) return false;
    }
    return true;
}

}  // namespace

std::optional<CheckLists> examine_min_bar_files(const std::string& data_bundle_path) {
    const std::string calendar_file = layout::trading_dates_file(data_bundle_path);
    if (!fs::exists(calendar_file)) {
        host::print_line("当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!");
        return std::nullopt;
    }
    selection::_init_tickwire();
    const auto files = store_files_one_level_below(layout::minbar_root(data_bundle_path));
    if (files.empty()) {
        host::print_line("当前目录下不存在分钟数据!");
        return std::nullopt;
    }
    host::print_line(fmt::format("共有{}个分钟数据文件!", files.size()));
    const Calendar calendar = load_trading_dates(calendar_file);

    CheckLists lists;
    host::Progress progress("checking", files.size());
    for (const auto& path : files) {
        try {
            if (!examine(path, calendar, lists)) lists.error_file_path_list.push_back(path.string());
        } catch (...) {
            sort_failed_file(path.string(), std::current_exception(), lists);
        }
        progress.step();
    }
    progress.finish();
    return lists;
}

void check_min_bar_data(const std::string& data_bundle_path) {
    if (const auto lists = examine_min_bar_files(data_bundle_path))
        deal_with_check_result(lists->error_file_path_list, lists->blocking_or_permission_error, "分钟");
}

}  // namespace tarnwick::bundle::checks
