#include "tarnwick/bundle/minbar/driver.hpp"

#include "tarnwick/bundle/drivers/per_instrument.hpp"
#include "tarnwick/bundle/drivers/plan.hpp"
#include "tarnwick/bundle/minbar/append.hpp"

namespace tarnwick::bundle::minbar {
namespace {

drivers::PerInstrumentRun minbar_run(const std::string& path, bool rebuild) {
    drivers::PerInstrumentRun run;
    run.announcement = "开始更新 {} 只标的的分钟线数据：{}";
    run.task = [path, rebuild](const std::string& id) {
        _append_h5(id, path, std::nullopt, layout::MIN_START_DATE, rebuild);
    };
    run.description = "minute bars";
    return run;
}

}  // namespace

bool update_minbar(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                   int concurrency, bool rebuild, bool enable_bjse) {
    drivers::PerInstrumentRun run = minbar_run(path, rebuild);
    run.record_as = selection::StoreKind::Minbar;
    // Its rate estimates the time of later plans (a stopped run records nothing).
    drivers::RateRecorder rate(path, "minbar");
    const bool ok = drivers::update_each_instrument(path, tags, with_derivatives, concurrency, enable_bjse, run);
    rate.finish();
    return ok;
}

bool update_minbar_ids(const std::string& path, const std::vector<std::string>& ids, int concurrency) {
    // Its rate estimates the time of later plans (a stopped run records nothing).
    drivers::RateRecorder rate(path, "minbar");
    const bool ok = drivers::update_each_instrument(path, ids, false, concurrency, false, minbar_run(path, false));
    rate.finish();
    return ok;
}

}  // namespace tarnwick::bundle::minbar
