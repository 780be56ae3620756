// The server functions a gateway offers: each receives one function-call value and returns
// its result value. An exception thrown by a function becomes an exception value carrying its
// message, so one failing call never spoils the other results of a request.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "gateway/deferred.h"
#include "values/values.h"

namespace vtx::gateway {

class Session;

// What a function may use besides its call: the session's storage (a scratch one, dropped
// after the request, when the request has no session) and the peer address. A function that
// answers later calls defer() and returns no value.
struct CallContext {
  Session* session = nullptr;
  TRtcInfo& storage;
  const std::string& peer;
  // Set by the request core for each call; empty when deferring is not offered.
  std::function<DeferredResult()> deferrer;
  bool deferred = false;
  // Hash of the call's code text as it arrived (0 when not known): tells a re-posted call.
  std::uint64_t fingerprint = 0;
  // The keystream the request came on (counted per session from 1); 0 when not enciphered.
  std::uint64_t keystream = 0;
  // Ties the session to the login id it logged in with (it then ends with that id); empty
  // when the request has no session.
  std::function<void(const std::string& loginId)> bindLogin;
  // Tells that the login the session is tied to has ended while the request ran: the request
  // is answered 410 and the session dropped, so the client renews its session and its
  // re-login learns of the end. Empty when the request has no session.
  std::function<void()> loginEnded;

  DeferredResult defer() {
    if (!deferrer) return {};
    deferred = true;
    return deferrer();
  }
};

using ServerFunction =
    std::function<std::unique_ptr<TRtcValueObject>(CallContext& context, TRtcFunctionInfo& call)>;

// Names are matched without regard to ASCII case. Filled before serving, read-only after.
class FunctionRegistry {
 public:
  // Adds or replaces the function of that name.
  void add(const RtcWideString& name, ServerFunction function);
  const ServerFunction* find(const RtcWideString& name) const;
  bool empty() const { return functions_.empty(); }

  // Runs one call: the function's result, or an exception value for an unknown name
  // ("Function \"NAME\" not found."), a thrown exception or a missing result; none when the
  // function deferred its result (context.deferred) and returned none.
  std::unique_ptr<TRtcValueObject> execute(CallContext& context, TRtcFunctionInfo& call) const;

 private:
  std::unordered_map<RtcWideString, ServerFunction> functions_;  // upper-cased name
};

// "Echo": returns its parameter record unchanged, as a record.
void AddEchoFunction(FunctionRegistry& registry);

}  // namespace vtx::gateway
