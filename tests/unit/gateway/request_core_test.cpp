// The request core driven directly by an independent protocol client.
#include "gateway/request_core.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "gateway/control_key.h"
#include "protocol_client.h"
#include "util/exceptions.h"

namespace vtx::gateway {
namespace {

using testing::MakeCall;
using testing::ProtocolClient;
using testing::Reply;
using Results = std::vector<std::unique_ptr<TRtcValue>>;

// A core with Echo, a counting function and a manual clock.
class Gateway {
 public:
  explicit Gateway(CoreConfig config = {}, std::size_t maxSessions = 100)
      : sessions_(std::chrono::seconds(60), maxSessions, [this] { return now_; }) {
    AddEchoFunction(functions_);
    functions_.add(u"Count", [this](CallContext& c, TRtcFunctionInfo&) {
      ++calls;
      const int n = c.storage.asInteger("count") + 1;
      c.storage.setAsInteger("count", n);
      return std::make_unique<TRtcIntegerValue>(n);
    });
    functions_.add(u"Fail",
                   [](CallContext&, TRtcFunctionInfo&) -> std::unique_ptr<TRtcValueObject> {
                     throw ERtcInfo("Nothing to do here.");
                   });
    functions_.add(u"Nothing", [](CallContext&, TRtcFunctionInfo&) { return nullptr; });
    functions_.add(u"Later", [this](CallContext& c, TRtcFunctionInfo&) {
      later.push_back(c.defer());
      return std::unique_ptr<TRtcValueObject>();
    });
    core_ = std::make_unique<RequestCore>(std::move(config), functions_, sessions_, random_);
  }

  testing::Transport transport() {
    return
        [this](const std::string& target, const std::string& body) { return post(target, body); };
  }
  Reply post(const std::string& target, const std::string& body, const char* method = "POST") {
    GatewayRequest r{method, target, {}, body, "127.0.0.1"};
    GatewayResponse a = core_->handle(r);
    return Reply{a.status, a.body, a.sessionId};
  }
  ProtocolClient client(ProtocolClient::Settings s = {}, unsigned seed = 7) {
    return ProtocolClient(transport(), std::move(s), seed);
  }
  // Posts without waiting; the reply lands in `answer` whenever it is ready.
  void postAsync(const ProtocolClient::Outgoing& out, std::optional<Reply>& answer) {
    core_->handle(GatewayRequest{"POST", out.target, {}, out.body, "127.0.0.1"},
                  [&answer](GatewayResponse r) {
                    answer = Reply{r.status, r.body, r.sessionId};
                  });
  }
  void advance(std::chrono::seconds d) { now_ += d; }
  SessionStore& sessions() { return sessions_; }

  int calls = 0;
  std::vector<DeferredResult> later;

