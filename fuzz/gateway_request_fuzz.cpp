// Any request body given to the gateway's request core yields a status answer or results, never
// a crash. The first byte picks the request kind; for the enciphered kinds the harness frames
// and enciphers the rest as a client would, so the fuzzer reaches the call reader behind the
// cipher as well as the raw handshake and data paths. Two kinds reach the relay: calls from a
// logged-in session, and a script of relay operations with made-up Put rows.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "util/exceptions.h"

#include "../tests/unit/gateway/protocol_client.h"
#include "gateway/relay_functions.h"
#include "gateway/request_core.h"

namespace {

using namespace vtx;
using namespace vtx::gateway;

RelayConfig smallRelay() {
  RelayConfig c;
  c.queueLimit = 64 << 10;
  c.retiredIds = 1000;
  return c;
}

struct Harness {
  Harness() : sessions(std::chrono::hours(1), 1000), store(":memory:"), relay(smallRelay()) {
    AddEchoFunction(functions);
    AddRelayFunctions(functions, relay, store, AccountConfig{"pw"});
    CoreConfig config;
    config.maxBody = 1 << 20;
    core = std::make_unique<RequestCore>(config, functions, sessions, random);
  }
  // A held answer (a Get) comes later or never; the reply then reads as status -2.
  testing::Reply post(const std::string& target, const std::string& body) {
    auto answer = std::make_shared<std::optional<GatewayResponse>>();
    core->handle(GatewayRequest{"POST", target, {}, body, "127.0.0.1"},
                 [answer](GatewayResponse r) { *answer = std::move(r); });
    if (!*answer) return {-2, {}, {}};
    return {(*answer)->status, (*answer)->body, (*answer)->sessionId};
  }
  FunctionRegistry functions;
  SessionStore sessions;
  RandomSource random;
  UserStore store;
  Relay relay;
  std::unique_ptr<RequestCore> core;
};

const char16_t* const kUsers[] = {u"ann", u"bob", u"ANN", u"carl"};

TRtcFunctionInfo& loginCall(unsigned pick) {
  static TRtcFunctionInfo f;
  f.Clear();
  f.setFunctionName(u"Login");
  f.setAsText("user", kUsers[pick % 4]);
  f.setAsText("pwd", u"pw");
  f.setAsString("id", "id" + std::to_string(pick % 6));
  return f;
}

// Bytes read one at a time; zero once they run out.
struct Bytes {
  std::string_view data;
  std::size_t at = 0;
  unsigned next() { return at < data.size() ? static_cast<unsigned char>(data[at++]) : 0u; }
  bool done() const { return at >= data.size(); }
  std::string text(std::size_t most) {
    const std::size_t n =
        std::min<std::size_t>(next() % (most + 1), data.size() - std::min(at, data.size()));
    std::string s(data.substr(at, n));
    at += n;
    return s;
  }
};

// A script of relay operations; Put rows are made of the fields the relay knows and values of
// any kind, so malformed rows come up often.
void relayScript(Harness& h, std::string_view data) {
  static const char* const kFields[] = {"to", "fn", "s", "u", "uf", "t", "user", "d", "zz"};
  Bytes in{data};
  while (!in.done()) {
    const unsigned op = in.next() % 8;
    const std::string id = "id" + std::to_string(in.next() % 6);
    try {
      switch (op) {
        case 0: {
          LoginRequest r;
          r.user = kUsers[in.next() % 4];
          r.id = id;
          h.relay.login(std::move(r));
          break;
        }
        case 1:
          h.relay.host(id, in.next() & 1);
          break;
        case 2:
          h.relay.control(id, in.next() & 1);
          break;
        case 3:
          h.relay.get(id, {});
          break;
        case 4: {
          TRtcDataSet rows;
          for (unsigned r = in.next() % 6; r > 0; --r) {
            rows.Append();
            for (unsigned f = in.next() % 4; f > 0; --f) {
              const char* field = kFields[in.next() % 9];
              switch (in.next() % 4) {
                case 0:
                  rows.setAsText(field, kUsers[in.next() % 4]);
                  break;
                case 1:
                  rows.setAsString(field, in.text(64));
                  break;
                case 2:
                  rows.setAsInteger(field, static_cast<int>(in.next()));
                  break;
                default:
                  rows.NewRecord(field).setAsText("x", u"y");
              }
            }
          }
          h.relay.put(id, rows);
          break;
        }
        case 5:
          h.relay.logout(id, kUsers[in.next() % 4]);
          break;
        case 6:
          h.relay.tick();
          break;
        default:
          break;
      }
    } catch (const ERtcInfo&) {
      // refusals are expected
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto harness = std::make_unique<Harness>();
  if (harness->sessions.size() > 500) harness = std::make_unique<Harness>();  // "NEW" piles up
  Harness& h = *harness;
  if (size == 0) return 0;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  const int kind = data[0] % 8;
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
    case 6: {  // any calls from a logged-in session
      testing::ProtocolClient c(
          [&h](const std::string& t, const std::string& b) { return h.post(t, b); }, {}, data[0]);
      c.setAutoSessions(true);
      std::string login;
      loginCall(data[0] >> 3).to_Code(login);
      c.send(login, results);
      c.send(body, results);
      h.sessions.remove(c.sessionId());
      break;
    }
    case 7:
      relayScript(h, body);
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
