// The C++ store against the plain h5py way, on the same records, in one run.
//
//   1. create: _append_h5 builds one stock's file of --days trading days (bars served from
//      memory by CachedMarket, so the simulated market's generation is not counted); h5py writes
//      the same records (chunks=True, gzip 9) from a numpy array already in memory;
//   2. daily append: the next --appends days one at a time, mean per append, both ways;
//   3. check: --check-files copies of a --check-days file, examined by examine_min_bar_files
//      with one worker (CPU of this process and its workers) against h5py reading "index" and
//      the "datetime" field of every file and doing the same day comparisons with numpy; the
//      wall time with --workers processes is shown too (h5py's: its loop over the files).
//   4. tick write: one stock's ticks over --tick-days trading days, as the service table hands
//      them over: _append_h5_tick (conversion, Blosc/LZ4 level 9, HDF5) with the table served
//      from memory, against numpy converting the same columns (duplicates, date and time,
//      scaling, grouping by trading date) and h5py writing one dataset a day through the Blosc
//      plug-in (hdf5plugin); the records must be equal.
// `--only tick` runs step 4 alone. CPU time of the work alone; best of --repeat. h5py runs in /usr/bin/python3
// (bench/h5py_side_by_side.py), which also verifies that its records equal ours. The program
// exits 1 when a step fails or the two sides disagree.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "cached_market.hpp"
#include "tarnwick/bundle/checks/minbar_check.hpp"
#include "tarnwick/bundle/formats/npy.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/service/scripted_client.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/tick/append.hpp"

namespace {

namespace fs = std::filesystem;
namespace tb = tarnwick::bundle;

constexpr const char* kId = "600000.XSHG";

struct Options {
    int days = 1213;  // 291,120 bars
    int appends = 20;
    int repeat = 3;
    int first_date = 20150105;
    int check_files = 108;
    int check_days = 250;
    int tick_days = 20;
    unsigned workers = 2;
    bool ticks_only = false;  // --only tick: step 4 alone
    std::string python = "/usr/bin/python3";
    std::string script = TARNWICK_BENCH_DIR "/h5py_side_by_side.py";
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) throw std::invalid_argument("missing value after " + a);
        const std::string v = argv[++i];
        if (a == "--days")
            o.days = std::stoi(v);
        else if (a == "--appends")
            o.appends = std::stoi(v);
        else if (a == "--repeat")
            o.repeat = std::stoi(v);
        else if (a == "--first-date")
            o.first_date = std::stoi(v);
        else if (a == "--check-files")
            o.check_files = std::stoi(v);
        else if (a == "--check-days")
            o.check_days = std::stoi(v);
        else if (a == "--tick-days")
            o.tick_days = std::stoi(v);
        else if (a == "--workers")
            o.workers = static_cast<unsigned>(std::stoi(v));
        else if (a == "--python")
            o.python = v;
        else if (a == "--only" && v == "tick")
            o.ticks_only = true;
        else
            throw std::invalid_argument("unknown argument " + a);
    }
    if (o.days < 1 || o.appends < 1 || o.repeat < 1 || o.check_files < 1 || o.check_days < 2 || o.workers < 1)
        throw std::invalid_argument("counts must be positive");
    return o;
}

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

// CPU of this process and of the children it has waited for (the check's workers).
double cpu_with_children() {
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    return seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime) + seconds(children.ru_stime);
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void evening_of(int day) { tb::host::set_clock(tb::host::date_from_number(day) + std::chrono::hours(18)); }

// Runs the h5py script and returns its "key value" lines.
std::map<std::string, double> run_h5py(const Options& o, const std::string& args) {
    const std::string command = o.python + " '" + o.script + "' " + args;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run " + command);
    std::map<std::string, double> values;
    char key[64];
    double value = 0;
    while (std::fscanf(pipe, "%63s %lf", key, &value) == 2) values[key] = value;
    if (pclose(pipe) != 0) throw std::runtime_error("h5py side failed: " + command);
    return values;
}

template <class T>
void write_raw(const fs::path& path, const std::vector<T>& values) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(T)));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::int64_t> microseconds(const std::vector<tb::host::DateTime>& times) {
    std::vector<std::int64_t> out;
    out.reserve(times.size());
    for (const auto& t : times) out.push_back(t.time_since_epoch().count());
    return out;
}

struct TickResult {
    double cpu = 0;
    std::size_t ticks = 0;
};

