#include "transport/rtc_connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "fakes/fake_transport.h"
#include "transport/main_loop.h"
#include "util/exceptions.h"

namespace vtx {
namespace {
using testing::FakeClient;
using testing::FakeTransport;
using O = FakeTransport::Outcome;

// Single-threaded clients on a manual-clock timer service; no main loop, so the test thread is
// the connection's thread.
class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client.setTimerService(&timers);
    client.ServerAddr = "gw";
    client.ServerPort = "1025";
    client.OnConnect = [this](TRtcConnection&) { log.push_back("connect"); };
    client.OnDisconnect = [this](TRtcConnection&) { log.push_back("disconnect"); };
    client.OnReconnect = [this](TRtcConnection&) { log.push_back("reconnect"); };
    client.OnConnectFail = [this](TRtcConnection&) { log.push_back("fail"); };
    client.OnConnectLost = [this](TRtcConnection&) { log.push_back("lost"); };
  }
  void advanceSeconds(double s) {
    int64_t until = now + static_cast<int64_t>(s * 1000);
    while (now < until) {
      now += 1;
      timers.ProcessDue();
    }
  }

  int64_t now = 0;
  TimerService timers{[this] { return now; }, false};
  FakeTransport::Script script;
  std::vector<std::string> log;
  FakeClient client{script};
};

TEST_F(ConnectionTest, UnhandledConnectErrorRaisesWithTheTransportMessage) {
  script.outcomes = {O::Error};
  try {
    client.Connect();
    FAIL() << "no exception";
  } catch (const ERtcConnection& e) {
    EXPECT_STREQ(e.what(), "Connection refused");
  }
  EXPECT_FALSE(client.isConnecting());

  // A handler takes the error instead.
  std::string seen;
  client.OnConnectError = [&](TRtcConnection&, const std::exception& e) { seen = e.what(); };
  script.outcomes = {O::Error};
  EXPECT_NO_THROW(client.Connect());
  EXPECT_EQ(seen, "Connection refused");
  EXPECT_EQ(ConnectionLimits::Clients(), 0);
}

TEST_F(ConnectionTest, ConnectCountsAndDisconnectUncounts) {
  int before = ConnectionLimits::Total();
  client.Connect();
  EXPECT_TRUE(client.isConnected());
  EXPECT_EQ(ConnectionLimits::Total(), before + 1);
  EXPECT_EQ(client.PeerAddr(), "gw");
  client.Disconnect();
  EXPECT_FALSE(client.isConnected());
  EXPECT_EQ(ConnectionLimits::Total(), before);
  EXPECT_EQ(log, (std::vector<std::string>{"connect", "disconnect", "lost"}));
  EXPECT_EQ(script.connects, 1);
}

TEST_F(ConnectionTest, ClosingApplicationRefusesTheOpen) {
  ConnectionLimits::SetClosingApplication(true);
  std::string seen, cls;
  client.OnConnectError = [&](TRtcConnection&, const std::exception& e) {
    seen = e.what();
    cls = exceptionClassName(e);
  };
  client.ReconnectOn.ConnectError = true;  // a limit error is never retried
  client.Connect();
  ConnectionLimits::SetClosingApplication(false);
  EXPECT_EQ(seen, "Closing application.");
  EXPECT_EQ(cls, "EClientLimitReached");
  EXPECT_FALSE(client.isConnected());
  advanceSeconds(5);
  EXPECT_EQ(script.connects, 1);
}

TEST_F(ConnectionTest, ReconnectWaitsAndASecondRequestWhilePendingDoesNothing) {
  client.Reconnect(0);
  EXPECT_EQ(script.connects, 1);
  EXPECT_TRUE(client.isConnected());
  client.Disconnect();

  client.Reconnect(2);
  client.Reconnect(2);
  client.Reconnect(0);
  advanceSeconds(1.9);
  EXPECT_EQ(script.connects, 1);
  advanceSeconds(0.2);
  EXPECT_EQ(script.connects, 2);
  advanceSeconds(10);
  EXPECT_EQ(script.connects, 2);

  // Disconnect cancels a pending reconnect.
  client.Disconnect();
  client.Reconnect(2);
  client.Disconnect();
  advanceSeconds(5);
  EXPECT_EQ(script.connects, 2);
}

