#include "tarnwick/bundle/errors.hpp"

#include <cerrno>

namespace tarnwick::bundle {

OsError OsError::from_errno(int err_no, const std::string& what) {
    Kind kind = Kind::Other;
    if (err_no == EWOULDBLOCK || err_no == EAGAIN)
        kind = Kind::WouldBlock;
    else if (err_no == EACCES || err_no == EPERM)
        kind = Kind::PermissionDenied;
    return OsError(kind, err_no, what);
}

}  // namespace tarnwick::bundle
