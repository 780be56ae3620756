// Raw bytes to a real gateway server connection on 127.0.0.1: through the HTTP parser, the body
// framing (lengths, chunks, trailers, size limits) and the request core. Every input ends with
// an answer or a closed connection, never a crash, an escaped exception or a hang.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "gateway/request_core.h"
#include "gateway/server.h"

namespace {

using namespace vtx::gateway;

struct Harness {
  Harness() : sessions(std::chrono::hours(1), 1000) {
    AddEchoFunction(functions);
    CoreConfig core;
    core.maxBody = 1 << 16;
    requests = std::make_unique<RequestCore>(core, functions, sessions, random);
    ServerConfig config;
    config.port = 0;
    config.maxBody = 1 << 16;
    config.maxHeader = 4096;
    config.idleConnection = std::chrono::seconds(2);
    config.threads = 2;
    server = std::make_unique<GatewayServer>(config, *requests, sessions);
    server->listen();
    serving = std::thread([this] { server->run(); });
  }
  FunctionRegistry functions;
  SessionStore sessions;
  RandomSource random;
  std::unique_ptr<RequestCore> requests;
  std::unique_ptr<GatewayServer> server;
  std::thread serving;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness* h = new Harness;  // serves until the process ends
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return 0;
  timeval limit{3, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(h->server->port());
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    std::size_t sent = 0;
    while (sent < size) {
      const ssize_t n = ::send(s, data + sent, size - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    ::shutdown(s, SHUT_WR);
    char sink[4096];
    for (std::size_t got = 0; got < (4u << 20);) {  // until the gateway closes
      const ssize_t n = ::recv(s, sink, sizeof sink, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
  }
  ::close(s);
  return 0;
}
