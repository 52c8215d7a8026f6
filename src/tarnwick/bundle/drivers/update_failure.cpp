#include "tarnwick/bundle/drivers/update_failure.hpp"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/host/log.hpp"
#include "tarnwick/bundle/service/errors.hpp"

namespace tarnwick::bundle::drivers {
namespace {

// The errno text of an error of the storage itself, nullptr for other causes.
const char* storage_failure(const OsError& e) {
    switch (e.error_number()) {
        case ENOSPC:
        case EDQUOT:
        case EROFS:
        case EFBIG:
            return std::strerror(e.error_number());
        default:
            return nullptr;
    }
}

}  // namespace

void report_update_failure(const std::string& h5_file, std::exception_ptr error, host::SharedFlag& flag,
                           const std::string& kept) {
    std::string message;
    try {
        std::rethrow_exception(error);
    } catch (const OsError& e) {
        if (const char* cause = storage_failure(e))
            // A full disk or a failing device is neither a permission problem nor another
            // process: the headline names it. The file was rolled back to what it held.
            message = fmt::format("更新 {} 失败，{} (errno {})\n{}", h5_file, cause, e.error_number(), e.what());
        else
            message = "更新 " + h5_file + " 失败，请检查文件的权限以及是否被其他进程占用\n" + e.what();
    } catch (const service::PermissionDenied&) {
        message = "更新 " + h5_file + " 失败，您没有相关数据的使用权限，可联系Quorvane开通相关权限：0000-00000000";
    } catch (const std::exception& e) {
        message = "更新 " + h5_file + " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\n" + e.what();
    } catch (...) {
        message =
            "更新 " + h5_file + " 失败，该文件可能已经损坏，您可以尝试删除该文件并重新执行更新命令\nunknown error";
    }
    if (!kept.empty()) message += "\n" + kept;
    host::system_log().error(message);
    flag.set(false);
}

}  // namespace tarnwick::bundle::drivers