TEST_F(ConnectionTest, LostConnectionAndConnectFailureReconnectAfterTheWait) {
  client.ReconnectOn.ConnectLost = client.ReconnectOn.ConnectFail = true;
  client.ReconnectOn.Wait = 2;
  script.outcomes = {O::Connect, O::Fail, O::Connect};
  client.Connect();
  client.Fake()->Drop();
  EXPECT_EQ(log, (std::vector<std::string>{"connect", "disconnect", "lost"}));
  advanceSeconds(2.1);  // reconnect → fails
  EXPECT_EQ(script.connects, 2);
  advanceSeconds(2.1);  // reconnect → connects
  EXPECT_EQ(script.connects, 3);
  EXPECT_TRUE(client.isConnected());
  EXPECT_EQ(log, (std::vector<std::string>{"connect", "disconnect", "lost", "reconnect", "fail",
                                           "reconnect", "connect"}));
  // Without ConnectLost the connection stays down.
  client.ReconnectOn.ConnectLost = false;
  client.Fake()->Drop();
  advanceSeconds(5);
  EXPECT_EQ(script.connects, 3);
  EXPECT_FALSE(client.isConnecting());
}

TEST_F(ConnectionTest, AfterConnectingCountdownRestartsOnEveryTrigger) {
  client.Timeout.AfterConnecting = 30;
  client.Connect();
  advanceSeconds(20);
  client.Fake()->Receive(10);  // restarts: a full interval from now, due at 50 s
  EXPECT_EQ(client.ReadCount, 10u);
  advanceSeconds(29.5);
  EXPECT_TRUE(client.isConnected());
  EXPECT_FALSE(client.TimedOut());
  advanceSeconds(1);
  EXPECT_FALSE(client.isConnected());
  EXPECT_TRUE(client.TimedOut());
  EXPECT_EQ(log, (std::vector<std::string>{"connect", "disconnect", "lost"}));
  client.Connect();  // clears TimedOut
  EXPECT_FALSE(client.TimedOut());
}

TEST_F(ConnectionTest, DisconnectInsideAnEventTakesEffectWhenItReturns) {
  bool connectedInside = false;
  client.ReconnectOn.ConnectLost = true;  // a wanted disconnect never reconnects
  client.OnConnect = [&](TRtcConnection& c) {
    client.Disconnect();
    connectedInside = c.State() == TRtcConnectionState::conActive;
    log.push_back("connect");
  };
  client.Connect();
  EXPECT_TRUE(connectedInside);
  EXPECT_FALSE(client.isConnected());
  EXPECT_FALSE(client.isClosing() && client.Provider() == nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"connect", "disconnect", "lost"}));
  advanceSeconds(5);
  EXPECT_EQ(script.connects, 1);
}

TEST_F(ConnectionTest, DisconnectThenReconnectInsideAnEventConnectsAgain) {
  int connects = 0;
  client.OnConnect = [&](TRtcConnection&) {
    if (++connects > 1) return;
    client.Disconnect();
    client.Reconnect(1);
  };
  client.Connect();  // the reconnect waits ReconnectOn.Wait (0) once the close is done
  EXPECT_EQ(script.connects, 2);
  EXPECT_TRUE(client.isConnected());

  // The other order: the later Disconnect wins.
  client.OnConnect = [&](TRtcConnection&) {
    client.Reconnect(1);
    client.Disconnect();
  };
  client.Disconnect();
  client.Connect();
  advanceSeconds(3);
  EXPECT_EQ(script.connects, 3);
  EXPECT_FALSE(client.isConnected());
}

