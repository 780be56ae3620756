// Command line of vorantelix-gateway.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "gateway/admin_cli.h"
#include "gateway/relay.h"
#include "gateway/relay_functions.h"
#include "gateway/request_core.h"
#include "gateway/server.h"

namespace vtx::gateway {

struct GatewayOptions {
  ServerConfig server;
  CoreConfig core;
  std::chrono::milliseconds sessionTimeout{600000};
  std::size_t maxSessions = 10000;
  std::size_t maxSessionsPerPeer = 1024;
  RelayConfig relay;
  AccountConfig accounts;
  std::size_t paramQuota = 1u << 20;  // stored parameter bytes per user
  std::string db;                     // user store; empty = DefaultDatabasePath()
  bool echo = false;
  // Every name with the shared password is treated as an analyst: no roles (the old, open
  // behaviour).
  bool trustSharedPassword = false;
  AdminCommand admin;  // a command on the database instead of serving
  bool help = false;
};

extern const char* const kGatewayUsage;

// "gateway.db" under the data root ($VORANTELIX_HOME, else ~/VARNELIKO_VTX5/).
std::string DefaultDatabasePath();

// Throws std::invalid_argument with a message naming the bad option.
GatewayOptions ParseGatewayOptions(const std::vector<std::string>& args);

}  // namespace vtx::gateway
