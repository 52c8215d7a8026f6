#include "tarnwick/bundle/checks/tick_check.hpp"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include <fmt/format.h>

#include "tarnwick/bundle/checks/calendar.hpp"
#include "tarnwick/bundle/checks/listing.hpp"
#include "tarnwick/bundle/checks/report.hpp"
#include "tarnwick/bundle/checks/suspensions.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/layout/install_record.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/tick_layout.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/connection.hpp"

namespace tarnwick::bundle::checks {
namespace {

namespace fs = std::filesystem;
using DayTexts = std::vector<std::string>;

Verdict examine(const fs::path& path, const DayTexts& calendar, const std::set<std::string>& suspended) {
    h5::File file = h5::File::open(path.string(), h5::File::Access::ReadOnly);
    std::vector<std::string> members;
    // Only days count: a member of another name (".tmp-YYYYMMDD" that an earlier version's
    // stopped update left, which the next update finishes, or a stray one) is no day the file
    // holds or lacks, and must not stretch the range of days the file is expected to hold;
    // `check content` names it.
    for (auto& name : file.members())
        if (layout::is_day_member(name)) members.push_back(std::move(name));
    if (members.empty()) return Verdict::Skipped;
    std::sort(members.begin(), members.end());

    const DayTexts expected = trading_dates_between<std::string>(calendar, members.front(), members.back());
    if (expected == members) return Verdict::Good;
    const std::set<std::string> present(members.begin(), members.end());
    DayTexts missing;
    for (const auto& day : expected)
        if (!present.count(day)) missing.push_back(day);
    if (std::all_of(missing.begin(), missing.end(), [&](const std::string& d) { return suspended.count(d) != 0; }))
        return Verdict::Good;

    const std::string order_book_id = store_identifier(path);
    for (const auto& day : missing) {
        service::PriceQuery query;
        query.order_book_id = order_book_id;
        query.start_date = std::stoi(day);
        query.end_date = query.start_date;
        query.frequency = service::Frequency::Tick;
        if (service::current().get_price(query).has_value()) return Verdict::Abnormal;
    }
    return Verdict::Good;
}

}  // namespace

std::optional<CheckLists> examine_tick_files(const std::string& data_bundle_path, unsigned workers) {
    // A sample install killed half-way is finished or undone before anything reads the bundle.
    layout::settle_unfinished_install_if_any(layout::bundle_dir(data_bundle_path));
    const std::string calendar_file = layout::trading_dates_file(data_bundle_path);
    if (!has_trading_dates(calendar_file)) {
        host::print_line("当前目录下不存在 trading_dates.npy 文件，请先下载 base 数据!");
        return std::nullopt;
    }
    const std::string suspension_file = layout::suspended_days_file(data_bundle_path);
    if (!fs::exists(suspension_file)) {
        host::print_line("当前目录下不存在 suspended_days.h5 文件，请先下载 base 数据!");
        return std::nullopt;
    }
    service::_init_tickwire();
    const auto files = store_files_in(layout::tick_root(data_bundle_path));
    if (files.empty()) {
        host::print_line("当前目录下不存在tick数据!");
        return std::nullopt;
    }
    host::print_line(fmt::format("共有{}个tick数据文件!", files.size()));
    DayTexts calendar;
    for (const std::int64_t day : load_trading_dates(calendar_file)) calendar.push_back(std::to_string(day));
    const auto suspendeds = load_suspensions(suspension_file, files);

    return examine_each(
        files, [&](const fs::path& path) { return examine(path, calendar, suspendeds.at(store_identifier(path))); },
        workers);
}

void check_tick_data(const std::string& data_bundle_path, unsigned workers) {
    if (const auto lists = examine_tick_files(data_bundle_path, workers))
        deal_with_check_result(lists->error_file_path_list, lists->blocking_or_permission_error, "tick");
}

}  // namespace tarnwick::bundle::checks
