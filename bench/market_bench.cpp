// What the simulated market itself costs: generating minute bars and ticks, with no store behind.
//
// Benchmarks and end-to-end tests build bundles of thousands of instruments from the simulated
// market, so its generation cost bounds how long they run. For a few instruments (stocks and
// futures with their night session) this asks for the minute bars of --days trading days and the
// ticks of --tick-days trading days, one query per instrument, and prints the best of --repeat runs
// in process CPU time per instrument day.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace {

namespace tb = tarnwick::bundle;
using tb::service::Frequency;
using tb::service::SimulatedMarket;

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Result {
    double cpu = 1e300;  // best run, seconds
    std::size_t rows = 0;
};

// Best CPU time of `repeat` rounds of one query per instrument over [from, to].
Result measure(SimulatedMarket& market, const std::vector<std::string>& ids, int from, int to, Frequency f,
               int repeat) {
    Result best;
    for (int r = 0; r < repeat; ++r) {
        std::size_t rows = 0;
        const double start = cpu_seconds();
        for (const auto& id : ids) {
            const auto frame = market.get_price({id, from, to, f, "none", "cn"});
            if (!frame) {
                std::fprintf(stderr, "no data for %s %d..%d\n", id.c_str(), from, to);
                std::exit(1);
            }
            rows += frame->rows();
        }
        best.cpu = std::min(best.cpu, cpu_seconds() - start);
        best.rows = rows;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    int days = 60, tick_days = 10, repeat = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const int value = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--days") == 0)
            days = value;
        else if (std::strcmp(argv[i], "--tick-days") == 0)
            tick_days = value;
        else if (std::strcmp(argv[i], "--repeat") == 0)
            repeat = value;
        else {
            std::fprintf(stderr, "usage: market_bench [--days N] [--tick-days N] [--repeat N]\n");
            return 2;
        }
    }
    if (days < 1 || tick_days < 1 || repeat < 1) {
        std::fprintf(stderr, "--days, --tick-days and --repeat must be at least 1\n");
        return 2;
    }

    tb::host::set_clock(tb::host::make_datetime(2026, 12, 7, 18, 0, 0));
    SimulatedMarket market{SimulatedMarket::Settings{}};
    const std::vector<int> all = market.get_trading_dates(20260901, 20261207);
    const std::vector<int> ticked = market.get_trading_dates(20261116, 20261207);
    const int bar_from = all[all.size() - static_cast<std::size_t>(std::min<int>(days, static_cast<int>(all.size())))];
    const int tick_from =
        ticked[ticked.size() - static_cast<std::size_t>(std::min<int>(tick_days, static_cast<int>(ticked.size())))];
    const std::vector<std::string> ids = {"000001.XSHE", "600000.XSHG", "510050.XSHG", "IF2612", "CU2701"};

    const Result bars = measure(market, ids, bar_from, all.back(), Frequency::Minute, repeat);
    const Result ticks = measure(market, ids, tick_from, ticked.back(), Frequency::Tick, repeat);
    const auto per_day = [&](const Result& r, std::size_t n) { return r.cpu * 1e6 / static_cast<double>(n); };
    const std::size_t bar_days =
        ids.size() * static_cast<std::size_t>(std::min<int>(days, static_cast<int>(all.size())));
    const std::size_t tick_instrument_days =
        ids.size() * static_cast<std::size_t>(std::min<int>(tick_days, static_cast<int>(ticked.size())));
    std::printf("| query | instrument days | rows | cpu ms | us per instrument day |\n|---|---:|---:|---:|---:|\n");
    std::printf("| minute bars | %zu | %zu | %.2f | %.1f |\n", bar_days, bars.rows, bars.cpu * 1e3,
                per_day(bars, bar_days));
    std::printf("| ticks | %zu | %zu | %.2f | %.1f |\n", tick_instrument_days, ticks.rows, ticks.cpu * 1e3,
                per_day(ticks, tick_instrument_days));
    return bars.rows > 0 && ticks.rows > 0 ? 0 : 1;
}
