#pragma once
#include <stdexcept>
#include <string>

namespace tarnwick::bundle::service {

// The account has no right to the requested data.
class PermissionDenied : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace tarnwick::bundle::service
