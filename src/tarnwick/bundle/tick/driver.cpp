#include "tarnwick/bundle/tick/driver.hpp"

#include "tarnwick/bundle/drivers/per_instrument.hpp"
#include "tarnwick/bundle/drivers/plan.hpp"
#include "tarnwick/bundle/tick/append.hpp"

namespace tarnwick::bundle::tick {
namespace {

drivers::PerInstrumentRun tick_run(const std::string& path, bool rebuild) {
    drivers::PerInstrumentRun run;
    run.announcement = "开始更新 {} 只标的的tick数据：{}";
    run.task = [path, rebuild](const std::string& id) {
        _append_h5_tick(id, path, std::nullopt, layout::MIN_START_DATE, rebuild);
    };
    run.create_path = true;
    run.description = "ticks";
    return run;
}

}  // namespace

bool update_tick(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives, int concurrency,
                 bool rebuild, bool enable_bjse) {
    drivers::PerInstrumentRun run = tick_run(path, rebuild);
    run.record_as = selection::StoreKind::Tick;
    // Its rate estimates the time of later plans (a stopped run records nothing).
    drivers::RateRecorder rate(path, "tick");
    const bool ok = drivers::update_each_instrument(path, tags, with_derivatives, concurrency, enable_bjse, run);
    rate.finish();
    return ok;
}

bool update_tick_ids(const std::string& path, const std::vector<std::string>& ids, int concurrency) {
    // Its rate estimates the time of later plans (a stopped run records nothing).
    drivers::RateRecorder rate(path, "tick");
    const bool ok = drivers::update_each_instrument(path, ids, false, concurrency, false, tick_run(path, false));
    rate.finish();
    return ok;
}

}  // namespace tarnwick::bundle::tick
