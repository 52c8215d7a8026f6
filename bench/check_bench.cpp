// check_bench: how many store files per second the integrity checks examine.
//
// Builds a bundle of N minute-bar files of D trading days each and N tick files, then times
// examine_min_bar_files / examine_tick_files (the examination without the report and its
// question) in three states:
//   complete     every file whole, so the service is never asked;
//   missing day  one trading day in the middle of every file deleted (minute bars: its index
//                record; ticks: its member), so every file costs exactly one price query, which
//                finds data and makes the file abnormal; the query is answered
//                  a) by the simulated market (its generation of that day's bars or ticks is in
//                     the figure), and
//                  b) by a client that answers at once with one row (the check's own cost).
//
// Files: one real file per kind made by the updaters (_append_h5, _append_h5_tick) for a
// generated stock of the simulated market, copied under the identifiers of the other generated
// stocks, so the market knows every file's instrument. Tick files hold the simulated market's
// tick history (--tick-history trading days); a second set of N tick files with D day members
// each (built with the h5 layer, a few ticks per day, the updater's chunking and Blosc filter)
// shows how the tick check, which reads only member names, grows with the number of days.
//
// The files were just written, so they are read from the page cache: warm-cache figures. Times
// are the best of --repeat runs, wall clock and CPU time of this process.
//
// usage: check_bench [--files N] [--days D] [--tick-history T] [--repeat R] [--dir DIR] [--keep]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tarnwick/bundle/checks/minbar_check.hpp"
#include "tarnwick/bundle/checks/tick_check.hpp"
#include "tarnwick/bundle/formats/npy.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/layout/tick_layout.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/tick/append.hpp"

namespace {

namespace fs = std::filesystem;
namespace tb = tarnwick::bundle;

constexpr int kLastDay = 20261204;  // the clock stands at this day's 18:00

struct Options {
    int files = 1000;
    int days = 250;
    int tick_history = 0;  // 0: the simulated market's default tick history
    int repeat = 3;
    std::string dir;
    bool keep = false;
};

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr,
                 "%s\nusage: check_bench [--files N] [--days D] [--tick-history T] [--repeat R] [--dir DIR] "
                 "[--keep]\n",
                 why.c_str());
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage("missing value after " + a);
            return argv[++i];
        };
        if (a == "--files")
            o.files = std::stoi(value());
        else if (a == "--days")
            o.days = std::stoi(value());
        else if (a == "--tick-history")
            o.tick_history = std::stoi(value());
        else if (a == "--repeat")
            o.repeat = std::stoi(value());
        else if (a == "--dir")
            o.dir = value();
        else if (a == "--keep")
            o.keep = true;
        else
            usage("unknown argument " + a);
    }
    if (o.files < 1 || o.days < 3 || o.repeat < 1 || o.tick_history < 0) usage("counts out of range");
    return o;
}

// ---- Timing ------------------------------------------------------------------------------------

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Cost {
    double wall = 0;
    double cpu = 0;
};

// Best of `repeat` runs of `f`, with standard error (the progress display) sent to /dev/null
// so the figures stay readable; the display's cost is still in them.
Cost best_of(int repeat, const std::function<void()>& f) {
    Cost best{1e300, 1e300};
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    for (int r = 0; r < repeat; ++r) {
        const double cpu0 = cpu_seconds();
        const auto wall0 = std::chrono::steady_clock::now();
        f();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        best.wall = std::min(best.wall, wall);
        best.cpu = std::min(best.cpu, cpu_seconds() - cpu0);
    }
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(null);
    return best;
}

// ---- Service clients -----------------------------------------------------------------------------

// Answers every price query at once with one row: what is left is the check's own work.
class InstantMarket : public tb::service::SimulatedMarket {
public:
    using SimulatedMarket::SimulatedMarket;
    std::optional<tb::service::Frame> get_price(const tb::service::PriceQuery& query) override {
        ++queries;
        tb::service::Frame frame;
        frame.order_book_id = {query.order_book_id};
        frame.timestamp = {tb::host::make_datetime(query.start_date / 10000, query.start_date / 100 % 100,
                                                   query.start_date % 100, 9, 31)};
        frame.columns["close"] = {1.0};
        return frame;
    }
    long queries = 0;
};

