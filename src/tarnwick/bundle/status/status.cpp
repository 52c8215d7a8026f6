#include "tarnwick/bundle/status/status.hpp"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <tuple>

#include <fmt/format.h>

#include "tarnwick/bundle/checks/calendar.hpp"
#include "tarnwick/bundle/checks/listing.hpp"
#include "tarnwick/bundle/checks/suspensions.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/formats/pickle.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/progress.hpp"
#include "tarnwick/bundle/layout/install_record.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/service/connection.hpp"
#include "tarnwick/bundle/status/examine.hpp"
#include "tarnwick/bundle/status/isolated_map.hpp"
#include "tarnwick/bundle/status/wire.hpp"

namespace tarnwick::bundle::status {
namespace {

namespace fs = std::filesystem;

// Files an interrupted update leaves beside a store file "<id>.h5": the copy it was building
// ("<id>.h5.tmp") and the undo journal of an update in place ("<id>.h5.journal"); the next
// update of the file settles both.
struct LeftoverFile {
    fs::path store;  // the store file it belongs to
    Leftover leftover;
};

std::vector<LeftoverFile> leftover_files_in(const fs::path& dir) {
    std::vector<LeftoverFile> found;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return found;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".")) continue;
        for (const auto& [ending, kind] : {std::pair{std::string_view(".h5.tmp"), Leftover::Kind::TemporaryFile},
                                           std::pair{std::string_view(".h5.journal"), Leftover::Kind::Journal}}) {
            if (name.size() > ending.size() && name.ends_with(ending)) {
                const std::string store = name.substr(0, name.size() - ending.size() + 3);  // keeps ".h5"
                found.push_back({dir / store, {kind, entry.path().string()}});
            }
        }
    }
    return found;
}

std::vector<LeftoverFile> all_leftover_files(const std::string& root) {
    std::vector<LeftoverFile> found = leftover_files_in(layout::tick_root(root));
    std::error_code ec;
    const fs::path minbar_root = layout::minbar_root(root);
    if (fs::is_directory(minbar_root, ec))
        for (const auto& entry : fs::directory_iterator(minbar_root, ec))
            if (entry.is_directory() && !entry.path().filename().string().starts_with("."))
                for (auto& leftover : leftover_files_in(entry.path())) found.push_back(std::move(leftover));
    return found;
}

// The last calendar day not after `end_date`.
std::optional<int> latest_trading_day(const std::vector<std::int64_t>& calendar, int end_date) {
    const auto after = std::upper_bound(calendar.begin(), calendar.end(), end_date);
    if (after == calendar.begin()) return std::nullopt;
    return static_cast<int>(*(after - 1));
}

std::map<std::string, std::vector<int>> suspension_days(const std::string& file,
                                                        const std::vector<fs::path>& store_files) {
    std::map<std::string, std::vector<int>> days;
    for (const auto& [id, texts] : checks::load_suspensions(file, store_files)) {
        if (texts.empty()) continue;
        auto& list = days[id];
        for (const auto& text : texts) list.push_back(std::stoi(text));
        std::sort(list.begin(), list.end());
    }
    return days;
}

// Delisting dates of the instruments in "instruments.pk" ("0000-00-00": still listed).
std::map<std::string, int> delisting_dates(const std::string& file) {
    std::map<std::string, int> dates;
    for (const auto& record : formats::pickle::load_records(file)) {
        const formats::pickle::Value* id = record.find("order_book_id");
        const formats::pickle::Value* delisted = record.find("de_listed_date");
        if (!id || !id->is_str() || !delisted || !delisted->is_str()) continue;
        std::string digits;
        for (const char c : delisted->as_str())
            if (c >= '0' && c <= '9') digits += c;
        if (digits.size() == 8 && digits != "00000000") dates[id->as_str()] = std::stoi(digits);
    }
    return dates;
}

void summarise(BundleStatus& status) {
    std::map<std::pair<Kind, std::string>, GroupSummary> groups;
    for (const auto& file : status.files) {
        GroupSummary& g = groups[{file.kind, file.group}];
        g.kind = file.kind;
        g.group = file.group;
        if (!file.leftovers.empty()) ++g.leftovers;
        if (!file.exists) continue;
        ++g.files;
        g.bytes += file.bytes;
        g.rows += file.rows.value_or(0);
        if (file.current()) ++g.current;
        if (file.stale()) ++g.stale;
        if (file.incomplete()) ++g.incomplete;
        if (file.unreadable) ++g.unreadable;
        if (file.held) ++g.held;
    }
    for (auto& [key, summary] : groups) status.groups.push_back(std::move(summary));
}

}  // namespace

const char* kind_name(Kind kind) { return kind == Kind::Minbar ? "minbar" : "tick"; }

const char* leftover_kind_name(Leftover::Kind kind) {
    switch (kind) {
        case Leftover::Kind::TemporaryFile:
            return "temporary file";
        case Leftover::Kind::Journal:
            return "journal";
        case Leftover::Kind::TemporaryMember:
            return "temporary member";
    }
    return "?";
}

bool BundleStatus::all_good() const {
    if (!problems.empty()) return false;
    return std::none_of(files.begin(), files.end(), [](const FileStatus& f) { return f.needs_attention(); });
}

