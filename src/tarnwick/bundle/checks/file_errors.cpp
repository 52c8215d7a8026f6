#include "tarnwick/bundle/checks/file_errors.hpp"

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/service/errors.hpp"

namespace tarnwick::bundle::checks {

void CheckLists::add(const std::string& path, Verdict verdict) {
    if (verdict == Verdict::Abnormal) error_file_path_list.push_back(path);
    else if (verdict == Verdict::Blocked) blocking_or_permission_error.push_back(path);
}

Verdict verdict_of_failure(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const OsError& e) {
        if (e.kind() == OsError::Kind::WouldBlock || e.kind() == OsError::Kind::PermissionDenied)
            return Verdict::Blocked;
        return Verdict::Abnormal;
    } catch (const service::PermissionDenied&) {
        throw;
    } catch (const std::exception&) {
        return Verdict::Abnormal;
    }
}

}  // namespace tarnwick::bundle::checks
