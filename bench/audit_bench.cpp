// audit_bench: how many store files per second `check content` reads and judges, beside the
// check's examination of the same files.
//
// Speed: one real minute-bar file of D trading days (and one tick file of the simulated market's
// tick history) made by the updaters for a generated stock, copied under the identifiers of N
// generated stocks; then audit_bundle() with one reader process and examine_min_bar_files() with
// one worker, each the best of --repeat runs (wall clock; the work runs in the child process).
// The copies hold the same content, so they must give no findings either.
//
// Clean universe (--universe U): U generated stocks updated through the library's own drivers
// (minute bars of --universe-days trading days, with -j 2 workers), every file distinct, then
// audited, together with their ticks (the market's tick history) unless --no-universe-ticks:
// the run fails unless there are no findings and every file was read.
//
// usage: audit_bench [--files N] [--days D] [--repeat R] [--universe U] [--universe-days D2]
//                    [--no-universe-ticks] [--dir DIR] [--keep]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tarnwick/bundle/audit/audit.hpp"
#include "tarnwick/bundle/checks/minbar_check.hpp"
#include "tarnwick/bundle/formats/npy.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/console.hpp"
#include "tarnwick/bundle/host/progress.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/paths.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/minbar/driver.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/tick/append.hpp"
#include "tarnwick/bundle/tick/driver.hpp"

namespace {

namespace fs = std::filesystem;
namespace tb = tarnwick::bundle;

constexpr int kLastDay = 20261204;  // the clock stands at this day's 18:00

struct Options {
    int files = 1000;
    int days = 250;
    int repeat = 3;
    int universe = 0;
    int universe_days = 20;
    bool universe_ticks = true;
    std::string dir;
    bool keep = false;
};

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr,
                 "%s\nusage: audit_bench [--files N] [--days D] [--repeat R] [--universe U] [--universe-days D2] "
                 "[--no-universe-ticks] [--dir DIR] [--keep]\n",
                 why.c_str());
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> int {
            if (i + 1 >= argc) usage("missing value after " + a);
            return std::stoi(argv[++i]);
        };
        if (a == "--files")
            o.files = value();
        else if (a == "--days")
            o.days = value();
        else if (a == "--repeat")
            o.repeat = value();
        else if (a == "--universe")
            o.universe = value();
        else if (a == "--universe-days")
            o.universe_days = value();
        else if (a == "--no-universe-ticks")
            o.universe_ticks = false;
        else if (a == "--dir" && i + 1 < argc)
            o.dir = argv[++i];
        else if (a == "--keep")
            o.keep = true;
        else
            usage("unknown argument " + a);
    }
    if (o.files < 1 || o.days < 3 || o.repeat < 1 || o.universe < 0 || o.universe_days < 3)
        usage("counts out of range");
    return o;
}

// Best of `repeat` runs of `f`: wall clock, and CPU time of this process and its reaped children
// (the readers), which the other sessions on a shared machine disturb far less.
struct Cost {
    double wall = 1e300;
    double cpu = 1e300;
};

double cpu_seconds() {
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime) + seconds(children.ru_stime);
}

