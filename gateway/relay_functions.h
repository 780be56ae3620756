// The server functions of the relay: "Login", "ReLogin", "Host", "Control", "Get", "Put",
// "Logout", "User.Get", "User.Set", "User.Add", "User.Del" and "ChangePwd". A protocol session
// is tied to the user session of the login id it logged in with (kept in its storage).
//
// Passwords: a user with an own password (set by "ChangePwd", kept in the user store) must
// give that one; every other user the shared login password (any password when none is set).
#pragma once

#include <string>

#include "gateway/functions.h"
#include "gateway/login_guard.h"
#include "gateway/relay.h"
#include "gateway/user_store.h"

namespace vtx::gateway {

struct AccountConfig {
  std::string loginPassword;    // shared password (UTF-8); empty = not checked
  bool changePassword = false;  // offer "ChangePwd"
  LoginLimits limits;           // failed password checks per peer and per name
};

// The relay and the store are observed and must outlive the registry's use.
void AddRelayFunctions(FunctionRegistry& registry, Relay& relay, UserStore& store,
                       AccountConfig accounts);

}  // namespace vtx::gateway
