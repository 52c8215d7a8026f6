#pragma once
// How a store file updater reports an error raised while its file was open: one record through
// system_log, beginning with "更新 " and the file path, and the shared success flag cleared.
#include <exception>
#include <string>

#include "tarnwick/bundle/host/shared_flag.hpp"

namespace tarnwick::bundle::drivers {

// The service's PermissionDenied gets its own text for minute bars and ticks alike: the file is
// good, and the advice for other errors (delete the file) would lose data the service will not
// send again.
// `kept`, when not empty, is a last line saying what the file still holds (a tick file keeps
// the days finished before the failure).
void report_update_failure(const std::string& h5_file, std::exception_ptr error, host::SharedFlag& flag,
                           const std::string& kept = {});

}  // namespace tarnwick::bundle::drivers
