#include "tarnwick/bundle/status/status.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include <fmt/format.h>

#include "tarnwick/bundle/checks/calendar.hpp"
#include "tarnwick/bundle/checks/listing.hpp"
#include "tarnwick/bundle/checks/suspensions.hpp"
#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/formats/pickle.hpp"
#include "tarnwick/bundle/h5/journal.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/instrument_type.hpp"
#include "tarnwick/bundle/host/progress.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/install_record.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/selection/record.hpp"
#include "tarnwick/bundle/service/connection.hpp"
#include "tarnwick/bundle/status/examine.hpp"
#include "tarnwick/bundle/status/isolated_map.hpp"
#include "tarnwick/bundle/status/wire.hpp"

namespace tarnwick::bundle::status {
namespace {

namespace fs = std::filesystem;

// Files an interrupted update leaves beside a store file "<id>.h5": the copy it was building
// ("<id>.h5.tmp") and the undo journal of an update in place ("<id>.h5.journal"); the next
// update of the file settles both. A journal set aside as not its file's
// ("<id>.h5.journal.rejected-...") stays until the user removes it.
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
        if (const auto at = name.rfind(h5::journal_path(".h5") + h5::REJECTED_INFIX); at != std::string::npos && at > 0)
            found.push_back({dir / name.substr(0, at + 3), {Leftover::Kind::RejectedJournal, entry.path().string()}});
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

// What "instruments.pk" says of each instrument: its delisting date ("0000-00-00": still
// listed) and its type.
struct Listings {
    std::map<std::string, int> delistings;
    std::map<std::string, std::string> types;
};

Listings read_listings(const std::string& file) {
    Listings listings;
    for (const auto& record : formats::pickle::load_records(file)) {
        const formats::pickle::Value* id = record.find("order_book_id");
        if (!id || !id->is_str()) continue;
        if (const formats::pickle::Value* type = record.find("type"); type && type->is_str())
            listings.types[id->as_str()] = type->as_str();
        const formats::pickle::Value* delisted = record.find("de_listed_date");
        if (!delisted || !delisted->is_str()) continue;
        std::string digits;
        for (const char c : delisted->as_str())
            if (c >= '0' && c <= '9') digits += c;
        if (digits.size() == 8 && digits != "00000000") listings.delistings[id->as_str()] = std::stoi(digits);
    }
    return listings;
}

// The minute-bar group of an instrument of `type`, as the update chooses it; null for a type that
// has no minute-bar file.
const char* minbar_group_of(const std::string& type) {
    const auto& equities = layout::EQUITIES_INS_TYPE();
    if (std::find(equities.begin(), equities.end(), type) != equities.end()) return layout::EQUITIES_GROUP;
    if (type == host::INSTRUMENT_TYPE::FUTURE) return layout::FUTURE_GROUP;
    if (type == host::INSTRUMENT_TYPE::OPTION) return layout::OPTION_GROUP;
    return nullptr;
}

// An update that cannot write the recorded selection goes on and only logs it, so the record
// falls behind unseen. Said here when this user can update the store folders but not the record
// (its folder, or the bundle folder it would be made in); as root, access() lets everything by.
void check_record_writable(BundleStatus& status) {
    const fs::path folder = fs::path(status.bundle_dir) / layout::RECORDS_FOLDER_NAME;
    std::error_code ec;
    const bool made = fs::is_directory(folder, ec);
    const fs::path needed = made ? folder : fs::path(status.bundle_dir);
    // Reading the folder (its lock), making and renaming files in it.
    if (::access(needed.c_str(), (made ? R_OK : 0) | W_OK | X_OK) == 0) return;
    const int err = errno;
    bool stores_writable = false;
    for (const char* store : {"h5", "ticks"})
        if (const fs::path p = fs::path(status.bundle_dir) / store; fs::is_directory(p, ec))
            stores_writable = stores_writable || ::access(p.c_str(), W_OK | X_OK) == 0;
    if (!stores_writable) return;
    status.problems.push_back(fmt::format(
        "the recorded selection cannot be written ({}: {}): updates go on without recording what they were asked "
        "for, so the record may be stale",
        needed.string(), std::strerror(err)));
}

// Adds an entry for every instrument the recorded selection names that has no store file of its
// kind (in any minute-bar group), or marks the entry of its leftovers. Left out: instruments
// delisted before the calendar's first day (no update fetches them) and, for minute bars, types
// without a minute-bar file. Without "instruments.pk" an instrument's group is "unknown".
void add_absent(BundleStatus& status, const std::string& root, const Context& context,
                const std::map<std::string, std::string>& types) {
    selection::RecordedSelection recorded;
    try {
        recorded = selection::load_selection(status.bundle_dir);
    } catch (const std::exception& e) {
        status.problems.push_back(fmt::format(
            "the recorded selection cannot be read: {} (instruments it names without a store file are not shown)",
            e.what()));
        return;
    }
    check_record_writable(status);
    const int first_day = context.calendar.empty()
                              ? layout::MIN_START_DATE
                              : std::max<int>(layout::MIN_START_DATE, static_cast<int>(context.calendar.front()));
    for (const auto& [kind, record_kind] :
         {std::pair{Kind::Minbar, selection::StoreKind::Minbar}, std::pair{Kind::Tick, selection::StoreKind::Tick}}) {
        std::map<std::string, std::size_t> orphans;  // instrument -> its entry without a store file
        std::set<std::string> present;
        for (std::size_t i = 0; i < status.files.size(); ++i) {
            const FileStatus& f = status.files[i];
            if (f.kind != kind) continue;
            if (f.exists)
                present.insert(f.instrument);
            else
                orphans.emplace(f.instrument, i);
        }
        for (const std::string& id : recorded.instruments(record_kind)) {
            if (present.count(id)) continue;
            const auto delisted = context.delistings.find(id);
            if (delisted != context.delistings.end() && delisted->second < first_day) continue;
            std::string group = "ticks";
            fs::path path = fs::path(layout::tick_root(root)) / layout::store_file_name(id);
            if (kind == Kind::Minbar) {
                const auto type = types.find(id);
                const char* known = type == types.end() ? "unknown" : minbar_group_of(type->second);
                if (!known) continue;
                group = known;
                path = fs::path(layout::minbar_root(root)) / (type == types.end() ? "*" : group) /
                       layout::store_file_name(id);
            }
            if (const auto orphan = orphans.find(id); orphan != orphans.end()) {
                status.files[orphan->second].absent = true;
                continue;
            }
            FileStatus absent;
            absent.kind = kind;
            absent.group = group;
            absent.instrument = id;
            absent.path = path.string();
            absent.exists = false;
            absent.absent = true;
            if (delisted != context.delistings.end()) absent.delisted_date = delisted->second;
            status.files.push_back(std::move(absent));
        }
    }
}

void summarise(BundleStatus& status) {
    std::map<std::pair<Kind, std::string>, GroupSummary> groups;
    for (const auto& file : status.files) {
        GroupSummary& g = groups[{file.kind, file.group}];
        g.kind = file.kind;
        g.group = file.group;
        if (!file.leftovers.empty()) ++g.leftovers;
        if (file.absent) ++g.absent;
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
        case Leftover::Kind::RejectedJournal:
            return "rejected journal";
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
    layout::require_bundle_dir(root);
    std::error_code ec;
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
    std::map<std::string, std::string> types;
    if (const std::string instruments = layout::instruments_file(root); fs::exists(instruments, ec)) {
        try {
            Listings listings = read_listings(instruments);
            context.delistings = std::move(listings.delistings);
            types = std::move(listings.types);
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
    add_absent(status, root, context, types);
    summarise(status);
    return status;
}

}  // namespace tarnwick::bundle::status