TEST_F(ConnectionTest, ImmediateRetriesAreServedOneAfterAnotherNotNested) {
  client.ReconnectOn.ConnectFail = true;  // Wait 0: retried at once
  script.outcomes.assign(500, O::Fail);
  script.outcomes.push_back(O::Connect);
  client.Connect();
  EXPECT_EQ(script.connects, 501);
  EXPECT_EQ(script.maxDepth, 1);
  EXPECT_TRUE(client.isConnected());
  EXPECT_EQ(client.ConnectLevel(), 0);
  EXPECT_EQ(client.PendingConnects(), 0);
}

TEST_F(ConnectionTest, ANestedConnectIsServedAfterTheCurrentOneAndKeepsTheWish) {
  // The first attempt errs with no handler and no retry, but a second Connect is pending: no
  // exception, and the pending call gets its own transport connect.
  script.outcomes = {O::Error, O::Connect};
  int pendingInside = -1;
  script.onConnect = [&] {
    client.Connect();
    pendingInside = client.PendingConnects();
  };
  EXPECT_NO_THROW(client.Connect());
  EXPECT_EQ(pendingInside, 1);
  EXPECT_EQ(script.connects, 2);
  EXPECT_EQ(script.maxDepth, 1);
  EXPECT_TRUE(client.isConnected());

  // The same with a lost connection: the pending connect keeps WantConnect.
  client.Disconnect();
  script.outcomes = {O::Fail, O::Connect};
  script.onConnect = [&] { client.Connect(); };
  client.Connect();
  EXPECT_EQ(script.connects, 4);
  EXPECT_TRUE(client.isConnected());
  EXPECT_EQ(log.back(), "connect");
}

TEST_F(ConnectionTest, MultiThreadedCannotChangeWhileConnecting) {
  client.Connect();
  EXPECT_THROW(client.setMultiThreaded(true), ERtcConnection);
  client.Disconnect();
  EXPECT_NO_THROW(client.setMultiThreaded(true));
  EXPECT_EQ(client.Provider(), nullptr);
}

TEST(ConnectionThreads, WithoutATransportASingleThreadedClientIsInItsThreadAnywhere) {
  RunLoop loop;
  SetMainLoop(&loop);
  FakeTransport::Script script;
  FakeClient client(script);
  bool ranAtOnce = false;
  std::thread([&] {
    EXPECT_TRUE(client.inThread());
    EXPECT_TRUE(client.inMainThread());
    EXPECT_TRUE(client.PostJob([&] { ranAtOnce = true; }));
  }).join();
  EXPECT_TRUE(ranAtOnce);
  client.setMultiThreaded(true);
  EXPECT_FALSE(client.inThread());
  SetMainLoop(nullptr);
}

TEST(ConnectionThreads, MultiThreadedEventsRunOnTheQueueAndSyncReachesTheMainThread) {
  RunLoop loop;
  SetMainLoop(&loop);
  FakeTransport::Script script;
  std::atomic<bool> inThread{false}, syncOnMain{false}, done{false};
  {
    FakeClient client(script);
    client.setMultiThreaded(true);
    TRtcNotifyEvent onMain = [&](TRtcConnection&) { syncOnMain = loop.isMainThread(); };
    client.OnConnect = [&](TRtcConnection& c) {
      inThread = c.inThread() && !loop.isMainThread();
      EXPECT_TRUE(c.Sync(onMain));
      done = true;
    };
    EXPECT_FALSE(client.Sync(onMain) && false);
    client.Connect();
    loop.runUntil([&] { return done.load(); });
    EXPECT_TRUE(inThread.load());
    EXPECT_TRUE(syncOnMain.load());
    std::atomic<bool> posted{false};
    EXPECT_TRUE(client.PostJob([&] { posted = client.inThread(); }));
    loop.runUntil([&] { return posted.load(); });
    std::atomic<bool> gone{false};
    client.OnDisconnect = [&](TRtcConnection&) { gone = true; };
    client.Disconnect();
    loop.runUntil([&] { return gone.load(); });
    // The connection's state belongs to its thread: read it there.
    std::atomic<int> connected{-1};
    client.PostJob([&] { connected = client.isConnected(); });
    loop.runUntil([&] { return connected.load() >= 0; });
    EXPECT_EQ(connected.load(), 0);
  }
  SetMainLoop(nullptr);
}

