#include "tarnwick/bundle/host/log.hpp"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace tarnwick::bundle::host {
namespace {

std::shared_ptr<spdlog::logger> make_logger() {
    std::vector<spdlog::sink_ptr> sinks;
    sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
    if (const char* file = std::getenv("TARNWICK_LOG_FILE"); file && *file)
        sinks.push_back(std::make_shared<spdlog::sinks::basic_file_sink_mt>(file));
    auto logger = std::make_shared<spdlog::logger>("system_log", sinks.begin(), sinks.end());
    logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%l] [pid %P] %v");
    // Every record reaches the file at once: a worker may be killed right after logging.
    logger->flush_on(spdlog::level::info);
    return logger;
}

spdlog::logger& logger() {
    static std::shared_ptr<spdlog::logger> instance = make_logger();
    return *instance;
}

std::mutex observer_mutex;
SystemLog::Observer current_observer;

void notify(const char* level, const std::string& text) {
    std::lock_guard lock(observer_mutex);
    if (current_observer) current_observer(level, text);
}

}  // namespace

void SystemLog::error(const std::string& text) {
    logger().error(text);
    notify("error", text);
}

void SystemLog::info(const std::string& text) {
    logger().info(text);
    notify("info", text);
}

SystemLog::Observer SystemLog::observe(Observer observer) {
    std::lock_guard lock(observer_mutex);
    return std::exchange(current_observer, std::move(observer));
}

SystemLog& system_log() {
    static SystemLog log;
    return log;
}

}  // namespace tarnwick::bundle::host