 private:
  Clock::time_point now_{};
  FunctionRegistry functions_;
  SessionStore sessions_;
  RandomSource random_;
  std::unique_ptr<RequestCore> core_;
};

ProtocolClient::Settings keyed(std::string secure) {
  ProtocolClient::Settings s;
  s.secureKey = std::move(secure);
  return s;
}

TEST(ControlKey, ClientKeysParseAndDamagedOnesDoNot) {
  ProtocolClient c([](const std::string&, const std::string&) { return Reply{}; }, {});
  for (int i = 1; i <= 250; ++i) {
    const std::string key = c.newControlKey();
    ASSERT_EQ(ControlKeyCounter(key), (i - 1) % 99 + 1) << key;
    std::string bad = key;
    bad[0] = bad[0] == '9' ? '1' : static_cast<char>(bad[0] + 1);
    EXPECT_FALSE(ControlKeyCounter(bad)) << bad;
    EXPECT_FALSE(ControlKeyCounter(key + "0"));
    EXPECT_FALSE(ControlKeyCounter(key.substr(0, 8)));
  }
  EXPECT_FALSE(ControlKeyCounter("5300x0000"));
  EXPECT_FALSE(ControlKeyCounter("530000000"));  // counter 0 is never sent
  EXPECT_EQ(NextControlCounter(99), 1);

  const std::string body = "T=1\"9\";\r5301000000";
  const auto t = SplitControlKey(body);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->payload, "T=1\"9\";");
  EXPECT_EQ(t->separator, '\r');
  EXPECT_FALSE(SplitControlKey("5301000000"));         // no separator byte
  EXPECT_FALSE(SplitControlKey("x\r53010000001234"));  // 14 digits
  const std::string packed(
      "12\0"
      "5301000000",
      13);
  EXPECT_EQ(SplitControlKey(packed)->payload, "12");
}

TEST(RequestCore, EncryptedCallsComeBackInOrder) {
  Gateway g;
  auto c = g.client();
  ASSERT_EQ(c.handshake(), 200);
  ASSERT_TRUE(c.encrypted());
  ASSERT_FALSE(c.sessionId().empty());

  auto echo = MakeCall(u"Echo", 4, u"ol\u00e1; \"x\"");
  echo->setIsNull("empty", true);
  echo->NewRecord("sub").setAsFloat("f", 1.5);
  auto unknown = MakeCall(u"Nope", 1, u"");
  TRtcTextValue notACall(u"plain");
  auto fail = MakeCall(u"fail", 0, u"");
  auto nothing = MakeCall(u"Nothing", 0, u"");
  Results r;
  for (int round = 0; round < 3; ++round) {  // the keystreams carry on across requests
    ASSERT_EQ(c.call({echo.get(), unknown.get(), &notACall, fail.get(), nothing.get()}, r), 200);
    ASSERT_EQ(r.size(), 5u);
    ASSERT_EQ(r[0]->isType(), rtc_Record);
    TRtcRecord* rec = r[0]->asRecord();
    EXPECT_EQ(rec->toCode(), [&] {
      TRtcRecord expected;
      expected.CopyFrom(*echo);
      return expected.toCode();
    }());
    EXPECT_EQ(rec->FieldCount(), echo->FieldCount());
    EXPECT_EQ(r[1]->isType(), rtc_Exception);
    EXPECT_EQ(r[1]->asException(), u"Function \"Nope\" not found.");
    EXPECT_EQ(r[2]->isType(), rtc_Exception);
    EXPECT_EQ(r[3]->asException(), u"Nothing to do here.");
    EXPECT_EQ(r[4]->isType(), rtc_Exception);
  }
}

TEST(RequestCore, DeferredResultsKeepTheCallOrderAndTheSessionsCipherOrder) {
  Gateway g;
  ProtocolClient c = g.client();
  ASSERT_EQ(c.handshake(), 200);
  auto text = [](std::initializer_list<const TRtcValueObject*> calls) {
    std::string out;
    for (const auto* call : calls) call->to_Code(out);
    return out;
  };
  const TRtcFunctionInfo later(u"Later");
  const auto echo1 = MakeCall(u"Echo", 1, u"a"), echo2 = MakeCall(u"Echo", 2, u"b");
  // Three requests of one session in flight: the first waits for its deferred result, the
  // two after it must not overtake it in the reply cipher stream.
  const auto a = c.prepare(text({&later, echo1.get()}));
  const auto b = c.prepare(text({echo2.get()}));
  const auto d = c.prepare(text({&later}));
  std::optional<Reply> ra, rb, rd;
  g.postAsync(a, ra);
  g.postAsync(b, rb);
  g.postAsync(d, rd);
  EXPECT_FALSE(ra || rb || rd);
  ASSERT_EQ(g.later.size(), 2u);
  EXPECT_TRUE(g.later[1].complete(std::make_unique<TRtcIntegerValue>(2)));
  EXPECT_FALSE(ra || rb || rd);  // the last is ready, but waits for those before it
  EXPECT_TRUE(g.later[0].complete(std::make_unique<TRtcIntegerValue>(1)));
  ASSERT_TRUE(ra && rb && rd);
  EXPECT_FALSE(g.later[0].complete(std::make_unique<TRtcIntegerValue>(3)));  // once only
  Results r;
  ASSERT_EQ(c.accept(a, *ra, r), 200);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]->asInteger(), 1);
  EXPECT_EQ(r[1]->asRecord()->asInteger("n"), 1);
  ASSERT_EQ(c.accept(b, *rb, r), 200);
  EXPECT_EQ(r[0]->asRecord()->asInteger("n"), 2);
  ASSERT_EQ(c.accept(d, *rd, r), 200);
  EXPECT_EQ(r[0]->asInteger(), 2);
  ASSERT_EQ(c.call(*echo1, r), 200);  // and the streams run on
}

TEST(RequestCore, SecureKeyMustMatchOnBothSides) {
  CoreConfig config;
  config.secureKey = "s3cret";
  Gateway g(config);
  EXPECT_EQ(g.client(keyed("wrong")).handshake(), 417);
  EXPECT_EQ(g.client().handshake(), 417);  // client without the key
  EXPECT_EQ(g.sessions().size(), 0u);      // refused handshakes leave nothing behind
  auto good = g.client(keyed("s3cret"));
  ASSERT_EQ(good.handshake(), 200);
  Results r;
  ASSERT_EQ(good.call(*MakeCall(u"Count", 0, u""), r), 200);
  EXPECT_EQ(r[0]->asInteger(), 1);

  Gateway open;  // a client key the gateway does not expect
  EXPECT_EQ(open.client(keyed("s3cret")).handshake(), 417);
}

