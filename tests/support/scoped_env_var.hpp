#pragma once
// Sets or unsets an environment variable for one scope (the settings read from the environment
// at each call, such as the lock waits).
#include <cstdlib>
#include <optional>
#include <string>

namespace tarnwick::bundle::test {

class ScopedEnvVar {
public:
    ScopedEnvVar(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnvVar() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedEnvVar(const ScopedEnvVar&) = delete;
    ScopedEnvVar& operator=(const ScopedEnvVar&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace tarnwick::bundle::test
