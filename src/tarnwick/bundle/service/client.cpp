#include "tarnwick/bundle/service/client.hpp"

#include <fmt/format.h>

#include "tarnwick/bundle/errors.hpp"
#include "tarnwick/bundle/service/simulated_market.hpp"

namespace tarnwick::bundle::service {

const std::vector<double>& Frame::column(const std::string& name) const {
    const auto it = columns.find(name);
    if (it == columns.end()) throw ValueError(fmt::format("price table has no column \"{}\"", name));
    return it->second;
}

namespace {

// The real client library keeps one connection per process; forked workers inherit it.
std::unique_ptr<Client>& current_slot() {
    static std::unique_ptr<Client> client;
    return client;
}

}  // namespace

Client& current() {
    auto& slot = current_slot();
    if (!slot) slot = std::make_unique<SimulatedMarket>();
    return *slot;
}

std::unique_ptr<Client> install(std::unique_ptr<Client> client) {
    auto& slot = current_slot();
    std::swap(slot, client);
    return client;
}

}  // namespace tarnwick::bundle::service