TEST(RequestCore, ForcedEncryptionRefusesPlainCalls) {
  CoreConfig config;
  config.forceEncryption = true;
  config.encryptionKey = 0;  // forcing implies a key length
  Gateway g(config);
  ProtocolClient::Settings plain;
  plain.encryptionKey = 0;
  auto c = g.client(plain);
  Results r;
  EXPECT_EQ(c.call(*MakeCall(u"Count", 0, u""), r), 412);  // "NEW"
  c.setAutoSessions(false);
  EXPECT_EQ(c.call(*MakeCall(u"Count", 0, u""), r), 412);  // no session at all
  EXPECT_EQ(g.calls, 0);
  auto e = g.client();
  ASSERT_EQ(e.handshake(), 200);
  EXPECT_EQ(e.call(*MakeCall(u"Count", 0, u""), r), 200);
}

TEST(RequestCore, UnencryptedSessionsAndAGatewayThatDoesNotEncrypt) {
  Gateway g;
  ProtocolClient::Settings plain;
  plain.encryptionKey = 0;
  auto c = g.client(plain);
  Results r;
  ASSERT_EQ(c.call(*MakeCall(u"Count", 0, u""), r), 200);
  EXPECT_FALSE(c.sessionId().empty());  // "NEW" opened one
  ASSERT_EQ(c.call(*MakeCall(u"Count", 0, u""), r), 200);
  EXPECT_EQ(r[0]->asInteger(), 2);  // same session storage

  auto other = g.client(plain);
  ASSERT_EQ(other.call(*MakeCall(u"Count", 0, u""), r), 200);
  EXPECT_EQ(r[0]->asInteger(), 1);  // storage is per session
  other.setAutoSessions(false);
  other.setSessionId("");
  ASSERT_EQ(other.call(*MakeCall(u"Count", 0, u""), r), 200);
  EXPECT_EQ(r[0]->asInteger(), 1);  // no session: scratch storage

  CoreConfig off;
  off.encryptionKey = 0;
  Gateway noCipher(off);
  auto e = noCipher.client();
  ASSERT_EQ(e.handshake(), 200);  // empty HELLO reply: proceed unencrypted
  EXPECT_FALSE(e.encrypted());
  ASSERT_EQ(e.call(*MakeCall(u"Echo", 3, u"x"), r), 200);
  EXPECT_EQ(r[0]->asRecord()->asInteger("n"), 3);
}

TEST(RequestCore, ForgottenSessionsAnswer410AndOthersLiveOn) {
  Gateway g;
  auto idle = g.client();
  auto busy = g.client({}, 11);
  ASSERT_EQ(idle.handshake(), 200);
  ASSERT_EQ(busy.handshake(), 200);
  Results r;
  for (int i = 0; i < 3; ++i) {
    g.advance(std::chrono::seconds(30));
    ASSERT_EQ(busy.call(*MakeCall(u"Count", 0, u""), r), 200);
  }
  EXPECT_EQ(idle.call(*MakeCall(u"Count", 0, u""), r), 410);
  EXPECT_EQ(g.post("/$rdgate?ACTION=HELLO&ID=" + idle.sessionId(), "x").status, 410);
  EXPECT_EQ(g.post("/$rdgate?ACTION=START&ID=" + idle.sessionId(), "x").status, 410);
  EXPECT_EQ(g.post("/$rdgate?ID=0123456789ABCDEF", "X=;").status, 410);
  // The client's answer to 410: forget the ID and start over.
  idle.setSessionId("");
  ASSERT_EQ(idle.handshake(), 200);
  EXPECT_EQ(idle.call(*MakeCall(u"Count", 0, u""), r), 200);
  EXPECT_EQ(r[0]->asInteger(), 1);
  EXPECT_EQ(busy.call(*MakeCall(u"Count", 0, u""), r), 200);
  EXPECT_EQ(r[0]->asInteger(), 4);
}

