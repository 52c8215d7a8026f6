// status_bench: how many store files per second `status` reads.
//
// Builds a bundle of N minute-bar files ("equities", D trading days of 240 bars each, deflated
// as the updater writes them) and N tick files (D day members of a few ticks each, Blosc, as the
// tick updater lays out a day): one template file per kind, copied under N identifiers. Then
// times status::bundle_status over the whole bundle with -j 1 and -j 2 (best of --repeat runs),
// and the minute-bar and tick halves on their own (the other half moved aside).
//
// The files were just written, so they are read from the page cache: warm-cache figures. CPU
// time is this process's and its children's (the files are read in forked children).
//
// usage: status_bench [--files N] [--days D] [--repeat R] [--dir DIR] [--keep]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tarnwick/bundle/formats/npy.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/layout/tick_layout.hpp"
#include "tarnwick/bundle/status/status.hpp"
#include "tarnwick/bundle/tick/append.hpp"

namespace {

namespace fs = std::filesystem;
namespace tb = tarnwick::bundle;

struct Options {
    int files = 2000;
    int days = 250;
    int repeat = 3;
    std::string dir;
    bool keep = false;
};

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr, "%s\nusage: status_bench [--files N] [--days D] [--repeat R] [--dir DIR] [--keep]\n",
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
        else if (a == "--repeat")
            o.repeat = std::stoi(value());
        else if (a == "--dir")
            o.dir = value();
        else if (a == "--keep")
            o.keep = true;
        else
            usage("unknown argument " + a);
    }
    if (o.files < 1 || o.days < 1 || o.repeat < 1) usage("counts out of range");
    return o;
}

double cpu_seconds() {
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime) + seconds(children.ru_stime);
}

struct Cost {
    double wall = 1e300;
    double cpu = 1e300;
};

Cost best_of(int repeat, const std::function<void()>& f) {
    Cost best;
    for (int r = 0; r < repeat; ++r) {
        const double cpu0 = cpu_seconds();
        const auto wall0 = std::chrono::steady_clock::now();
        f();
        best.wall =
            std::min(best.wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count());
        best.cpu = std::min(best.cpu, cpu_seconds() - cpu0);
    }
    return best;
}

std::vector<int> weekdays_back(int last, int count) {
    std::vector<int> days;
    for (int d = last; static_cast<int>(days.size()) < count; d = tb::host::add_days(d, -1))
        if (tb::host::weekday(d) != 0 && tb::host::weekday(d) != 6) days.push_back(d);
    std::reverse(days.begin(), days.end());
    return days;
}

void write_minbar(const std::string& path, const std::vector<int>& days) {
    std::vector<tb::layout::EquityBar> bars;
    std::vector<tb::layout::IndexRecord> index;
    for (const int day : days) {
        index.push_back({day, static_cast<std::uint32_t>(bars.size())});
        for (int minute = 0; minute < 240; ++minute) {
            // 09:31 .. 11:30, then 13:01 .. 15:00.
            const int t = minute < 120 ? 9 * 60 + 31 + minute : 13 * 60 + 1 + (minute - 120);
            const int hhmm = t / 60 * 100 + t % 60;
            tb::layout::EquityBar bar{};
            bar.datetime = static_cast<std::int64_t>(day) * 1000000 + hhmm * 100;
            bar.open = bar.high = bar.low = bar.close = 10.0 + minute * 0.01;
            bar.volume = 100.0 * minute;
            bars.push_back(bar);
        }
    }
    auto file = tb::h5::File::create(path);
    tb::h5::DatasetOptions options;
    options.resizable = true;
    options.chunk_rows = 4096;
    options.deflate_level = 9;
    file.create_dataset("data", tb::layout::EQUITIES_DTYPE(), tb::layout::equity_bar_memory_type().id(), bars.size(),
                        bars.data(), options);
    options.chunk_rows = 1024;
    file.create_dataset("index", tb::layout::INDEX_DTYPE(), tb::layout::index_memory_type().id(), index.size(),
                        index.data(), options);
}