TEST(ConnectionThreads, DestroyingFromAnotherThreadWaitsForTheRunningEvent) {
  FakeTransport::Script script;
  auto client = std::make_unique<FakeClient>(script);
  client->setMultiThreaded(true);
  std::atomic<bool> started{false}, finished{false};
  // The handler's own state: destroyed with the handler if it is cleared while running.
  auto state = std::make_shared<std::vector<int>>(1000, 7);
  client->OnConnect = [&, state](TRtcConnection&) {
    started = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int sum = 0;
    for (int v : *state) sum += v;
    finished = sum == 7000;
  };
  state.reset();
  client->Connect();
  while (!started) std::this_thread::yield();
  client.reset();
  EXPECT_TRUE(finished.load());
}

// The portal client disconnects from the main thread while the connection's thread handles a
// lost connection and arms its reconnect timer. ThreadSanitizer watches the timer's reference.
TEST(ConnectionThreads, DisconnectOnTheMainThreadWhileTheConnectionArmsItsReconnect) {
  int64_t now = 0;
  TimerService timers{[&] { return now; }, false};  // the reconnect waits never end
  FakeTransport::Script script;
  FakeClient client(script);
  client.setTimerService(&timers);
  client.setMultiThreaded(true);
  client.ReconnectOn.ConnectLost = true;
  client.ReconnectOn.Wait = 5;
  std::atomic<int> connects{0};
  client.OnConnect = [&](TRtcConnection&) { ++connects; };
  for (int i = 1; i <= 100; ++i) {
    client.Connect();
    for (int n = 0; n < 10000 && connects < i; ++n) std::this_thread::yield();
    ASSERT_EQ(connects.load(), i);
    client.PostJob([&] { client.Fake()->Drop(); });  // lost: the reconnect timer is armed
    client.Disconnect();
    std::atomic<bool> settled{false};
    client.PostJob([&] { settled = true; });
    for (int n = 0; n < 100000 && !settled; ++n) std::this_thread::yield();
    ASSERT_TRUE(settled.load());
  }
}

// A reconnect already waiting on the connection's queue when Disconnect() comes (its transport
// still closing when it runs) neither brings the connection back nor announces a reconnect.
TEST(ConnectionThreads, AReconnectQueuedBeforeDisconnectLeavesItDisconnected) {
  int64_t now = 0;
  TimerService timers{[&] { return now; }, false};
  FakeTransport::Script script;
  script.closeLater = true;
  FakeClient client(script);
  client.setTimerService(&timers);
  client.setMultiThreaded(true);
  client.ReconnectOn.Wait = 1;
  std::atomic<int> connects{0}, reconnects{0};
  client.OnConnect = [&](TRtcConnection&) { ++connects; };
  client.OnReconnect = [&](TRtcConnection&) { ++reconnects; };
  auto settle = [&] {
    std::atomic<bool> settled{false};
    client.PostJob([&] { settled = true; });
    for (int n = 0; n < 1000000 && !settled; ++n) std::this_thread::yield();
    ASSERT_TRUE(settled.load());
  };
  client.Connect();
  settle();
  ASSERT_EQ(connects.load(), 1);
  std::atomic<bool> go{false};
  client.PostJob([&] {
    while (!go) std::this_thread::yield();
  });
  client.Reconnect(0);  // its step waits behind the job above
  client.Disconnect();
  go = true;
  settle();
  now += 10000;  // any reconnect wait armed meanwhile ends
  timers.ProcessDue();
  settle();
  EXPECT_EQ(script.connects, 1);
  EXPECT_EQ(connects.load(), 1);
  EXPECT_EQ(reconnects.load(), 0);
  EXPECT_FALSE(client.isConnected());
}