BundleStatus bundle_status(const std::string& root, const Options& options) {
    BundleStatus status;
    status.root = root;
    status.bundle_dir = layout::bundle_dir(root);
    std::error_code ec;
    if (!fs::is_directory(status.bundle_dir, ec))
        throw ValueError(
            fmt::format("no bundle folder \"{}\": give the folder that holds \"bundle\"", status.bundle_dir));
    status.end_date = service::_get_end_date();
    if (const std::string left = layout::unfinished_install(status.bundle_dir); !left.empty())
        status.problems.push_back(fmt::format(
            "leftover of an interrupted sample install: {} (the next download-sample, update or check finishes or "
            "undoes it)",
            (fs::path(status.bundle_dir) / left).string()));

    // The files, in a stable order: minute bars by group, then ticks, each by instrument.
    std::vector<std::pair<Kind, fs::path>> files;
    for (auto& path : checks::store_files_one_level_below(layout::minbar_root(root)))
        files.emplace_back(Kind::Minbar, std::move(path));
    for (auto& path : checks::store_files_in(layout::tick_root(root))) files.emplace_back(Kind::Tick, std::move(path));
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        return std::tuple(a.first, a.second.parent_path(), a.second.filename()) <
               std::tuple(b.first, b.second.parent_path(), b.second.filename());
    });

    Context context;
    const std::string calendar_file = layout::trading_dates_file(root);
    status.calendar_present = fs::exists(calendar_file, ec);
    if (status.calendar_present) {
        context.calendar = checks::load_trading_dates(calendar_file);
        if (!context.calendar.empty()) {
            status.calendar_first = static_cast<int>(context.calendar.front());
            status.calendar_last = static_cast<int>(context.calendar.back());
        }
        // The calendar ends where the last base-data update left it. Weekdays after its end,
        // up to the end date, are taken for trading days: updates would fetch them.
        if (!context.calendar.empty() && context.calendar.back() < status.end_date) {
            std::size_t added = 0;
            for (int day = host::add_days(static_cast<int>(context.calendar.back()), 1); day <= status.end_date;
                 day = host::add_days(day, 1))
                if (host::weekday(day) != 0 && host::weekday(day) != 6) {
                    context.calendar.push_back(day);
                    ++added;
                }
            if (added > 0)
                status.problems.push_back(fmt::format(
                    "trading_dates.npy ends on {}, before the end date {}: weekdays after it are taken for trading "
                    "days (update the base data: update ROOT --base)",
                    *status.calendar_last, status.end_date));
        }
        context.target = latest_trading_day(context.calendar, status.end_date);
        status.target_date = context.target;
    } else {
        status.problems.push_back("trading_dates.npy is missing: days cannot be measured (update the base data)");
    }
    const std::string suspension_file = layout::suspended_days_file(root);
    status.suspensions_present = fs::exists(suspension_file, ec);
    if (status.suspensions_present) {
        std::vector<fs::path> paths;
        for (const auto& [kind, path] : files) paths.push_back(path);
        try {
            context.suspensions = suspension_days(suspension_file, paths);
        } catch (const std::exception& e) {
            status.problems.push_back(fmt::format("suspended_days.h5 cannot be read: {}", e.what()));
        }
    }

    // Optional: without it every instrument counts as still listed.
    if (const std::string instruments = layout::instruments_file(root); fs::exists(instruments, ec)) {
        try {
            context.delistings = delisting_dates(instruments);
        } catch (const std::exception& e) {
            status.problems.push_back(fmt::format("instruments.pk cannot be read: {}", e.what()));
        }
    }

    status.files.resize(files.size());
    {
        // Status runs on every login: a progress display only when it takes a while.
        std::optional<host::Progress> progress;
        if (files.size() >= 4000 && ::isatty(STDERR_FILENO)) progress.emplace("reading", files.size());
        map_isolated(
            files.size(), options.jobs,
            [&](std::size_t i) {
                const auto& [kind, path] = files[i];
                return encode(kind == Kind::Minbar ? examine_minbar(path, context) : examine_tick(path, context));
            },
            [&](std::size_t i, std::string_view bytes) {
                status.files[i] = decode(bytes);
                if (progress) progress->step();
            },
            [&](std::size_t i, const std::string& how) {
                FileStatus crashed;
                crashed.kind = files[i].first;
                crashed.path = files[i].second.string();
                crashed.group =
                    crashed.kind == Kind::Tick ? "ticks" : files[i].second.parent_path().filename().string();
                crashed.instrument = checks::store_identifier(files[i].second);
                const auto size = fs::file_size(files[i].second, ec);
                crashed.bytes = ec ? 0 : size;
                crashed.unreadable = true;
                crashed.error = how;
                return encode(crashed);
            });
        if (progress) progress->finish();
    }

    // Leftover files go with their store file; those whose store file is gone stand alone.
    std::map<std::string, std::size_t> by_path;
    for (std::size_t i = 0; i < status.files.size(); ++i) by_path[status.files[i].path] = i;
    const fs::path tick_root = layout::tick_root(root);
    for (auto& leftover : all_leftover_files(root)) {
        const auto found = by_path.find(leftover.store.string());
        if (found != by_path.end()) {
            status.files[found->second].leftovers.push_back(std::move(leftover.leftover));
            continue;
        }
        FileStatus orphan;
        orphan.kind = leftover.store.parent_path() == tick_root ? Kind::Tick : Kind::Minbar;
        orphan.path = leftover.store.string();
        orphan.group = orphan.kind == Kind::Tick ? "ticks" : leftover.store.parent_path().filename().string();
        orphan.instrument = checks::store_identifier(leftover.store);
        orphan.exists = false;
        orphan.leftovers.push_back(std::move(leftover.leftover));
        by_path[orphan.path] = status.files.size();
        status.files.push_back(std::move(orphan));
    }
    summarise(status);
    return status;
}

}  // namespace tarnwick::bundle::status
