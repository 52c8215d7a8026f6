#pragma once
// Test support: installs a ScriptedClient as the current service client for one test and
// puts the previous client back afterwards.
#include <gtest/gtest.h>

#include <memory>

#include "tarnwick/bundle/service/client.hpp"
#include "tarnwick/bundle/service/scripted_client.hpp"

namespace tarnwick::bundle::test {

class ScriptedClientFixture : public ::testing::Test {
protected:
    void SetUp() override {
        auto owned = std::make_unique<service::ScriptedClient>();
        client_ = owned.get();
        previous_ = service::install(std::move(owned));
    }
    void TearDown() override { service::install(std::move(previous_)); }
    service::ScriptedClient& client() { return *client_; }

private:
    service::ScriptedClient* client_ = nullptr;
    std::unique_ptr<service::Client> previous_;
};

}  // namespace tarnwick::bundle::test
