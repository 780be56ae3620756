// Any request body given to the gateway's request core yields a status answer or results, never
// a crash. The first byte picks the request kind; for the enciphered kinds the harness frames
// and enciphers the rest as a client would, so the fuzzer reaches the call reader behind the
// cipher as well as the raw handshake and data paths.
#include <cstddef>
#include <cstdint>
#include <string>

#include "../tests/unit/gateway/protocol_client.h"
#include "gateway/request_core.h"

namespace {

using namespace vtx;
using namespace vtx::gateway;

struct Harness {
  Harness() : sessions(std::chrono::hours(1), 1000) {
    AddEchoFunction(functions);
    CoreConfig config;
    config.maxBody = 1 << 20;
    core = std::make_unique<RequestCore>(config, functions, sessions, random);
  }
  testing::Reply post(const std::string& target, const std::string& body) {
    GatewayResponse a = core->handle(GatewayRequest{"POST", target, {}, body, "127.0.0.1"});
    return {a.status, a.body, a.sessionId};
  }
  FunctionRegistry functions;
  SessionStore sessions;
  RandomSource random;
  std::unique_ptr<RequestCore> core;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto harness = std::make_unique<Harness>();
  if (harness->sessions.size() > 500) harness = std::make_unique<Harness>();  // "NEW" piles up
  Harness& h = *harness;
  if (size == 0) return 0;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  const int kind = data[0] % 6;
  std::vector<std::unique_ptr<TRtcValue>> results;
  switch (kind) {
    case 0:
      h.post("/$rdgate?ACTION=HELLO&ID=", body);
      break;
    case 1:
      h.post("/$rdgate?ID=NEW", body);
      break;
    case 2:
      h.post("/$rdgate?ID=", body);
      break;
    default: {  // behind the cipher: plain, compressed, reset
      testing::ProtocolClient::Settings s;
      s.compress = kind == 4;
      testing::ProtocolClient c(
          [&h](const std::string& t, const std::string& b) { return h.post(t, b); }, s, data[0]);
      if (c.handshake() != 200) __builtin_trap();
      c.send(body, results, kind == 5);
      h.sessions.remove(c.sessionId());
      break;
    }
  }
  return 0;
}
