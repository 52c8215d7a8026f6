#include "tarnwick/bundle/service/warnings.hpp"

#include <iostream>
#include <utility>

namespace tarnwick::bundle::service {
namespace {
thread_local bool suppressed = false;
WarningSink& sink() {
    static WarningSink instance;
    return instance;
}
}  // namespace

void warn(const std::string& text) {
    if (suppressed) return;
    if (sink())
        sink()(text);
    else
        std::cerr << "Warning: " << text << '\n';
}

SuppressWarnings::SuppressWarnings() : previous_(std::exchange(suppressed, true)) {}
SuppressWarnings::~SuppressWarnings() { suppressed = previous_; }

WarningSink set_warning_sink(WarningSink new_sink) { return std::exchange(sink(), std::move(new_sink)); }

}  // namespace tarnwick::bundle::service