TEST(RequestCore, WrongAndReplayedControlKeysAre409UntilReset) {
  Gateway g;
  auto c = g.client();
  ASSERT_EQ(c.handshake(), 200);
  Results r;
  ASSERT_EQ(c.call(*MakeCall(u"Count", 0, u""), r), 200);

  // Same control key again, enciphered in step: refused, and the call does not run.
  c.replayControlKey();
  EXPECT_EQ(c.call(*MakeCall(u"Count", 0, u""), r), 409);
  EXPECT_EQ(g.calls, 1);
  ASSERT_EQ(c.call(*MakeCall(u"Count", 0, u""), r), 200);
  EXPECT_EQ(r[0]->asInteger(), 2);

  // A damaged body puts the ciphers out of step; only a reset brings them back.
  bool damage = false;
  auto tamper = testing::ProtocolClient(
      [&](const std::string& t, const std::string& b) {
        std::string bad = b;
        if (damage) bad[0] ^= 0x20;
        damage = false;
        return g.post(t, bad);
      },
      {}, 8);
  ASSERT_EQ(tamper.handshake(), 200);
  damage = true;
  EXPECT_EQ(tamper.call(*MakeCall(u"Count", 0, u""), r), 409);
  EXPECT_EQ(tamper.call(*MakeCall(u"Count", 0, u""), r), 409);
  ASSERT_EQ(tamper.call({MakeCall(u"Count", 0, u"").get()}, r, true), 200);  // RESET
  EXPECT_EQ(r[0]->asInteger(), 1);
  EXPECT_EQ(tamper.call(*MakeCall(u"Count", 0, u""), r), 200);
  EXPECT_EQ(g.calls, 4);

  // A request replayed byte for byte does not decipher any more.
  std::string lastTarget, lastBody;
  auto spy = testing::ProtocolClient(
      [&](const std::string& t, const std::string& b) {
        lastTarget = t, lastBody = b;
        return g.post(t, b);
      },
      {}, 5);
  ASSERT_EQ(spy.handshake(), 200);
  ASSERT_EQ(spy.call(*MakeCall(u"Count", 0, u""), r), 200);
  EXPECT_EQ(g.post(lastTarget, lastBody).status, 409);
  EXPECT_EQ(g.calls, 5);

  EXPECT_EQ(g.post("/$rdgate?ACTION=RESET&ID=NEW", "X=;").status, 409);  // reset without cipher
}

TEST(RequestCore, TruncatedAndDisorderedHandshakes) {
  Gateway g;
  EXPECT_EQ(g.post("/$rdgate?ACTION=HELLO&ID=", "").status, 417);
  EXPECT_EQ(g.post("/$rdgate?ACTION=HELLO&ID=", "abc\r53").status, 417);
  EXPECT_EQ(g.post("/$rdgate?ACTION=HELLO&ID=", "\r5301000000").status, 417);  // no key half
  EXPECT_EQ(g.post("/$rdgate?ACTION=START&ID=", "abc").status, 410);
  EXPECT_EQ(g.sessions().size(), 0u);

  // START before HELLO completes, then START twice.
  ProtocolClient::Settings plain;
  plain.encryptionKey = 0;
  auto c = g.client(plain);
  Results r;
  ASSERT_EQ(c.call(*MakeCall(u"Count", 0, u""), r), 200);
  EXPECT_EQ(g.post("/$rdgate?ACTION=START&ID=" + c.sessionId(), "x\r5301000000").status, 409);

  auto e = g.client();
  ASSERT_EQ(e.handshake(), 200);
  EXPECT_EQ(g.post("/$rdgate?ACTION=START&ID=" + e.sessionId(), "x\r5301000000").status, 409);
  // A START body that does not decipher drops the half-made state.
  auto h = g.client({}, 3);
  h.setSessionId("");
  std::string id;
  auto half = ProtocolClient(
      [&](const std::string& t, const std::string& b) {
        if (t.find("START") != std::string::npos) return g.post(t, "garbage" + b);
        auto reply = g.post(t, b);
        id = reply.cookieId;
        return reply;
      },
      {}, 9);
  EXPECT_EQ(half.handshake(), 417);
  EXPECT_EQ(g.post("/$rdgate?ID=" + id, "FC=Count;RE=0;").status, 200);  // plain again
}

