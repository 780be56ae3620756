// The gateway's HTTP side on Boost.Asio and Beast: accepts connections, reads one request at a
// time per connection (keep-alive), hands it to the RequestCore and writes the answer. Requests
// over the size limits (a small body limit until the request's session has logged in) get 413
// (body) or 431 (header, also a chunked body's trailer) and the
// connection is closed. Connections beyond the limit (in all, of one address, or into the
// reserve kept for addresses with none open) get 503 at once; after a failed accept
// (no descriptors) the server waits, longer each time, before accepting again. Idle
// sessions are swept once a second. A deferred answer is written when it arrives; no io thread
// waits for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "gateway/log_line.h"
#include "gateway/request_core.h"
#include "gateway/session.h"

namespace vtx::gateway {

struct ServerConfig {
  std::string address = "127.0.0.1";
  unsigned short port = 1025;  // 0 picks a free port
  std::size_t maxBody = 16u << 20;
  std::size_t maxBodyBeforeLogin = 64u << 10;  // until the request's session has logged in
  std::size_t maxHeader = 16u << 10;
  std::chrono::milliseconds idleConnection{120000};  // a connection silent this long is closed
  // Open connections at most (also kept below the descriptor limit); more are answered 503.
  std::size_t maxConnections = 4096;
  // Open connections of one client address at most; more are answered 503.
  std::size_t maxConnectionsPerPeer = 256;
  // Connections kept for addresses that have none open: up to this many, and at most an
  // eighth of the limit, so that one address cannot fill the rest and lock newcomers out.
  std::size_t reserveConnections = 64;
  // A new connection must complete its first request (or TLS handshake) within this time.
  std::chrono::milliseconds requestTimeout{10000};
  // PEM files; when set, connections speak TLS (1.2 or later) only.
  std::string tlsCert, tlsKey;
  int threads = 1;
};

class GatewayServer {
 public:
  // The core and the store are observed and must outlive the server.
  GatewayServer(ServerConfig config, RequestCore& core, SessionStore& sessions, LogSink log = {});
  ~GatewayServer();

  // Runs `job` on the server's strand every `period` while serving (call before listen).
  void every(std::chrono::milliseconds period, std::function<void()> job);
  // Loads the TLS files, binds and listens; throws std::runtime_error when the address or the
  // files cannot be used.
  void listen();
  // Reads the TLS certificate and key files again; connections made afterwards use them.
  // Throws std::runtime_error (and keeps the previous ones) when they cannot be used.
  void reloadTls();
  // The port actually listened on (after listen).
  unsigned short port() const;
  // Serves on `threads` threads (the caller's among them) until stop() has drained the
  // connections.
  void run();
  // Graceful stop from any thread, signal handlers excluded: no new connections, open ones end
  // after their current exchange (or at once when idle); gives up waiting after `grace`.
  void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

  class Impl;  // defined in server.cpp, with the connections

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vtx::gateway
