#include "tarnwick/bundle/checks/file_errors.hpp"

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/service/errors.hpp"

namespace tarnwick::bundle::checks {

void sort_failed_file(const std::string& path, std::exception_ptr error, CheckLists& lists) {
    try {
        std::rethrow_exception(error);
    } catch (const OsError& e) {
        if (e.kind() == OsError::Kind::WouldBlock || e.kind() == OsError::Kind::PermissionDenied)
            lists.blocking_or_permission_error.push_back(path);
        else
            lists.error_file_path_list.push_back(path);
    } catch (const service::PermissionDenied&) {
        throw;
    } catch (const std::exception&) {
        lists.error_file_path_list.push_back(path);
    }
}

}  // namespace tarnwick::bundle::checks