// Our tick write of one stock's table, the service answering from memory (the tables are
// copied before the clock starts). The table's columns go to `columns_dir` for the h5py side.
TickResult our_tick_write(const Options& o, const fs::path& dir, const fs::path& columns_dir) {
    const std::string id = "000001.XSHE";
    tb::service::SimulatedMarket market(tb::service::SimulatedMarket::Settings{});
    const std::vector<int> calendar = market.get_trading_dates(20261116, 20271231);
    const int first = calendar.front(), last = calendar.at(static_cast<std::size_t>(o.tick_days) - 1);
    evening_of(last);
    tb::service::PriceQuery query;
    query.order_book_id = id;
    query.start_date = first;
    query.end_date = last;
    query.frequency = tb::service::Frequency::Day;
    const tb::service::Frame day_bars = *market.get_price(query);
    query.frequency = tb::service::Frequency::Tick;
    const tb::service::Frame ticks = *market.get_price(query);
    if (!ticks.trading_date) throw std::runtime_error("the tick table has no trading_date");

    fs::create_directories(columns_dir);
    write_raw(columns_dir / "timestamp.i8", microseconds(ticks.timestamp));
    write_raw(columns_dir / "trading_date.i8", microseconds(*ticks.trading_date));
    for (const auto& [name, values] : ticks.columns) write_raw(columns_dir / (name + ".f8"), values);

    std::optional<tb::service::Frame> pending_ticks, pending_days;
    auto client = std::make_unique<tb::service::ScriptedClient>();
    client->on_get_price = [&](const tb::service::PriceQuery& q) -> std::optional<tb::service::Frame> {
        return std::move(q.frequency == tb::service::Frequency::Tick ? pending_ticks : pending_days);
    };
    client->on_instruments = [&](const std::string&, const std::optional<std::string>&) {
        tb::service::InstrumentLookup found;
        found.value = tb::service::Instrument{id, "CS", "", "", "0000-00-00", "", ""};
        return found;
    };
    auto previous = tb::service::install(std::move(client));
    TickResult result;
    for (int k = 0; k < o.repeat; ++k) {
        fs::remove_all(dir);
        pending_ticks = ticks;
        pending_days = day_bars;
        const double start = cpu_with_children();
        tb::tick::_append_h5_tick(id, dir.string(), std::nullopt, first);
        const double cpu = cpu_with_children() - start;
        result.cpu = k == 0 ? cpu : std::min(result.cpu, cpu);
    }
    tb::service::install(std::move(previous));
    if (!tb::host::sval().value()) throw std::runtime_error("the tick update failed");
    result.ticks = ticks.rows();
    return result;
}

struct TickComparison {
    TickResult ours;
    double h5py_cpu = 0;
};

TickComparison compare_ticks(const Options& o, const fs::path& work) {
    const fs::path tick_dir = work / "ticks";
    TickComparison result;
    result.ours = our_tick_write(o, tick_dir, work / "tick-columns");
    auto h5py =
        run_h5py(o, fmt::format("tick '{}' '{}' '{}' {}", (work / "tick-columns").string(),
                                (tick_dir / "000001.XSHE.h5").string(), (work / "h5py-ticks.h5").string(), o.repeat));
    result.h5py_cpu = h5py["tick_cpu_s"];
    return result;
}

void print_tick_rows(const Options& o, const TickComparison& t) {
    std::printf("| tick write, CPU ms (%zu ticks, %d days) | %.3f | %.3f | %.2fx |\n", t.ours.ticks, o.tick_days,
                t.ours.cpu * 1e3, t.h5py_cpu * 1e3, t.h5py_cpu / t.ours.cpu);
    std::printf("| tick write, M ticks/s | %.2f | %.2f | |\n", t.ours.ticks / t.ours.cpu / 1e6,
                t.ours.ticks / t.h5py_cpu / 1e6);
}

// --only tick: the tick write alone, in the same table form.
void compare_tick_writes(const Options& o, const fs::path& work) {
    const TickComparison ticks = compare_ticks(o, work);
    std::printf("tick write: 000001.XSHE, %d days; best of %d\n\n", o.tick_days, o.repeat);
    std::printf("| step | ours | h5py | h5py / ours |\n|---|---:|---:|---:|\n");
    print_tick_rows(o, ticks);
}

struct Row {
    std::string what;
    double ours, theirs;
    std::string unit;
};

}  // namespace

