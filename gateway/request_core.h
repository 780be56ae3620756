// The socket-free heart of the gateway: one HTTP request of the remote-call protocol in, one
// response out. It runs the server's side of the HELLO/START handshake, deciphers request
// bodies, checks their control keys, runs the calls through the function registry and writes
// the results (compressed and enciphered as the session requires).
//
// Status answers: 404 wrong path, 405 not POST, 409 wrong control key (or cipher out of step),
// 410 unknown or expired session, 412 encryption required but absent, 417 wrong secure key or
// handshake key, 400 a body that cannot be read as calls, 413 a body (or its inflated calls)
// beyond the limit (a smaller one until the session logged in), or with more values than the
// limit allows (one per 128 bytes, at least 4096), 503 no room for another
// session.
// Thread-safe: requests of different sessions run in parallel, the calls of one session in
// turn. A function may defer its result (CallContext::defer); the reply then goes to the
// completion handler once the last result is in, enciphered in request order.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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
  std::size_t maxBodyBeforeLogin = 64u << 10;   // the same for a session not logged in
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
  // The call results behind the body, held until the body has been written out (their memory
  // stays counted where it is charged, e.g. the relay's items).
  std::shared_ptr<const void> results;
};

class RequestCore {
 public:
  // The registry, store and random source are observed and must outlive the core.
  RequestCore(CoreConfig config, const FunctionRegistry& functions, SessionStore& sessions,
              RandomSource& random, LogSink log = {});

  using Done = std::function<void(GatewayResponse)>;

  // Answers through `done`, exactly once: at once on the caller's thread unless a function
  // deferred its result, then on the thread that completes the last one.
  void handle(const GatewayRequest& request, Done done);
  // The same, waiting for the answer (tests and tools).
  GatewayResponse handle(const GatewayRequest& request);
  const CoreConfig& config() const { return config_; }

 private:
  struct Parsed;
  class PendingReply;
  GatewayResponse hello(const Parsed& p, const GatewayRequest& request);
  GatewayResponse start(const Parsed& p, const GatewayRequest& request);
  // Answers itself (and returns none) once the calls run.
  std::optional<GatewayResponse> call(const Parsed& p, const GatewayRequest& request, Done& done);
  // The calls of a body, every one read before any runs; none after answering `refusal`.
  // `prints` gets each call's fingerprint (hash of its code text).
  std::optional<std::vector<std::unique_ptr<TRtcValue>>> readCalls(
      std::string_view payload, bool compressed, const std::string& id, std::size_t limit,
      GatewayResponse& refusal, std::vector<std::uint64_t>& prints);
  void runCalls(std::vector<std::unique_ptr<TRtcValue>> calls, std::vector<std::uint64_t> prints,
                std::shared_ptr<PendingReply> reply);
  void finish(PendingReply& reply);
  std::shared_ptr<Session> openSession(const std::string& peer);
  GatewayResponse refuse(int status, std::string_view why, const std::string& session);

  CoreConfig config_;
  const FunctionRegistry& functions_;
  SessionStore& sessions_;
  RandomSource& random_;
  LogSink log_;
};

}  // namespace vtx::gateway
