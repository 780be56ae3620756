// An in-process gateway on 127.0.0.1 with the real relay functions (shared password "secret",
// no analyst accounts): logins end, ended ids are answered LOGGED OUT, held Gets are answered
// at logout. Stops on destruction.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "gateway/functions.h"
#include "gateway/random_source.h"
#include "gateway/relay.h"
#include "gateway/relay_functions.h"
#include "gateway/request_core.h"
#include "gateway/server.h"
#include "gateway/session.h"
#include "gateway/user_store.h"

namespace vtx::testing {

class RelayGateway {
 public:
  RelayGateway()
      : sessions_(std::chrono::hours(1), 100), store_(":memory:"), relay_(gateway::RelayConfig{}) {
    relay_.onEnded([this](const std::string& id) { sessions_.dropLogin(id); });
    gateway::AddRelayFunctions(functions_, relay_, store_,
                               gateway::AccountConfig{"secret", false, {}});
    core_ = std::make_unique<gateway::RequestCore>(gateway::CoreConfig{}, functions_, sessions_,
                                                   random_);
    gateway::ServerConfig config;
    config.port = 0;
    config.threads = 4;
    server_ = std::make_unique<gateway::GatewayServer>(config, *core_, sessions_);
    server_->every(std::chrono::milliseconds(100), [this] { relay_.tick(); });
    server_->listen();
    thread_ = std::thread([this] { server_->run(); });
  }
  ~RelayGateway() {
    relay_.shutdown();
    server_->stop(std::chrono::milliseconds(500));
    if (thread_.joinable()) thread_.join();
  }

  std::string port() const { return std::to_string(server_->port()); }

 private:
  gateway::FunctionRegistry functions_;
  gateway::SessionStore sessions_;
  gateway::UserStore store_;
  gateway::Relay relay_;
  gateway::RandomSource random_;
  std::unique_ptr<gateway::RequestCore> core_;
  std::unique_ptr<gateway::GatewayServer> server_;
  std::thread thread_;
};

}  // namespace vtx::testing
