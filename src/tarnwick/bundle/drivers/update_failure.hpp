#pragma once
// How a store file updater reports an error raised while its file was open: one record through
// system_log, beginning with "更新 " and the file path, and the shared success flag cleared.
#include <exception>
#include <string>

#include "tarnwick/bundle/host/shared_flag.hpp"

namespace tarnwick::bundle::drivers {

// Whether the service's PermissionDenied gets its own text (tick updates) or counts as any
// other error (minute-bar updates).
enum class ServicePermissionText { Used, NotUsed };

void report_update_failure(const std::string& h5_file, std::exception_ptr error, host::SharedFlag& flag,
                           ServicePermissionText permission_text);

}  // namespace tarnwick::bundle::drivers
