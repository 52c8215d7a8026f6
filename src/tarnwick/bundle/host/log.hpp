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
    void warning(const std::string& text);
    // Tests observe records in-process; returns the previous observer.
    using Observer = std::function<void(const std::string& level, const std::string& text)>;
    Observer observe(Observer observer);
};

SystemLog& system_log();

// Appends the log to `file` from now on instead of the file TARNWICK_LOG_FILE names (the
// command line's --log-file). Opens the log at once: see open_system_log().
void set_log_file(const std::string& file);
// Opens the log now, with its file if one is set, so that a file that cannot be opened is
// reported once, at the start, and not by each worker at its first error. Throws OsError naming
// the file. Idempotent once it succeeded.
void open_system_log();

}  // namespace tarnwick::bundle::host
