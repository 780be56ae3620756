#include <gtest/gtest.h>

#include "fakes/socket_test_client.h"
#include "fakes/socket_test_server.h"
#include "transport/main_loop.h"

namespace vtx {
namespace {
using testing::pattern;
using testing::SocketClient;
using testing::TestServer;
using namespace std::chrono_literals;

TRtcSocketOptions blocking() {
  TRtcSocketOptions o;
  o.Blocking = true;
  return o;
}

// Both transports, one script: the same events in the same order.
std::vector<std::string> echoScript(TRtcSocketOptions o) {
  TestServer server(TestServer::Echo);
  SocketClient client(o);
  client.ServerPort = server.Port();
  client.Connect();
  EXPECT_TRUE(SocketClient::waitFor([&] { return client.has("connect"); }));
  client.inContext([&] { client.Provider()->Write("abc"); });
  EXPECT_TRUE(SocketClient::waitFor([&] { return client.receivedSize() == 3; }));
  client.inContext([&] { client.Disconnect(); });
  EXPECT_TRUE(SocketClient::waitFor([&] { return client.has("lost"); }));
  std::lock_guard g(client.lock);
  return client.events;
}

TEST(SocketBlocking, GivesTheSameEventsInTheSameOrderAsTheReactor) {
  auto reactor = echoScript({});
  auto blockingEvents = echoScript(blocking());
  EXPECT_EQ(reactor, (std::vector<std::string>{"connect", "sent", "lost"}));
  EXPECT_EQ(blockingEvents, reactor);
}

TEST(SocketBlocking, LargeDataRoundTripsOnTheConnectionThread) {
  TestServer server(TestServer::Echo);
  SocketClient client(blocking());
  client.ServerPort = server.Port();
  client.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.has("connect"); }));
  const std::string data = pattern(4u << 20);
  client.inContext([&] { client.Provider()->Write(data); });
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.receivedSize() >= data.size(); }, 60s));
  EXPECT_TRUE(client.receivedCopy() == data);
}

TEST(SocketBlocking, FailuresAndTimeOuts) {
  int port;
  {
    TestServer gone(nullptr);
    port = std::stoi(gone.Port());
  }
  SocketClient refused(blocking());
  refused.ServerPort = std::to_string(port);
  refused.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return !refused.lastEvent().empty(); }));
  EXPECT_EQ(refused.lastEvent(), "error: Connection refused");

  TestServer closing([](int fd, const std::atomic<bool>&) { TestServer::WriteAll(fd, "bye"); });
  SocketClient peerClose(blocking());
  peerClose.ServerPort = closing.Port();
  peerClose.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return peerClose.has("lost"); }));
  EXPECT_EQ(peerClose.receivedCopy(), "bye");

  TestServer silent([](int fd, const std::atomic<bool>& stop) {
    TestServer::ReadSome(fd, 2000);
    while (!stop) std::this_thread::sleep_for(10ms);
  });
  TRtcSocketOptions o = blocking();
  o.ReceiveTimeout = 200;
  SocketClient waiting(o);
  waiting.ServerPort = silent.Port();
  waiting.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return waiting.has("connect"); }));
  waiting.inContext([&] { waiting.Provider()->Write("request"); });
  ASSERT_TRUE(SocketClient::waitFor([&] { return waiting.has("lost"); }));
}

TEST(SocketBlocking, SingleThreadedRunsOnTheMainLoop) {
  RunLoop loop;
  SetMainLoop(&loop);
  TestServer server(TestServer::Echo);
  {
    SocketClient client(blocking(), false);
    client.ServerPort = server.Port();
    client.Connect();
    loop.runUntil([&] { return client.has("connect"); });
    client.Provider()->Write("main");
    loop.runUntil([&] { return client.receivedCopy().size() == 4; });
    EXPECT_EQ(client.receivedCopy(), "main");
  }
  loop.processPending();
  SetMainLoop(nullptr);
}

}  // namespace
}  // namespace vtx
