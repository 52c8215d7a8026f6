// plan_bench: the CPU a dry run spends per instrument beyond resolving its tags.
//
// Against the simulated market with N generated stocks: resolves "stock" (timed on its own),
// then plans the minute bars of every stock three ways: with no store files (every plan is a
// creation), with a file per stock (one template file of D trading days copied under every
// identifier, so each plan opens a file and reads its day index and its last bar), and the ticks
// of every stock with no files (each plan asks the market for the stock's day bars). Prints the
// CPU seconds of each, best of --repeat runs, and checks the plans' totals.
//
// usage: plan_bench [--stocks N] [--repeat R] [--dir DIR]
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include <fmt/format.h>

#include "tarnwick/bundle/drivers/plan.hpp"
#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/host/shared_flag.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/minbar/append.hpp"
#include "tarnwick/bundle/minbar/plan.hpp"
#include "tarnwick/bundle/selection/tags.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"
#include "tarnwick/bundle/tick/plan.hpp"

namespace {

namespace fs = std::filesystem;
namespace tb = tarnwick::bundle;

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double best_of(int repeat, const std::function<void()>& run) {
    double best = 1e30;
    for (int i = 0; i < repeat; ++i) {
        const double start = cpu_seconds();
        run();
        best = std::min(best, cpu_seconds() - start);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    int stocks = 2000, repeat = 3;
    std::string dir = (fs::temp_directory_path() / "plan_bench").string();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--stocks")
            stocks = std::atoi(argv[i + 1]);
        else if (flag == "--repeat")
            repeat = std::atoi(argv[i + 1]);
        else if (flag == "--dir")
            dir = argv[i + 1];
        else {
            std::fprintf(stderr, "usage: plan_bench [--stocks N] [--repeat R] [--dir DIR]\n");
            return 2;
        }
    }
    tb::service::SimulatedMarket::Settings settings;
    settings.extra_stocks = stocks;
    settings.first_date = 20260601;
    tb::service::install(std::make_unique<tb::service::SimulatedMarket>(settings));
    tb::host::set_clock(tb::host::make_datetime(2026, 12, 4, 18, 0));
    tb::host::process_init(std::make_shared<tb::host::SharedFlag>(true));
    fs::remove_all(dir);
    const std::string h5 = (fs::path(dir) / "h5").string(), empty = (fs::path(dir) / "none").string();

    std::set<std::string> resolved;
    const double resolve = best_of(repeat, [&] { resolved = tb::selection::_merge_tags({"stock"}, false, false); });
    const std::vector<std::string> ids(resolved.begin(), resolved.end());
    const auto calendar = tb::service::current().get_trading_dates(tb::layout::MIN_START_DATE, 20261204);

    std::vector<tb::drivers::InstrumentPlan> plans;
    const double create = best_of(repeat, [&] { plans = tb::minbar::plan_minbar(empty, ids, false, calendar); });
    const auto creating = std::count_if(plans.begin(), plans.end(),
                                        [](const auto& p) { return p.action == tb::drivers::PlanAction::Create; });

    tb::host::set_clock(tb::host::make_datetime(2026, 11, 27, 18, 0));
    tb::minbar::_append_h5(ids.front(), h5);
    const fs::path folder = fs::path(h5) / "equities";
    const fs::path source = folder / (ids.front() + ".h5");
    for (const auto& id : ids)
        if (id != ids.front()) fs::copy_file(source, folder / (id + ".h5"), fs::copy_options::overwrite_existing);
    tb::host::set_clock(tb::host::make_datetime(2026, 12, 4, 18, 0));
    const double extend = best_of(repeat, [&] { plans = tb::minbar::plan_minbar(h5, ids, false, calendar); });
    const auto extending = std::count_if(plans.begin(), plans.end(),
                                         [](const auto& p) { return p.action == tb::drivers::PlanAction::Extend; });
    const double ticks = best_of(repeat, [&] { plans = tb::tick::plan_tick(empty, ids, false); });

    fmt::print("{} instruments (\"stock\"), CPU seconds, best of {}:\n", ids.size(), repeat);
    fmt::print("  tag resolution                      {:.3f}\n", resolve);
    fmt::print("  minute bars, no files ({} create) {:.3f}\n", creating, create);
    fmt::print("  minute bars, a file each ({} extend) {:.3f}\n", extending, extend);
    fmt::print("  ticks, no files (day bars asked)    {:.3f}\n", ticks);
    fs::remove_all(dir);
    // Every stock but the delisted ones has a file to extend.
    const bool ok = creating > 0 && extending + 2 >= static_cast<long>(ids.size()) && !plans.empty();
    if (!ok) std::fprintf(stderr, "plan_bench: the plans are not what the bundle holds\n");
    return ok ? 0 : 1;
}
