#pragma once
// Warnings of the service client. A client reports a warning with warn(); it reaches standard
// error unless a SuppressWarnings scope is active in this thread. Scopes nest and restore the
// setting they found, also when left by an exception.
#include <functional>
#include <string>

namespace tarnwick::bundle::service {

void warn(const std::string& text);

class SuppressWarnings {
public:
    SuppressWarnings();
    ~SuppressWarnings();
    SuppressWarnings(const SuppressWarnings&) = delete;
    SuppressWarnings& operator=(const SuppressWarnings&) = delete;

private:
    bool previous_;
};

// Where shown warnings go (standard error by default); tests capture them. Returns the previous sink.
using WarningSink = std::function<void(const std::string&)>;
WarningSink set_warning_sink(WarningSink sink);

}  // namespace tarnwick::bundle::service