int main(int argc, char** argv) try {
    const Options o = parse(argc, argv);
    tb::host::process_init(std::make_shared<tb::host::SharedFlag>(true));
    const fs::path work = fs::temp_directory_path() / fmt::format("side_by_side-{}", ::getpid());
    fs::create_directories(work);
    if (o.ticks_only) {
        tb::host::set_console({[](const std::string&) {}, nullptr});
        compare_tick_writes(o, work);
        fs::remove_all(work);
        return 0;
    }

    tb::service::SimulatedMarket::Settings settings;
    settings.first_date = o.first_date;
    auto market = std::make_unique<tb::service::SimulatedMarket>(settings);
    const std::vector<int> dates = market->get_trading_dates(o.first_date, 29991231);
    const std::size_t total_days = static_cast<std::size_t>(o.days + o.appends);
    if (dates.size() < total_days) throw std::runtime_error("the calendar is too short");
    evening_of(dates[total_days - 1]);
    tb::service::install(
        std::make_unique<tb::bench::CachedMarket>(std::move(market), kId, o.first_date, dates[total_days - 1]));

    // 1 and 2: ours.
    double create = 0, append = 0;
    fs::path file;
    for (int k = 0; k < o.repeat; ++k) {
        const fs::path dir = work / fmt::format("ours{}", k);
        evening_of(dates[static_cast<std::size_t>(o.days) - 1]);
        double start = cpu_with_children();
        tb::minbar::_append_h5(kId, dir.string(), std::nullopt, o.first_date);
        const double c = cpu_with_children() - start;
        double a = 0;
        for (std::size_t day = static_cast<std::size_t>(o.days); day < total_days; ++day) {
            evening_of(dates[day]);
            start = cpu_with_children();
            tb::minbar::_append_h5(kId, dir.string(), std::nullopt, o.first_date);
            a += cpu_with_children() - start;
        }
        a /= o.appends;
        create = k == 0 ? c : std::min(create, c);
        append = k == 0 ? a : std::min(append, a);
        file = dir / "equities" / (std::string(kId) + ".h5");
    }
    if (!tb::host::sval().value()) throw std::runtime_error("an update failed");
    const std::uintmax_t our_bytes = fs::file_size(file);
    auto h5py = run_h5py(
        o, fmt::format("minbar '{}' {} {} {} '{}'", file.string(), o.days, o.appends, o.repeat, work.string()));

    // 3: a bundle of identical complete files.
    const fs::path root = work / "bundle-root";
    {
        const fs::path one = work / "check-source";
        evening_of(dates[static_cast<std::size_t>(o.check_days) - 1]);
        tb::minbar::_append_h5(kId, one.string(), std::nullopt, o.first_date);
        fs::create_directories(fs::path(tb::layout::minbar_root(root.string())) / "equities");
        for (int k = 0; k < o.check_files; ++k)
            fs::copy_file(
                one / "equities" / (std::string(kId) + ".h5"),
                fs::path(tb::layout::minbar_root(root.string())) / "equities" / fmt::format("{:06d}.XSHG.h5", k));
        std::vector<std::int64_t> calendar(dates.begin(), dates.begin() + o.check_days);
        tb::formats::write_npy(tb::layout::trading_dates_file(root.string()), calendar);
    }
    tb::host::set_console({[](const std::string&) {}, nullptr});
    double check = 0, check_wall_1 = 0, check_wall_n = 0;
    for (int k = 0; k < o.repeat; ++k) {
        for (unsigned workers : {1u, o.workers}) {
            const double cpu0 = cpu_with_children(), wall0 = wall_seconds();
            const auto lists = tb::checks::examine_min_bar_files(root.string(), workers);
            const double cpu = cpu_with_children() - cpu0, wall = wall_seconds() - wall0;
            if (!lists || !lists->error_file_path_list.empty() || !lists->blocking_or_permission_error.empty())
                throw std::runtime_error("the check found problems in good files");
            if (workers == 1) {
                check = k == 0 ? cpu : std::min(check, cpu);
                check_wall_1 = k == 0 ? wall : std::min(check_wall_1, wall);
            } else {
                check_wall_n = k == 0 ? wall : std::min(check_wall_n, wall);
            }
        }
    }
    double h5py_check = 0, h5py_check_wall = 0;
    for (int k = 0; k < o.repeat; ++k) {
        auto values = run_h5py(o, fmt::format("check '{}'", root.string()));
        const double wall = values["check_wall_s"];
        if (values["good"] != o.check_files) throw std::runtime_error("the h5py check disagrees");
        h5py_check = k == 0 ? values["check_cpu_s"] : std::min(h5py_check, values["check_cpu_s"]);
        h5py_check_wall = k == 0 ? wall : std::min(h5py_check_wall, wall);
    }

    const TickComparison ticks = compare_ticks(o, work);

    std::printf("records: %s, %d days created + %d daily appends (%s); check: %d files of %d days; best of %d\n\n", kId,
                o.days, o.appends, "bars from memory", o.check_files, o.check_days, o.repeat);
    std::printf("| step | ours | h5py | h5py / ours |\n|---|---:|---:|---:|\n");
    const std::vector<Row> rows = {
        {"create, CPU ms", create * 1e3, h5py["create_cpu_s"] * 1e3, ""},
        {"daily append, CPU ms (mean)", append * 1e3, h5py["append_cpu_s"] * 1e3, ""},
        {"check, CPU ms (1 worker)", check * 1e3, h5py_check * 1e3, ""},
        {fmt::format("check, wall ms (ours: {} workers; h5py: one process)", o.workers), check_wall_n * 1e3,
         h5py_check_wall * 1e3, ""},
    };
    for (const Row& r : rows)
        std::printf("| %s | %.3f | %.3f | %.2fx |\n", r.what.c_str(), r.ours, r.theirs, r.theirs / r.ours);
    print_tick_rows(o, ticks);
    std::printf("| file bytes (after the appends) | %ju | %.0f | %.3f |\n", our_bytes, h5py["file_bytes"],
                h5py["file_bytes"] / static_cast<double>(our_bytes));
    std::printf("\ncheck wall with 1 worker: %.1f ms; h5py chunk rows: %.0f\n", check_wall_1 * 1e3, h5py["chunk_rows"]);
    fs::remove_all(work);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "side_by_side: %s\n", e.what());
    return 1;
}