// The simulated market, counting the queries so that the run can show they happened.
class CountingMarket : public tb::service::SimulatedMarket {
public:
    using SimulatedMarket::SimulatedMarket;
    std::optional<tb::service::Frame> get_price(const tb::service::PriceQuery& query) override {
        ++queries;
        return SimulatedMarket::get_price(query);
    }
    long queries = 0;
};

// ---- Building the bundle -------------------------------------------------------------------------

std::string generated_stock(int i) {
    const int serial = 10000 + i / 2;
    return i % 2 == 0 ? fmt::format("6{:05}.XSHG", serial) : fmt::format("0{:05}.XSHE", serial);
}

// Copies `from` under the name of every generated stock into `dir` (the first one is `from`
// itself when it already lies there).
void copy_under_ids(const fs::path& from, const fs::path& dir, int files) {
    fs::create_directories(dir);
    for (int i = 0; i < files; ++i) {
        const fs::path to = dir / (generated_stock(i) + ".h5");
        if (to != from) fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    }
}

std::uintmax_t bytes_in(const fs::path& dir) {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) total += entry.file_size();
    return total;
}

// Deletes the index record of the middle day; the bars stay, so the day check still passes
// and the day is simply missing.
void drop_middle_index_day(const std::string& path) {
    auto file = tb::h5::File::open(path, tb::h5::File::Access::ReadWrite);
    auto index_ds = file.open_dataset("index");
    const auto type = tb::layout::index_memory_type();
    auto index = index_ds.read_all<tb::layout::IndexRecord>(type.id());
    index.erase(index.begin() + static_cast<std::ptrdiff_t>(index.size() / 2));
    index_ds.resize(index.size());
    index_ds.write_rows(type.id(), 0, index.size(), index.data());
}

void drop_middle_tick_day(const std::string& path) {
    auto file = tb::h5::File::open(path, tb::h5::File::Access::ReadWrite);
    const auto members = file.members();
    file.unlink(members.at(members.size() / 2));
}

// A tick file with one member per trading day in `days`, each holding a few ticks, laid out as
// the tick updater lays out a day.
void write_tick_file_with_days(const std::string& path, const std::vector<int>& days) {
    auto file = tb::h5::File::create(path);
    const auto file_type = tb::layout::H5TicksLoader::DTYPES();
    const auto memory_type = tb::layout::H5TicksLoader::memory_type();
    for (const int day : days) {
        std::vector<tb::layout::TickRecord> ticks(20);
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            ticks[i].date = static_cast<std::uint32_t>(day);
            ticks[i].time = static_cast<std::uint32_t>(93003000 + 3000 * i);
            ticks[i].last = 100000 + static_cast<std::int64_t>(i);
            ticks[i].volume = 100 * static_cast<std::int64_t>(i);
        }
        tb::h5::DatasetOptions options;
        options.chunk_rows = tb::tick::chunk_rows(ticks.size(), sizeof(tb::layout::TickRecord));
        options.filters = {tb::layout::COMPRESSION_KWARGS().filter()};
        file.create_dataset(tb::tick::day_key(day), file_type, memory_type.id(), ticks.size(), ticks.data(), options);
    }
}

struct Bundle {
    fs::path root;
    std::vector<int> calendar;
};

void write_base(const Bundle& b) {
    fs::create_directories(tb::layout::bundle_dir(b.root.string()));
    const std::vector<std::int64_t> days(b.calendar.begin(), b.calendar.end());
    tb::formats::write_npy(tb::layout::trading_dates_file(b.root.string()), days);
    tb::h5::File::create(tb::layout::suspended_days_file(b.root.string())).close();  // no suspensions
}

// Removes the bundle the run made, also when the run fails.
struct RemoveAtExit {
    fs::path dir;
    bool keep = false;
    ~RemoveAtExit() {
        std::error_code ignored;
        if (!keep && !dir.empty()) fs::remove_all(dir, ignored);
    }
};

// ---- Reporting -----------------------------------------------------------------------------------

void row(const std::string& what, int files, const Cost& cost, long queries, std::size_t abnormal) {
    std::printf("  %-46s %8.3f s wall %8.3f s cpu %9.0f files/s (cpu) %6ld queries %5zu abnormal\n", what.c_str(),
                cost.wall, cost.cpu, files / cost.cpu, queries, abnormal);
}

template <class Market>
Market& install(tb::service::SimulatedMarket::Settings settings) {
    auto market = std::make_unique<Market>(std::move(settings));
    Market& ref = *market;
    tb::service::install(std::move(market));
    return ref;
}