void write_ticks(const std::string& path, const std::vector<int>& days) {
    auto file = tb::h5::File::create(path);
    const auto file_type = tb::layout::H5TicksLoader::DTYPES();
    const auto memory_type = tb::layout::H5TicksLoader::memory_type();
    for (const int day : days) {
        std::vector<tb::layout::TickRecord> ticks(20);
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            ticks[i].date = static_cast<std::uint32_t>(day);
            ticks[i].time = static_cast<std::uint32_t>(93003000 + 3000 * i);
            ticks[i].last = 100000 + static_cast<std::int64_t>(i);
        }
        tb::h5::DatasetOptions options;
        options.chunk_rows = tb::tick::chunk_rows(ticks.size(), sizeof(tb::layout::TickRecord));
        options.filters = {tb::layout::COMPRESSION_KWARGS().filter()};
        file.create_dataset(tb::tick::day_key(day), file_type, memory_type.id(), ticks.size(), ticks.data(), options);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    const fs::path root =
        o.dir.empty() ? fs::temp_directory_path() / fmt::format("status_bench_{}", ::getpid()) : fs::path(o.dir);
    const fs::path bundle = root / "bundle";
    const int last_day = 20261204;
    tb::host::set_clock(tb::host::make_datetime(2026, 12, 4, 18, 0, 0));
    const std::vector<int> days = weekdays_back(last_day, o.days);
    const std::vector<int> calendar = weekdays_back(last_day, o.days + 500);

    fs::create_directories(bundle / "h5/equities");
    fs::create_directories(bundle / "ticks");
    std::vector<std::int64_t> values(calendar.begin(), calendar.end());
    tb::formats::write_npy((bundle / "trading_dates.npy").string(), values);
    tb::h5::File::create((bundle / "suspended_days.h5").string());
    const fs::path minbar_template = root / "minbar_template.h5";
    const fs::path tick_template = root / "tick_template.h5";
    write_minbar(minbar_template.string(), days);
    write_ticks(tick_template.string(), days);
    for (int k = 0; k < o.files; ++k) {
        const std::string id = fmt::format("{:06}.XSHE.h5", k);
        fs::copy_file(minbar_template, bundle / "h5/equities" / id, fs::copy_options::overwrite_existing);
        fs::copy_file(tick_template, bundle / "ticks" / id, fs::copy_options::overwrite_existing);
    }
    std::printf("%d minute-bar files (%d days x 240 bars, %ju bytes each), %d tick files (%d day members, %ju bytes)\n",
                o.files, o.days, static_cast<std::uintmax_t>(fs::file_size(minbar_template)), o.files, o.days,
                static_cast<std::uintmax_t>(fs::file_size(tick_template)));

    std::size_t seen = 0;
    const auto run = [&](int jobs) {
        const auto s = tb::status::bundle_status(root.string(), tb::status::Options{jobs});
        seen = 0;
        for (const auto& f : s.files)
            if (f.current() && f.days_held == o.days) ++seen;
    };
    const auto report = [&](const char* what, std::size_t files, const Cost& c) {
        std::printf("%-34s %8.3f s wall %8.3f s cpu %9.0f files/s wall %9.0f files/cpu-s\n", what, c.wall, c.cpu,
                    files / c.wall, files / c.cpu);
    };
    for (const int jobs : {1, 2}) {
        const Cost c = best_of(o.repeat, [&] { run(jobs); });
        if (seen != 2u * o.files) {
            std::fprintf(stderr, "status saw %zu current files, expected %d\n", seen, 2 * o.files);
            return 1;
        }
        report(fmt::format("both kinds, -j {}", jobs).c_str(), 2u * o.files, c);
    }
    // One kind at a time: move the other aside.
    const fs::path aside = root / "aside";
    fs::rename(bundle / "ticks", aside);
    report("minute-bar files only, -j 1", o.files, best_of(o.repeat, [&] { run(1); }));
    if (seen != static_cast<std::size_t>(o.files)) return 1;
    fs::rename(aside, bundle / "ticks");
    fs::rename(bundle / "h5", aside);
    report("tick files only, -j 1", o.files, best_of(o.repeat, [&] { run(1); }));
    if (seen != static_cast<std::size_t>(o.files)) return 1;
    if (!o.keep) fs::remove_all(root);
    return 0;
}
