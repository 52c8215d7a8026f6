#include "tarnwick/bundle/host/log.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/h5/journal.hpp"

namespace tarnwick::bundle::host {
namespace {

namespace fs = std::filesystem;

std::shared_ptr<spdlog::logger> make_logger(const std::string& file) {
    std::vector<spdlog::sink_ptr> sinks;
    sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
    if (!file.empty()) {
        // spdlog would make the missing folders (as whoever runs this, root included) and leave
        // an empty log where nobody looks; a folder that is not there is a setting to fix.
        const fs::path folder = fs::path(file).parent_path();
        std::error_code error;
        if (!folder.empty() && !fs::is_directory(folder, error))
            throw OsError(OsError::Kind::Other, ENOENT,
                          fmt::format("cannot open the log file \"{}\": \"{}\" is not an existing folder", file,
                                      folder.string()));
        try {
            sinks.push_back(std::make_shared<spdlog::sinks::basic_file_sink_mt>(file));  // appends
        } catch (const spdlog::spdlog_ex& error) {
            throw OsError(OsError::Kind::Other, 0,
                          fmt::format("cannot open the log file \"{}\": {}", file, error.what()));
        }
    }
    auto logger = std::make_shared<spdlog::logger>("system_log", sinks.begin(), sinks.end());
    logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%l] [pid %P] %v");
    // Every record reaches the file at once: a worker may be killed right after logging.
    logger->flush_on(spdlog::level::info);
    return logger;
}

std::mutex logger_mutex;
std::shared_ptr<spdlog::logger> instance;
std::optional<std::string> chosen_file;  // set_log_file(); otherwise TARNWICK_LOG_FILE

std::string log_file_setting() {
    if (chosen_file) return *chosen_file;
    const char* file = std::getenv("TARNWICK_LOG_FILE");
    return file ? file : "";
}

spdlog::logger& logger() {
    std::lock_guard lock(logger_mutex);
    if (!instance) instance = make_logger(log_file_setting());
    return *instance;
}

std::mutex observer_mutex;
SystemLog::Observer current_observer;

void notify(const char* level, const std::string& text) {
    std::lock_guard lock(observer_mutex);
    if (current_observer) current_observer(level, text);
}

// A close that fails in an HDF5 handle's destructor (h5 sits below the log) is logged as a
// warning: it happens while an earlier failure unwinds, which is the error the caller sees.
void log_h5_warning(const std::string& text) {
    try {
        system_log().warning(text);
    } catch (...) {
        std::fprintf(stderr, "warning: %s\n", text.c_str());
    }
}

[[maybe_unused]] const bool close_failures_logged = (h5::set_close_failure_reporter(log_h5_warning), true);
// So is a journal set aside (h5/journal.hpp): the user must hear of it.
[[maybe_unused]] const bool journal_warnings_logged = (h5::set_journal_warning_reporter(log_h5_warning), true);

}  // namespace

void SystemLog::error(const std::string& text) {
    logger().error(text);
    notify("error", text);
}

void SystemLog::warning(const std::string& text) {
    logger().warn(text);
    notify("warning", text);
}

void SystemLog::info(const std::string& text) {
    logger().info(text);
    notify("info", text);
}

SystemLog::Observer SystemLog::observe(Observer observer) {
    std::lock_guard lock(observer_mutex);
    return std::exchange(current_observer, std::move(observer));
}

void set_log_file(const std::string& file) {
    auto logger = make_logger(file);
    std::lock_guard lock(logger_mutex);
    chosen_file = file;
    instance = std::move(logger);
}

void open_system_log() { logger(); }

SystemLog& system_log() {
    static SystemLog log;
    return log;
}

}  // namespace tarnwick::bundle::host
