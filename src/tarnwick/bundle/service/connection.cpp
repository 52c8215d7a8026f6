#include "tarnwick/bundle/service/connection.hpp"

#include <chrono>

#include "tarnwick/bundle/host/clock.hpp"
#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/warnings.hpp"

namespace tarnwick::bundle::service {

void _init_tickwire(bool enable_bjse) {
    service::SuppressWarnings quiet;
    service::current().init(enable_bjse);
}

void _switch_of_bjse(bool tag) {
    service::SuppressWarnings quiet;
    service::current().init(tag);
}

int _get_end_date() {
    using namespace std::chrono;
    const host::DateTime now = host::now();
    const host::DateTime cutoff = floor<days>(now) + hours{17} + minutes{30};
    const host::DateTime end = now > cutoff ? now : now - days{1};
    return host::date_to_number(end);
}

}  // namespace tarnwick::bundle::service
