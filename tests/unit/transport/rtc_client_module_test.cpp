// The remote function client against the real gateway process on 127.0.0.1, and against small
// scripted servers for the failures a gateway does not produce on demand.
#include "transport/rtc_client_module.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "fakes/gateway_peers.h"
#include "support/fault_proxy.h"
#include "transport/rtc_http_client.h"
#include "util/exceptions.h"

namespace vtx {
namespace {

using namespace std::chrono_literals;
using testing::FaultProxy;
using testing::Gateway;
using testing::httpReply;
using testing::Proxy;
using testing::ScriptedServer;
using testing::TestServer;

// Collects results and aborts; waits with a time-out.
class Collector : public TRtcResult {
 public:
  Collector() {
    OnReturn = [this](TRtcConnection*, TRtcValue& data, TRtcValue& result) {
      std::lock_guard g(m_);
      calls.push_back(data.toCode());
      results.push_back(result.toCode());
      cv_.notify_all();
    };
    RequestAborted = [this](TRtcConnection*, TRtcValue&, TRtcValue&) {
      std::lock_guard g(m_);
      ++aborted;
      cv_.notify_all();
    };
  }
  bool waitFor(std::size_t n, int abortsToo = 0) {
    std::unique_lock l(m_);
    return cv_.wait_for(l, 10s, [&] { return results.size() >= n && aborted >= abortsToo; });
  }
  std::size_t resultCount() {
    std::lock_guard g(m_);
    return results.size();
  }
  std::vector<std::string> calls, results;
  int aborted = 0;

 private:
  std::mutex m_;
  std::condition_variable cv_;
};

std::string echoResult(int n) {
  TRtcRecord r;
  r.setAsInteger("n", n);
  return r.toCode();
}

// A client connection with one module on the gateway's request path.
struct Remote {
  explicit Remote(const std::string& port) {
    client.ServerAddr = "127.0.0.1";
    client.ServerPort = port;
    client.setMultiThreaded(true);
    client.setAutoConnect(true);
    module.setClient(&client);
    module.setModuleFileName("$rdgate");
    auto count = [](std::atomic<int>& c) { return [&c](TRtcConnection&) { ++c; }; };
    module.OnEncryptWrongKey = count(wrongKey);
    module.OnEncryptRequired = count(required);
    module.OnEncryptNotSupported = count(notSupported);
    module.OnSessionExpired = count(expired);
    module.OnResponseError = [this](TRtcConnection&) {
      std::lock_guard g(m);
      errors.push_back(client.Response().StatusText());
    };
  }
  ~Remote() { client.WaitForCompletion(false, 10, false); }
  void echo(int n, TRtcResult* handler) {
    module.Prepare("Echo").setAsInteger("n", n);
    module.Call(handler);
  }
  bool idle() { return client.WaitForCompletion(false, 10, false); }

  TRtcHttpClient client;
  TRtcClientModule module;
  std::atomic<int> wrongKey{0}, required{0}, notSupported{0}, expired{0};
  std::mutex m;
  std::vector<std::string> errors;
};

const std::vector<std::string> kForced = {"--secure-key", "K3y!", "--encryption", "16",
                                          "--force-encryption"};

TEST(ClientModule, EncryptedBatchesKeepTheirOrderAcrossRequests) {
  Gateway g(kForced);
  Remote r(g.port());
  r.module.setEncryptionKey(16);
  r.module.SecureKey = "K3y!";
  Collector c;
  for (int round = 0; round < 3; ++round) {  // the keystreams run on across requests
    r.module.StartCalls();
    for (int i = 0; i < 5; ++i) r.echo(round * 10 + i, &c);
    r.module.Prepare("Missing");
    r.module.Call(&c);
    r.module.Post();
    ASSERT_TRUE(c.waitFor(6 * (round + 1)));
  }
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 5; ++i) EXPECT_EQ(c.results[round * 6 + i], echoResult(round * 10 + i));
    auto missing = TRtcValue::FromCode(c.results[round * 6 + 5]);
    EXPECT_EQ(missing->isType(), rtc_Exception);
  }
  EXPECT_EQ(c.aborted, 0);
  EXPECT_FALSE(r.client.Session().ID().empty());
  EXPECT_EQ(r.wrongKey + r.required + r.notSupported, 0);
}