Cost best_of(int repeat, const std::function<void()>& f) {
    Cost best;
    for (int r = 0; r < repeat; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = cpu_seconds();
        f();
        best.cpu = std::min(best.cpu, cpu_seconds() - c0);
        best.wall = std::min(best.wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

std::string generated_stock(int i) {
    const int serial = 10000 + i / 2;
    return i % 2 == 0 ? fmt::format("6{:05}.XSHG", serial) : fmt::format("0{:05}.XSHE", serial);
}

struct RemoveAtExit {
    fs::path dir;
    bool keep = false;
    ~RemoveAtExit() {
        std::error_code ignored;
        if (!keep && !dir.empty()) fs::remove_all(dir, ignored);
    }
};

fs::path fresh_root(const Options& o, const std::string& name) {
    if (!o.dir.empty()) {
        fs::create_directories(fs::path(o.dir) / name);
        return fs::path(o.dir) / name;
    }
    std::string pattern = (fs::temp_directory_path() / (name + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// The calendar and the market's settings for files of `days` trading days up to kLastDay.
tb::service::SimulatedMarket::Settings market_for(int stocks, int days, const fs::path& root) {
    tb::service::SimulatedMarket::Settings settings;
    settings.extra_stocks = stocks;
    tb::service::SimulatedMarket probe(settings);
    const std::vector<int> calendar = probe.get_trading_dates(tb::layout::MIN_START_DATE, 20271231);
    const std::vector<int> history = probe.get_trading_dates(20200101, kLastDay);
    if (static_cast<int>(history.size()) < days) usage("the days reach back too far");
    settings.first_date = history[history.size() - static_cast<std::size_t>(days)];
    fs::create_directories(tb::layout::bundle_dir(root.string()));
    const std::vector<std::int64_t> values(calendar.begin(), calendar.end());
    tb::formats::write_npy(tb::layout::trading_dates_file(root.string()), values);
    return settings;
}

void row(const char* what, int files, const Cost& cost) {
    std::printf("  %-40s %7.3f s wall %7.3f s cpu %6.0f files/s (wall) %6.0f files/s (cpu)\n", what, cost.wall,
                cost.cpu, files / cost.wall, files / cost.cpu);
}

void print_counts(const tb::audit::Report& report) {
    for (const auto& [kind, count] : report.counts()) std::printf("    %-18s %zu\n", tb::audit::kind_name(kind), count);
    for (const auto& s : report.skipped) std::printf("    not read: %s: %s\n", s.path.c_str(), s.reason.c_str());
}

void speed(const Options& o) {
    const fs::path root = fresh_root(o, "audit-bench");
    const RemoveAtExit cleanup{root, o.keep};
    const auto settings = market_for(o.files, o.days, root);
    tb::service::install(std::make_unique<tb::service::SimulatedMarket>(settings));
    const fs::path minbar_dir = fs::path(tb::layout::minbar_root(root.string())) / tb::layout::EQUITIES_GROUP;
    const fs::path tick_dir = tb::layout::tick_root(root.string());
    tb::minbar::_append_h5(generated_stock(0), tb::layout::minbar_root(root.string()));
    const fs::path minbar_template = minbar_dir / (generated_stock(0) + ".h5");
    for (int i = 1; i < o.files; ++i)
        fs::copy_file(minbar_template, minbar_dir / (generated_stock(i) + ".h5"), fs::copy_options::overwrite_existing);
    const auto days =
        tb::h5::File::open(minbar_template.string(), tb::h5::File::Access::ReadOnly).open_dataset("index").rows();
    std::printf("minute bars: %d files of %llu days, %.2f MiB each\n", o.files, static_cast<unsigned long long>(days),
                fs::file_size(minbar_template) / 1048576.0);

    tb::audit::Report report;
    const Cost audit = best_of(o.repeat, [&] { report = tb::audit::audit_bundle(root.string(), {1}); });
    row("check content (1 reader)", o.files, audit);
    std::printf("    %zu findings\n", report.findings.size());
    if (!report.clean()) {
        print_counts(report);
        throw std::runtime_error("the simulated market's files gave findings");
    }
    const Cost check = best_of(o.repeat, [&] { tb::checks::examine_min_bar_files(root.string(), 1); });
    row("check minbar's examination (1 worker)", o.files, check);

    // Ticks: the same files with a tick file each (the market's tick history).
    tb::tick::_append_h5_tick(generated_stock(0), tick_dir.string());
    const fs::path tick_template = tick_dir / (generated_stock(0) + ".h5");
    for (int i = 1; i < o.files; ++i)
        fs::copy_file(tick_template, tick_dir / (generated_stock(i) + ".h5"), fs::copy_options::overwrite_existing);
    const auto tick_days = tb::h5::File::open(tick_template.string(), tb::h5::File::Access::ReadOnly).members().size();
    const Cost both = best_of(o.repeat, [&] { report = tb::audit::audit_bundle(root.string(), {1}); });
    row("check content, bars + ticks (1 reader)", o.files, both);
    std::printf("    tick files: %zu days, %.2f MiB each; %zu findings\n", tick_days,
                fs::file_size(tick_template) / 1048576.0, report.findings.size());
    if (!report.clean()) {
        print_counts(report);
        throw std::runtime_error("the simulated market's bars and ticks gave findings");
    }
}

void universe(const Options& o) {
    const fs::path root = fresh_root(o, "audit-universe");
    const RemoveAtExit cleanup{root, o.keep};
    const auto settings = market_for(o.universe, o.universe_days, root);
    tb::service::install(std::make_unique<tb::service::SimulatedMarket>(settings));
    std::vector<std::string> ids;
    for (int i = 0; i < o.universe; ++i) ids.push_back(generated_stock(i));
    const auto t0 = std::chrono::steady_clock::now();
    if (!tb::minbar::update_minbar(tb::layout::minbar_root(root.string()), ids, false, 2, false, false))
        throw std::runtime_error("the minute-bar update failed");
    if (o.universe_ticks && !tb::tick::update_tick(tb::layout::tick_root(root.string()), ids, false, 2, false, false))
        throw std::runtime_error("the tick update failed");
    std::printf("\nclean universe: %d instruments, %d trading days of minute bars%s, built in %.1f s\n", o.universe,
                o.universe_days, o.universe_ticks ? " and the tick history" : "",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    tb::audit::Report report;
    const Cost audit = best_of(1, [&] { report = tb::audit::audit_bundle(root.string(), {2}); });
    std::printf(
        "  %zu minute-bar files (%zu days), %zu tick files (%zu days) in %.2f s wall, %.2f s cpu (2 readers): %zu "
        "findings\n",
        report.minbar_files, report.minbar_days, report.tick_files, report.tick_days, audit.wall, audit.cpu,
        report.findings.size());
    print_counts(report);
    if (!report.clean()) throw std::runtime_error("a clean universe gave findings");
}

}  // namespace

int main(int argc, char** argv) try {
    const Options o = parse(argc, argv);
    tb::host::set_console({[](const std::string&) {}, [] { return std::optional<std::string>(); }});
    tb::host::set_clock(tb::host::make_datetime(kLastDay / 10000, kLastDay / 100 % 100, kLastDay % 100, 18, 0));
    tb::host::show_progress(false);
    speed(o);
    if (o.universe > 0) universe(o);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "audit_bench: %s\n", e.what());
    return 1;
}
