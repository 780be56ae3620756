// The server functions of the relay: "Login", "ReLogin", "Host", "Control", "Get", "Put",
// "Logout", "User.Get", "User.Set", "User.Add", "User.Del" and "ChangePwd". A protocol session
// is tied to the user session of the login id it logged in with (kept in its storage).
//
// Roles, with analyst accounts: a name that is an enabled analyst logs in only with its own
// password and is an analyst; any other name with the shared login password is a host (a copy
// of the customer program), which reaches only analysts, may not list the users online, and
// reads the access parameters as "analysts only". A disabled analyst is refused.
//
// Without analyst accounts every user may reach every other, and a user with an own password
// (set by "ChangePwd", kept in the user store) must give that one; every other user the shared
// login password (any password when none is set).
#pragma once

#include <string>

#include "gateway/analyst_accounts.h"
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

// The relay, the store and the analyst accounts are observed and must outlive the registry's
// use. No analyst accounts: no roles.
void AddRelayFunctions(FunctionRegistry& registry, Relay& relay, UserStore& store,
                       AccountConfig accounts, AnalystAccounts* analysts = nullptr,
                       LogSink log = {});

// Ends the live sessions of analysts whose accounts were disabled or removed, and of hosts
// whose names have become analysts' accounts.
void EndWithdrawnAnalysts(Relay& relay, AnalystAccounts& analysts);

}  // namespace vtx::gateway