using Examine = std::optional<tb::checks::CheckLists> (*)(const std::string&, unsigned workers);

// Times one examination in the three states of the header comment; `damage` deletes one day
// of a file, `root` is the bundle root and `dir` the folder of the copies.
void measure(const std::string& title, const Options& o, const tb::service::SimulatedMarket::Settings& settings,
             const fs::path& root, const fs::path& dir, const fs::path& template_file, Examine examine,
             const std::function<void(const std::string&)>& damage) {
    std::printf("%s: %d files, %.1f MiB\n", title.c_str(), o.files, bytes_in(dir) / 1048576.0);
    std::size_t abnormal = 0;
    auto run = [&] {
        // One worker process, so that the figures compare with the earlier single-process ones.
        const auto lists = examine(root.string(), 1);
        if (!lists) throw std::runtime_error("nothing was examined");
        abnormal = lists->error_file_path_list.size() + lists->blocking_or_permission_error.size();
    };

    auto& counting = install<CountingMarket>(settings);
    Cost cost = best_of(o.repeat, run);
    row("complete", o.files, cost, counting.queries / o.repeat, abnormal);
    if (abnormal != 0) throw std::runtime_error("complete files were reported");

    const fs::path damaged = dir.parent_path() / (dir.filename().string() + "-one-day-missing.h5.template");
    fs::copy_file(template_file, damaged, fs::copy_options::overwrite_existing);
    damage(damaged.string());
    copy_under_ids(damaged, dir, o.files);
    fs::remove(damaged);

    auto& simulated = install<CountingMarket>(settings);
    cost = best_of(o.repeat, run);
    row("one day missing, simulated market answers", o.files, cost, simulated.queries / o.repeat, abnormal);
    if (abnormal != static_cast<std::size_t>(o.files)) throw std::runtime_error("missing days went unnoticed");

    auto& instant = install<InstantMarket>(settings);
    cost = best_of(o.repeat, run);
    row("one day missing, instant answers", o.files, cost, instant.queries / o.repeat, abnormal);
}

}  // namespace

