// The socket-free heart of the gateway: one HTTP request of the remote-call protocol in, one
// response out. It runs the server's side of the HELLO/START handshake, deciphers request
// bodies, checks their control keys, runs the calls through the function registry and writes
// the results (compressed and enciphered as the session requires).
//
// Status answers: 404 wrong path, 405 not POST, 409 wrong control key (or cipher out of step),
// 410 unknown or expired session, 412 encryption required but absent, 417 wrong secure key or
// handshake key, 400 a body that cannot be read as calls, 503 no room for another session.
// Thread-safe: requests of different sessions run in parallel, those of one session in turn.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "gateway/body_codec.h"
#include "gateway/functions.h"
#include "gateway/log_line.h"
#include "gateway/random_source.h"
#include "gateway/session.h"

namespace vtx::gateway {

struct CoreConfig {
  std::string path = "/$rdgate";   // compared without regard to ASCII case
  std::string secureKey;           // protects the HELLO body when not empty
  std::size_t encryptionKey = 16;  // length of the server's key halves; 0 = never encrypt
  bool forceEncryption = false;    // refuse unencrypted calls (412)
  Compression compression = Compression::None;  // replies; a compressed request gets at least Fast
  std::size_t maxBody = 16u << 20;              // also the limit of an inflated body
};

struct GatewayRequest {
  std::string method;  // "POST"
  std::string target;  // path and query
  std::string cookie;  // the Cookie header, if any
  std::string body;
  std::string peer;  // remote address, for the log and the session
};

struct GatewayResponse {
  int status = 200;
  std::string body;
  std::string sessionId;  // sent as cookie "ID" when not empty
};

class RequestCore {
 public:
  // The registry, store and random source are observed and must outlive the core.
  RequestCore(CoreConfig config, const FunctionRegistry& functions, SessionStore& sessions,
              RandomSource& random, LogSink log = {});

  GatewayResponse handle(const GatewayRequest& request);
  const CoreConfig& config() const { return config_; }

 private:
  struct Parsed;
  GatewayResponse hello(const Parsed& p, const GatewayRequest& request);
  GatewayResponse start(const Parsed& p, const GatewayRequest& request);
  GatewayResponse call(const Parsed& p, const GatewayRequest& request);
  GatewayResponse runCalls(std::string_view body, Session* session, ServerCrypt* crypt,
                           std::string_view controlKey, bool compressed, const std::string& peer);
  std::shared_ptr<Session> openSession(const std::string& peer);
  GatewayResponse refuse(int status, std::string_view why, const std::string& session);

  CoreConfig config_;
  const FunctionRegistry& functions_;
  SessionStore& sessions_;
  RandomSource& random_;
  LogSink log_;
};

}  // namespace vtx::gateway
