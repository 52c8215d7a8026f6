#include "tarnwick/bundle/tick/driver.hpp"

#include "tarnwick/bundle/drivers/per_instrument.hpp"
#include "tarnwick/bundle/tick/append.hpp"

namespace tarnwick::bundle::tick {

bool update_tick(const std::string& path, const std::vector<std::string>& tags, bool with_derivatives, int concurrency,
                 bool rebuild, bool enable_bjse) {
    drivers::PerInstrumentRun run;
    run.announcement = "开始更新 {} 只标的的tick数据：{}";
    run.task = [path, rebuild](const std::string& id) {
        _append_h5_tick(id, path, std::nullopt, layout::MIN_START_DATE, rebuild);
    };
    run.create_path = true;
    run.description = "ticks";
    return drivers::update_each_instrument(path, tags, with_derivatives, concurrency, enable_bjse, run);
}

}  // namespace tarnwick::bundle::tick
