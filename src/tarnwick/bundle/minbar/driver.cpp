#include "tarnwick/bundle/minbar/driver.hpp"

#include "tarnwick/bundle/drivers/per_instrument.hpp"
#include "tarnwick/bundle/minbar/append.hpp"

namespace tarnwick::bundle::minbar {

bool update_minbar(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives,
                   int concurrency, bool rebuild, bool enable_bjse) {
    drivers::PerInstrumentRun run;
    run.announcement = "开始更新 {} 只标的的分钟线数据：{}";
    run.task = [path, rebuild](const std::string& id) {
        _append_h5(id, path, std::nullopt, layout::MIN_START_DATE, rebuild);
    };
    run.description = "minute bars";
    return drivers::update_each_instrument(path, tags, with_derivatives, concurrency, enable_bjse, run);
}

}  // namespace tarnwick::bundle::minbar