int main(int argc, char** argv) try {
    const Options o = parse(argc, argv);
    tb::host::set_console({[](const std::string&) {}, [] { return std::optional<std::string>(); }});
    tb::host::set_clock(tb::host::make_datetime(kLastDay / 10000, kLastDay / 100 % 100, kLastDay % 100, 18, 0));

    Bundle b;
    if (o.dir.empty()) {
        std::string pattern = (fs::temp_directory_path() / "check-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        b.root = pattern;
    } else {
        b.root = o.dir;
        fs::create_directories(b.root);
    }
    const RemoveAtExit cleanup{b.root, o.keep};

    // Minute bars start D trading days before the last day; ticks keep their own history.
    tb::service::SimulatedMarket::Settings settings;
    settings.extra_stocks = o.files;
    {
        tb::service::SimulatedMarket probe(settings);
        b.calendar = probe.get_trading_dates(tb::layout::MIN_START_DATE, 20271231);
        std::vector<int> history = probe.get_trading_dates(20200101, kLastDay);
        if (static_cast<int>(history.size()) < o.days) usage("--days reaches back too far");
        settings.first_date = history[history.size() - static_cast<std::size_t>(o.days)];
        if (o.tick_history > 0) {
            if (static_cast<int>(history.size()) < o.tick_history) usage("--tick-history reaches back too far");
            settings.tick_first_date = history[history.size() - static_cast<std::size_t>(o.tick_history)];
        }
    }
    write_base(b);
    const std::string root = b.root.string();
    const fs::path minbar_dir = fs::path(tb::layout::minbar_root(root)) / tb::layout::EQUITIES_GROUP;
    const fs::path tick_dir = tb::layout::tick_root(root);

    // One real file per kind, made by the updaters, then copied.
    install<tb::service::SimulatedMarket>(settings);
    const auto build0 = std::chrono::steady_clock::now();
    tb::minbar::_append_h5(generated_stock(0), tb::layout::minbar_root(root));
    const fs::path minbar_template = minbar_dir / (generated_stock(0) + ".h5");
    tb::tick::_append_h5_tick(generated_stock(0), tick_dir.string());
    const fs::path tick_template = tick_dir / (generated_stock(0) + ".h5");
    if (!fs::exists(minbar_template) || !fs::exists(tick_template))
        throw std::runtime_error("the updaters made no file");
    const fs::path kept_minbar = b.root / "minbar.template";
    const fs::path kept_tick = b.root / "tick.template";
    fs::copy_file(minbar_template, kept_minbar);
    fs::copy_file(tick_template, kept_tick);
    copy_under_ids(minbar_template, minbar_dir, o.files);
    copy_under_ids(tick_template, tick_dir, o.files);
    const auto index_rows =
        tb::h5::File::open(kept_minbar.string(), tb::h5::File::Access::ReadOnly).open_dataset("index").rows();
    const auto tick_days = tb::h5::File::open(kept_tick.string(), tb::h5::File::Access::ReadOnly).members().size();
    std::printf("built in %.1f s under %s (minute-bar file: %llu days, %.2f MiB; tick file: %zu days, %.2f MiB)\n\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - build0).count(), root.c_str(),
                static_cast<unsigned long long>(index_rows), fs::file_size(kept_minbar) / 1048576.0, tick_days,
                fs::file_size(kept_tick) / 1048576.0);

    measure(fmt::format("minute bars ({} days each)", index_rows), o, settings, b.root, minbar_dir, kept_minbar,
            tb::checks::examine_min_bar_files, drop_middle_index_day);
    std::printf("\n");
    measure(fmt::format("ticks, updater's file ({} days each)", tick_days), o, settings, b.root, tick_dir, kept_tick,
            tb::checks::examine_tick_files, drop_middle_tick_day);

    // Tick files with as many days as the minute-bar files.
    std::printf("\n");
    std::vector<int> tick_calendar;
    {
        const auto end = std::upper_bound(b.calendar.begin(), b.calendar.end(), kLastDay);
        tick_calendar.assign(end - o.days, end);
    }
    const fs::path wide_tick = b.root / "tick-wide.template";
    write_tick_file_with_days(wide_tick.string(), tick_calendar);
    copy_under_ids(wide_tick, tick_dir, o.files);
    auto wide_settings = settings;  // the market has ticks on every day these files hold
    wide_settings.tick_first_date = tick_calendar.front();
    measure(fmt::format("ticks, {} day members each", o.days), o, wide_settings, b.root, tick_dir, wide_tick,
            tb::checks::examine_tick_files, drop_middle_tick_day);

    // What listing the members costs in those files: the h5 layer's members() asks HDF5 for
    // each name by its position, against one pass over the group.
    std::printf("\nmember names of the %d-day tick files alone (open, list, close):\n", o.days);
    std::vector<std::string> paths;
    for (int i = 0; i < o.files; ++i) paths.push_back((tick_dir / (generated_stock(i) + ".h5")).string());
    std::size_t names = 0;
    const Cost by_position = best_of(o.repeat, [&] {
        names = 0;
        for (const auto& path : paths)
            names += tb::h5::File::open(path, tb::h5::File::Access::ReadOnly).members().size();
    });
    std::printf("  %-46s %8.3f s wall %8.3f s cpu %9.0f files/s (cpu) %zu names\n", "h5::File::members()",
                by_position.wall, by_position.cpu, o.files / by_position.cpu, names);
    const Cost one_pass = best_of(o.repeat, [&] {
        names = 0;
        for (const auto& path : paths) {
            auto file = tb::h5::File::open(path, tb::h5::File::Access::ReadOnly);
            std::vector<std::string> found;
            auto collect = [](hid_t, const char* name, const H5L_info_t*, void* out) -> herr_t {
                static_cast<std::vector<std::string>*>(out)->emplace_back(name);
                return 0;
            };
            if (H5Literate(file.id(), H5_INDEX_NAME, H5_ITER_INC, nullptr, collect, &found) < 0)
                tb::h5::throw_error_stack("H5Literate");
            names += found.size();
        }
    });
    std::printf("  %-46s %8.3f s wall %8.3f s cpu %9.0f files/s (cpu) %zu names\n", "one H5Literate pass",
                one_pass.wall, one_pass.cpu, o.files / one_pass.cpu, names);

    tb::service::install(std::make_unique<tb::service::SimulatedMarket>());
    if (o.keep) std::printf("\nkept %s\n", root.c_str());
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "check_bench: %s\n", e.what());
    return 1;
}