// A single-threaded time-out fires on the timer thread and is delivered by the main loop; the
// connection may be gone by then. Under AddressSanitizer the stale delivery touches freed memory.
TEST(ConnectionThreads, ATimeOutDeliveredAfterItsConnectionWentIsDropped) {
  RunLoop loop;
  SetMainLoop(&loop);
  int64_t now = 0;
  TimerService timers{[&] { return now; }, false};
  FakeTransport::Script script;
  auto client = std::make_unique<FakeClient>(script);
  client->setTimerService(&timers);
  client->Timeout.AfterConnect = 1;
  client->Connect();
  now = 2000;
  std::thread([&] { timers.ProcessDue(); }).join();  // the expiry waits in the main loop
  client.reset();
  loop.processPending();
  // A live connection still gets its time-out from the loop.
  FakeClient kept(script);
  kept.setTimerService(&timers);
  kept.Timeout.AfterConnect = 1;
  bool lost = false;
  kept.OnDisconnect = [&](TRtcConnection&) { lost = true; };
  kept.Connect();
  now = 4000;
  std::thread([&] { timers.ProcessDue(); }).join();
  EXPECT_FALSE(lost);
  loop.processPending();
  EXPECT_TRUE(lost);
  EXPECT_TRUE(kept.TimedOut());
  SetMainLoop(nullptr);
}

// A client released inside its own OnConnect lives until the event (and the transport that
// raised it) has returned, then goes by itself: on its queue, or on the main loop.
struct GoneMark {
  explicit GoneMark(std::atomic<bool>& gone) : gone_(gone) {}
  ~GoneMark() { gone_ = true; }  // a base destroyed last: the whole client is gone
  std::atomic<bool>& gone_;
};

class CountedClient : private GoneMark, public FakeClient {
 public:
  CountedClient(FakeTransport::Script& script, std::atomic<bool>& gone)
      : GoneMark(gone), FakeClient(script) {}
};

TEST(ConnectionThreads, ReleasingInsideOnConnectDestroysOnceTheEventReturned) {
  for (bool multi : {true, false}) {
    SCOPED_TRACE(multi ? "multi-threaded" : "main loop");
    RunLoop loop;
    SetMainLoop(&loop);
    FakeTransport::Script script;
    std::atomic<bool> gone{false}, aliveAfter{false};
    auto owned = std::make_unique<CountedClient>(script, gone);
    CountedClient* client = owned.get();
    client->setMultiThreaded(multi);
    std::unique_ptr<TRtcClient> owner = std::move(owned);
    // Multi-threaded, the release comes in the reconnect's OnConnect, on the connection's
    // thread alone (the first Connect runs on this thread).
    std::atomic<int> connects{0};
    client->ReconnectOn.ConnectLost = true;
    client->OnConnect = [&, multi](TRtcConnection& c) {
      if (++connects < (multi ? 2 : 1)) return;
      TRtcClient::Release(std::move(owner));
      aliveAfter = !gone && c.ServerAddr == "gw";
    };
    client->ServerAddr = "gw";
    client->Connect();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    if (multi) {
      loop.runUntil([&] { return connects > 0 || std::chrono::steady_clock::now() > limit; });
      client->PostJob([client] { client->Fake()->Drop(); });
    }
    loop.runUntil([&] { return gone || std::chrono::steady_clock::now() > limit; });
    ASSERT_TRUE(gone.load());
    EXPECT_TRUE(aliveAfter.load());
    EXPECT_EQ(owner, nullptr);
    SetMainLoop(nullptr);
  }
  // Outside its events the client goes at once.
  FakeTransport::Script script;
  std::atomic<bool> gone{false};
  auto c = std::make_unique<CountedClient>(script, gone);
  c->Connect();
  TRtcClient::Release(std::move(c));
  EXPECT_TRUE(gone.load());
}

}  // namespace
}  // namespace vtx