// The settings are the application's; the connection's jobs read them while they change.
TEST(ClientModule, SettingsChangeWhileCallsRun) {
  Gateway g({"--encryption", "0"});
  Remote r(g.port());
  Collector c;
  std::atomic<bool> stop{false};
  std::thread app([&] {
    for (int i = 0; !stop; ++i) {
      r.module.AutoRepost = i % 3;
      r.module.setAutoLogin(false);
      r.module.setForceEncryption(false);
      r.module.ResetLogin();
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 20; ++i) {
    r.echo(i, &c);
    ASSERT_TRUE(c.waitFor(static_cast<std::size_t>(i + 1)));
  }
  stop = true;
  app.join();
  EXPECT_TRUE(r.idle());
  for (int i = 0; i < 20; ++i) EXPECT_EQ(c.results[i], echoResult(i));
  const int32_t repost = r.module.AutoRepost;
  EXPECT_GE(repost, 0);
}

TEST(ClientModule, EncryptionRefusalsAbortTheCalls) {
  {  // wrong pre-shared key: the gateway answers HELLO with 417
    Gateway g(kForced);
    Remote r(g.port());
    r.module.setEncryptionKey(16);
    r.module.SecureKey = "wrong";
    r.module.AutoRepost = 1;
    Collector c;
    r.echo(1, &c);
    ASSERT_TRUE(c.waitFor(0, 1));
    EXPECT_TRUE(r.idle());
    EXPECT_EQ(c.resultCount(), 0u);
    EXPECT_EQ(r.wrongKey, 2);  // the first refusal was reposted once
  }
  {  // the gateway insists on encryption, the client does not offer it: 412
    Gateway g(kForced);
    Remote r(g.port());
    Collector c;
    r.echo(1, &c);
    ASSERT_TRUE(c.waitFor(0, 1));
    EXPECT_EQ(r.required, 1);
  }
  {  // the client insists, the gateway does not encrypt
    Gateway g({"--encryption", "0"});
    Remote r(g.port());
    r.module.setForceEncryption(true);
    Collector c;
    r.echo(1, &c);
    ASSERT_TRUE(c.waitFor(0, 1));
    EXPECT_EQ(r.notSupported, 1);
    EXPECT_EQ(c.resultCount(), 0u);
  }
  {  // the client asks for encryption, the gateway declines: plain calls go through
    Gateway g({"--encryption", "0"});
    Remote r(g.port());
    r.module.setEncryptionKey(16);
    Collector c;
    r.echo(7, &c);
    ASSERT_TRUE(c.waitFor(1));
    EXPECT_EQ(c.results[0], echoResult(7));
    EXPECT_FALSE(r.client.Session().ID().empty());  // the session asked for with it
  }
}

TEST(ClientModule, AutoLoginRunsOncePerSessionAheadOfTheCalls) {
  Gateway g(kForced);
  std::atomic<int> logins{0};
  std::atomic<int> loginResults{0};
  Remote r(g.port());
  r.module.setEncryptionKey(16);
  r.module.SecureKey = "K3y!";
  r.module.setAutoLogin(true);
  r.module.OnLogin = [&](TRtcConnection&, TRtcValue& data) {
    ++logins;
    data.SetObject(std::make_unique<TRtcFunctionInfo>(u"Echo"));
    data.asFunction()->setAsText("user", u"ana");
  };
  r.module.OnLoginResult = [&](TRtcConnection&, TRtcValue&, TRtcValue& result) {
    if (result.asRecord() && result.asRecord()->asText("user") == u"ana") ++loginResults;
  };
  Collector c;
  r.echo(1, &c);
  r.echo(2, &c);
  ASSERT_TRUE(c.waitFor(2));
  EXPECT_EQ(logins, 1);
  EXPECT_EQ(loginResults, 1);
  r.module.ResetLogin();  // a new session, and with it a new login
  r.echo(3, &c);
  ASSERT_TRUE(c.waitFor(3));
  EXPECT_EQ(logins, 2);
}

// A login answered with an exception is a refusal: the calls waiting for it are aborted once,
// and the login is not sent again and again.
TEST(ClientModule, ARefusedAutoLoginAbortsTheCallsThatNeedIt) {
  Gateway g(kForced);
  std::atomic<int> logins{0};
  Remote r(g.port());
  r.module.setEncryptionKey(16);
  r.module.SecureKey = "K3y!";
  r.module.setAutoLogin(true);
  r.module.OnLogin = [&](TRtcConnection&, TRtcValue& data) {
    ++logins;
    data.SetObject(std::make_unique<TRtcFunctionInfo>(u"NoSuchLogin"));
  };
  Collector c;
  r.echo(1, &c);
  r.echo(2, &c);
  ASSERT_TRUE(c.waitFor(0, 2));
  ASSERT_TRUE(r.idle());
  EXPECT_EQ(logins, 1);
  EXPECT_EQ(c.resultCount(), 0u);
}

TEST(ClientModule, DestroyedHandlerIsSkipped) {
  Gateway g(kForced);
  Remote r(g.port());
  r.module.setEncryptionKey(16);
  r.module.SecureKey = "K3y!";
  Collector kept;
  std::atomic<bool> called{false};
  r.module.StartCalls();
  {
    TRtcResult gone;
    gone.OnReturn = [&](TRtcConnection*, TRtcValue&, TRtcValue&) { called = true; };
    r.echo(1, &gone);
  }
  r.echo(2, &kept);
  r.module.Post();
  ASSERT_TRUE(kept.waitFor(1));
  EXPECT_EQ(kept.results[0], echoResult(2));
  EXPECT_FALSE(called);
}

TEST(ClientModule, ExpiredSessionIsReopenedAndTheCallReposted) {
  Gateway g({"--secure-key", "K3y!", "--encryption", "16", "--session-timeout", "0.3"});
  Remote r(g.port());
  r.module.setEncryptionKey(16);
  r.module.SecureKey = "K3y!";
  Collector c;
  r.echo(1, &c);
  ASSERT_TRUE(c.waitFor(1));
  const std::string first = r.client.Session().ID();
  std::this_thread::sleep_for(800ms);  // let the gateway forget the session
  r.echo(2, &c);
  ASSERT_TRUE(c.waitFor(2));
  EXPECT_EQ(c.results[1], echoResult(2));
  EXPECT_EQ(r.expired, 1);
  EXPECT_NE(r.client.Session().ID(), first);
}

// A server that closes right after its 410 takes the connection with it: the call is reposted
// on a new connection at once, and without the close the peer asked for.
TEST(ClientModule, ExpiredSessionWithConnectionCloseIsRepostedOnANewConnection) {
  std::mutex m;
  std::vector<std::string> heads;
  TestServer s([&](int fd, const std::atomic<bool>& stop) {
    std::string buf;
    while (auto req = testing::readMessage(fd, stop, buf, true)) {
      std::size_t n;
      {
        std::lock_guard g(m);
        heads.push_back(req->substr(0, req->find("\r\n\r\n")));
        n = heads.size();
      }
      if (n == 1) {
        TestServer::WriteAll(fd,
                             "HTTP/1.1 410 Gone\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        return;
      }
      const std::string body = req->substr(req->find("\r\n\r\n") + 4);
      auto call = TRtcValue::FromCode(body);
      TRtcRecord r;
      r.setAsInteger("n", call->asFunction()->asInteger("n"));
      if (!TestServer::WriteAll(fd, httpReply(r.toCode()))) return;
    }
  });
  Remote r(s.Port());
  r.module.setAutoSessions(true);
  Collector c;
  r.echo(7, &c);
  ASSERT_TRUE(c.waitFor(1));
  EXPECT_EQ(c.results[0], echoResult(7));
  EXPECT_EQ(c.aborted, 0);
  std::lock_guard g(m);
  ASSERT_EQ(heads.size(), 2u);
  for (auto& h : heads)
    for (auto& ch : h) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_EQ(heads[1].find("connection: close"), std::string::npos);
  EXPECT_NE(heads[1].find("http/1.1"), std::string::npos);
}

TEST(ClientModule, LargeBodiesAreCompressedBothWays) {
  Gateway g({"--secure-key", "K3y!", "--encryption", "16", "--compression", "max"});
  std::vector<int64_t> sent;
  for (auto level : {TRtcCompressLevel::cNone, TRtcCompressLevel::cMax}) {
    Remote r(g.port());
    r.module.setEncryptionKey(16);
    r.module.SecureKey = "K3y!";
    r.module.Compression = level;
    r.module.OnResponseDone = [&](TRtcConnection&) {
      if (r.client.Request().Query().Value("ACTION").empty())
        sent.push_back(r.client.Request().ContentOut);
    };
    Collector c;
    const RtcWideString big(20000, u'x');
    r.module.Prepare("Echo").setAsText("text", big);
    r.module.Call(&c);
    r.module.Prepare("Echo").setAsText("text", u"short");
    r.module.Call(&c);
    ASSERT_TRUE(c.waitFor(2));
    EXPECT_EQ(TRtcValue::FromCode(c.results[0])->asRecord()->asText("text"), big);
    EXPECT_EQ(TRtcValue::FromCode(c.results[1])->asRecord()->asText("text"), u"short");
    ASSERT_TRUE(r.idle());
  }
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_LT(sent[2] * 10, sent[0]);  // the big call shrank
  EXPECT_NEAR(sent[3], sent[1], 4);  // the short one went as it was (control keys vary)
}

TEST(ClientModule, ExecuteReturnsTheResultOrFailsWithItsText) {
  Gateway g(kForced);
  {
    Remote r(g.port());
    r.module.setEncryptionKey(16);
    r.module.SecureKey = "K3y!";
    r.module.Prepare("Echo").setAsInteger("n", 5);
    TRtcValue& v = r.module.Execute(10, false);
    EXPECT_EQ(v.toCode(), echoResult(5));
    r.module.Prepare("Echo").setAsInteger("n", 6);
    auto own = r.module.ExecuteDetached(10, false);
    EXPECT_EQ(own->toCode(), echoResult(6));
    EXPECT_EQ(r.module.LastResult(), nullptr);
  }
  // A server that accepts and never answers.
  TestServer silent([](int fd, const std::atomic<bool>& stop) {
    while (!stop) TestServer::ReadSome(fd, 50);
  });
  Remote r(silent.Port());
  r.module.Prepare("Echo");
  try {
    r.module.Execute(1, false);
    ADD_FAILURE() << "no time-out";
  } catch (const ERtcExecuteError& e) {
    EXPECT_STREQ(e.what(), "Error: Connection problems, response timed out.");
  }
  r.client.Disconnect();
}

TEST(ClientModule, ConnectionLostMidResponseIsReposted) {
  ScriptedServer s([](int n, const std::string& body) {
    if (n == 0) return std::string();
    auto call = TRtcValue::FromCode(body);
    TRtcRecord r;
    r.setAsInteger("n", call->asFunction()->asInteger("n"));
    return httpReply(r.toCode());
  });
  Remote r(s.Port());
  r.module.AutoRepost = 1;
  Collector c;
  r.echo(4, &c);
  ASSERT_TRUE(c.waitFor(1));
  EXPECT_EQ(c.results[0], echoResult(4));
  EXPECT_EQ(s.requests(), 2);
}

TEST(ClientModule, MalformedRepliesDeliverNoResults) {
  const std::string two = echoResult(1) + echoResult(2);
  for (const std::string& reply : {two, std::string("not code text"), std::string()}) {
    ScriptedServer s([&](int, const std::string&) { return httpReply(reply); });
    Remote r(s.Port());
    Collector c;
    r.echo(1, &c);
    ASSERT_TRUE(c.waitFor(0, 1));
    EXPECT_EQ(c.resultCount(), 0u);
    ASSERT_EQ(r.errors.size(), 1u);
    if (reply == two) {
      EXPECT_EQ(r.errors[0], "More Results received than Calls sent.");
    }
    if (reply.empty()) {
      EXPECT_EQ(r.errors[0], "No data received.");
    }
  }
}

// A reply that answers only the first of three calls: the other two are aborted, not left
// waiting for ever.
// An enciphered exchange cut and not reposted leaves the ciphers out of step: the next request
// restarts them at once instead of learning it from a refused round trip.
TEST(ClientModule, AnAbandonedEncryptedExchangeResetsTheNextRequest) {
  Gateway g(kForced);
  FaultProxy p(g.port());
  Remote r(p.port());
  r.module.setEncryptionKey(16);
  r.module.SecureKey = "K3y!";
  r.module.AutoRepost = 0;
  Collector c;
  r.echo(1, &c);
  ASSERT_TRUE(c.waitFor(1));
  p.cutAt(FaultProxy::Down, 0);  // the gateway answers, the client never reads it
  r.echo(2, &c);
  ASSERT_TRUE(c.waitFor(1, 1));
  ASSERT_TRUE(r.idle());
  r.echo(3, &c);
  ASSERT_TRUE(c.waitFor(2, 1));
  EXPECT_EQ(c.results[1], echoResult(3));
  EXPECT_EQ(r.wrongKey, 0);
  EXPECT_EQ(c.aborted, 1);
}

TEST(ClientModule, CallsMissingFromAShortReplyAreAborted) {
  ScriptedServer s([](int, const std::string&) { return httpReply(echoResult(1)); });
  Remote r(s.Port());
  Collector c;
  r.module.StartCalls();
  for (int i = 1; i <= 3; ++i) r.echo(i, &c);
  r.module.Post();
  ASSERT_TRUE(c.waitFor(1, 2));
  EXPECT_EQ(c.results, std::vector<std::string>{echoResult(1)});
  EXPECT_EQ(c.aborted, 2);
}

TEST(ClientModule, HandlerExceptionsDoNotStopTheOtherResults) {
  ScriptedServer s(
      [](int, const std::string&) { return httpReply(echoResult(1) + echoResult(2)); });
  std::atomic<int> errors{0};
  Remote r(s.Port());
  r.module.OnResultError = [&](TRtcConnection&, TRtcValue&, TRtcValue&, const std::exception& e) {
    if (std::string(e.what()) == "boom") ++errors;
  };
  TRtcResult thrower;
  thrower.OnReturn = [](TRtcConnection*, TRtcValue&, TRtcValue&) { throw ERtcInfo("boom"); };
  Collector c;
  r.module.StartCalls();
  r.echo(1, &thrower);
  r.echo(2, &c);
  r.module.Post();
  ASSERT_TRUE(c.waitFor(1));
  EXPECT_EQ(c.results[0], echoResult(2));
  EXPECT_EQ(errors, 1);
}

TEST(ClientModule, HyperThreadingKeepsEachThreadsBatch) {
  Gateway g({"--encryption", "0"});
  Remote r(g.port());
  r.module.HyperThreading = true;
  Collector a, b;
  auto batch = [&](Collector& c, int base) {
    r.module.StartCalls();
    for (int i = 0; i < 20; ++i) {
      r.module.Prepare("Echo").setAsInteger("n", base + i);
      r.module.Call(&c);
    }
    r.module.Post();
  };
  // A fresh client makes its job queue on first use: connect before two threads share it.
  r.client.Connect();
  std::thread t1([&] { batch(a, 0); });
  std::thread t2([&] { batch(b, 100); });
  t1.join();
  t2.join();
  ASSERT_TRUE(a.waitFor(20));
  ASSERT_TRUE(b.waitFor(20));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(a.results[i], echoResult(i));
    EXPECT_EQ(b.results[i], echoResult(100 + i));
  }
}

TEST(ClientModule, BadControlKeysResetTheCiphersThenRedoTheHandshake) {
  // Replies 2.. `lastDamaged` (the call's, then its reposts') fail their control key. Each
  // failure takes two reset steps; the fourth finds the count used up and drops the state.
  struct Case {
    int lastDamaged, wrongKeys;
    std::vector<std::string> actions;  // of the exchanges that completed
  };
  for (const Case& k : {Case{2, 1, {"HELLO", "START", "RESET"}},
                        Case{3, 2, {"HELLO", "START", "HELLO", "START", "RESET"}}}) {
    Gateway g(kForced);
    Proxy p(g.port(), [&](int n, std::string& reply) {
      if (n >= 2 && n <= k.lastDamaged) reply.back() = static_cast<char>(reply.back() ^ 0x55);
    });
    std::vector<std::string> actions;  // outlives the connection's events
    Remote r(p.Port());
    r.module.setEncryptionKey(16);
    r.module.SecureKey = "K3y!";
    r.module.AutoRepost = 3;
    r.module.OnResponseDone = [&](TRtcConnection&) {
      actions.push_back(r.client.Request().Query().Value("ACTION"));
    };
    Collector c;
    r.echo(1, &c);
    ASSERT_TRUE(c.waitFor(1));
    EXPECT_EQ(c.results[0], echoResult(1));
    ASSERT_TRUE(r.idle());
    EXPECT_EQ(r.wrongKey, k.wrongKeys);
    EXPECT_EQ(actions, k.actions);
    r.echo(2, &c);  // the keystreams go on from there
    ASSERT_TRUE(c.waitFor(2));
    EXPECT_EQ(c.results[1], echoResult(2));
  }
}

TEST(ClientModule, InteractiveResultsArriveLaterOutsideTheConnection) {
  Gateway g({"--encryption", "0"});
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::pair<bool, std::string>> seen;  // (had a sender, result)
  TRtcResult later;
  Remote r(g.port());
  later.OnReturn = [&](TRtcConnection* sender, TRtcValue& data, TRtcValue& result) {
    std::lock_guard l(m);
    seen.emplace_back(sender != nullptr, result.toCode());
    cv.notify_all();
    if (sender) throw EPostInteractive("later");
    EXPECT_EQ(data.asFunction()->asInteger("n"), 3);
  };
  r.echo(3, &later);
  std::unique_lock l(m);
  ASSERT_TRUE(cv.wait_for(l, 10s, [&] { return seen.size() == 2; }));
  EXPECT_TRUE(seen[0].first);
  EXPECT_FALSE(seen[1].first);
  EXPECT_EQ(seen[1].second, echoResult(3));
}

TEST(ClientModule, ReleasedModuleDeliversItsPendingResultsFirst) {
  Gateway g({"--encryption", "0"});
  std::atomic<int> deliveries{0};
  TRtcResult later;
  later.OnReturn = [&](TRtcConnection* sender, TRtcValue&, TRtcValue&) {
    ++deliveries;
    if (sender) throw EPostInteractive("later");
  };
  Remote r(g.port());
  auto module = std::make_unique<TRtcClientModule>();
  module->setClient(&r.client);
  module->setModuleFileName("$rdgate");
  module->Prepare("Echo");
  module->Call(&later);
  ASSERT_TRUE(r.idle());
  module->setClient(nullptr);
  TRtcClientModule::Release(std::move(module));  // gone once its result is out
  for (int i = 0; i < 1000 && deliveries < 2; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(deliveries, 2);
}

TEST(ClientModule, SettingsAndMisuse) {
  TRtcClientModule m;
  m.setModuleFileName("gate");
  EXPECT_EQ(m.ModuleFileName(), "/gate");
  m.setModuleHost("host.example-1");
  EXPECT_EQ(m.ModuleHost(), "HOST.EXAMPLE-1");
  EXPECT_EQ(m.CryptObjectName(), "HOST.EXAMPLE-1/gate.$CLI-CRYPT$");
  m.setForceEncryption(true);  // implies a key length and sessions
  EXPECT_EQ(m.EncryptionKey(), 16);
  m.setAutoSessions(false);  // and back
  EXPECT_EQ(m.EncryptionKey(), 0);
  EXPECT_FALSE(m.ForceEncryption());
  auto text = [](auto&& f) {
    try {
      f();
    } catch (const ERtcInfo& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  EXPECT_EQ(text([&] { m.setEncryptionKey(-1); }),
            "Negative values not allowed for EncryptionKey.");
  EXPECT_EQ(text([&] { m.Call(nullptr); }),
            "No data defined. Use the Data property before \"Call\".");
  EXPECT_EQ(text([&] { m.Param(); }),
            "Use Prepare() or Data.newFunction() to prepare a function object first.");
  EXPECT_EQ(text([&] { m.Post(); }),
            "Have to use \"StartCalls\" before \"Post\"\r\nto post multiple calls in one request.");
  EXPECT_EQ(text([&] { m.CancelCalls(); }),
            "\"CancelCalls\" can only be used in pair with \"StartCalls\"");
  TRtcClientModule unnamed;
  unnamed.Prepare("Echo");
  EXPECT_EQ(text([&] { unnamed.Call(nullptr); }),
            "Module FileName is undefined. Can not Post the request.");
  m.StartCalls();
  m.Prepare("Echo");
  m.Call(nullptr);
  EXPECT_EQ(m.CallsLevel(), 1);
  m.CancelCalls();  // the batch is gone: nothing is posted, so no client is needed
  EXPECT_EQ(m.CallsLevel(), 0);
  EXPECT_THROW(m.Call(nullptr), ERtcInfo);  // Data was moved into the dropped batch
}

TEST(ClientModule, ControlKeysCarryCheckDigitsAndAWrappingCounter) {
  int32_t counter = 97;
  for (int expected : {98, 99, 1, 2}) {
    const std::string key = NewControlKey(counter);
    EXPECT_EQ(counter, expected);
    ASSERT_GE(key.size(), 9u);
    ASSERT_LE(key.size(), 13u);
    const int r = static_cast<int>(key.size()) - 9;
    int sum = 0;
    for (std::size_t i = 4; i < key.size(); ++i) sum += key[i] - '0';
    EXPECT_EQ(std::stoi(key.substr(0, 2)), 53 - 9 * r + sum);
    EXPECT_EQ(std::stoi(key.substr(2, 2)), expected);
  }
}

}  // namespace
}  // namespace vtx