TEST(RequestCore, LargeBodiesTravelCompressed) {
  Gateway g;
  ProtocolClient::Settings s;
  s.compress = true;
  for (std::size_t k : {std::size_t(16), std::size_t(0)}) {
    s.encryptionKey = k;
    auto c = g.client(s);
    if (k) {
      ASSERT_EQ(c.handshake(), 200);
    }
    const RtcWideString big(5000, u'a');
    Results r;
    ASSERT_EQ(c.call(*MakeCall(u"Echo", 1, big), r), 200);
    EXPECT_TRUE(c.lastReplyCompressed());  // a compressed request gets a compressed reply
    EXPECT_EQ(r[0]->asRecord()->asText("text"), big);
    ASSERT_EQ(c.call(*MakeCall(u"Echo", 1, u"small"), r), 200);
    EXPECT_FALSE(c.lastReplyCompressed());  // under 256 bytes: never
  }

  CoreConfig config;
  config.compression = Compression::Max;
  config.maxBody = 100000;
  Gateway packs(config);
  ProtocolClient::Settings plain;
  plain.encryptionKey = 0;
  auto c = packs.client(plain);
  Results r;
  ASSERT_EQ(c.call(*MakeCall(u"Echo", 1, RtcWideString(3000, u'z')), r), 200);
  EXPECT_TRUE(c.lastReplyCompressed());

  // A small body that inflates beyond the limit, and a damaged stream.
  std::string bomb = testing::ZlibPack(std::string(200000, 'X')) + std::string(1, '\0');
  EXPECT_EQ(packs.post("/$rdgate?ID=" + c.sessionId(), bomb).status, 413);
  bomb[5] ^= 0x55;
  EXPECT_EQ(packs.post("/$rdgate?ID=" + c.sessionId(), bomb).status, 400);
}

TEST(RequestCore, GarbageNeverRunsCallsAndNeverBreaksOtherSessions) {
  Gateway g;
  auto bystander = g.client({}, 21);
  ASSERT_EQ(bystander.handshake(), 200);
  std::mt19937 rng(3);
  Results r;
  for (int i = 0; i < 200; ++i) {
    std::string junk(rng() % 300, '\0');
    for (auto& ch : junk) ch = static_cast<char>(rng() & 0xFF);
    if (i % 3 == 0) junk = "FC=Count;RE=0;" + junk;  // a good call before the damage
    const std::string targets[] = {"/$rdgate?ID=NEW", "/$rdgate?ID=", "/$rdgate?ACTION=HELLO&ID=",
                                   "/$rdgate?ID=" + bystander.sessionId().substr(1),
                                   "/$rdgate?ACTION=RESET&ID=NEW"};
    const int status = g.post(targets[i % 5], junk).status;
    EXPECT_TRUE(status == 200 || status == 400 || status == 409 || status == 410 || status == 417)
        << status;
  }
  auto c = g.client({}, 4);
  ASSERT_EQ(c.handshake(), 200);
  ASSERT_EQ(c.send("FC=Count;RE=0;RE=2;a:I=1;", r), 400);  // damaged second item: none runs
  ASSERT_EQ(c.call(*MakeCall(u"Count", 0, u""), r), 200);
  EXPECT_EQ(r[0]->asInteger(), 1);
  ASSERT_EQ(bystander.call(*MakeCall(u"Count", 0, u""), r), 200);
  EXPECT_EQ(r[0]->asInteger(), 1);
}

TEST(RequestCore, PathMethodAndSessionLimit) {
  CoreConfig config;
  config.path = "/gate";
  Gateway g(config, 2);
  EXPECT_EQ(g.post("/$rdgate?ID=NEW", "X=;").status, 404);
  EXPECT_EQ(g.post("/GATE?ID=NEW", "FC=Echo;RE=0;").status, 200);  // case does not matter
  EXPECT_EQ(g.post("/%67ate?ID=NEW", "FC=Echo;RE=0;").status, 200);
  EXPECT_EQ(g.post("/gate?ID=NEW", "", "GET").status, 405);
  // Two sessions at most: the least recently used one that has not logged in makes room.
  const Reply first = g.post("/gate?ID=NEW", "FC=Echo;RE=0;");
  const Reply second = g.post("/gate?ID=NEW", "FC=Echo;RE=0;");
  EXPECT_EQ(g.post("/gate?ID=" + first.cookieId, "FC=Echo;RE=0;").status, 200);
  const Reply third = g.post("/gate?ID=NEW", "FC=Echo;RE=0;");
  ASSERT_EQ(third.status, 200);
  EXPECT_EQ(g.post("/gate?ID=" + second.cookieId, "FC=Echo;RE=0;").status, 410);
  EXPECT_EQ(g.post("/gate?ID=" + first.cookieId, "FC=Echo;RE=0;").status, 200);
  // Logged-in sessions are never pushed out.
  ASSERT_TRUE(g.sessions().bind(first.cookieId, "login-1"));
  ASSERT_TRUE(g.sessions().bind(third.cookieId, "login-3"));
  EXPECT_EQ(g.post("/gate?ID=NEW", "FC=Echo;RE=0;").status, 503);
  g.advance(std::chrono::seconds(61));
  EXPECT_EQ(g.post("/gate?ID=NEW", "FC=Echo;RE=0;").status, 200);  // idle ones make room
}

}  // namespace
}  // namespace vtx::gateway
