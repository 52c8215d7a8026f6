#pragma once
// The host's logger, `system_log`: error records to standard error (and to a file when
// TARNWICK_LOG_FILE names one, which end-to-end tests read). Worker processes inherit it.
#include <functional>
#include <string>

namespace tarnwick::bundle::host {

class SystemLog {
public:
    void error(const std::string& text);
    void info(const std::string& text);
    // Tests observe records in-process; returns the previous observer.
    using Observer = std::function<void(const std::string& level, const std::string& text)>;
    Observer observe(Observer observer);
};

SystemLog& system_log();

}  // namespace tarnwick::bundle::host
