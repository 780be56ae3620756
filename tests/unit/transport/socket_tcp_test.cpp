#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakes/socket_test_client.h"
#include "fakes/socket_test_server.h"
#include "transport/main_loop.h"
#include "transport/rtc_connection.h"
#include "transport/socket_provider.h"

namespace vtx {
namespace {
using testing::pattern;
using testing::SocketClient;
using testing::TestServer;
using namespace std::chrono_literals;

TEST(SocketTcp, ConnectsEchoesAndReportsAddresses) {
  TestServer server(TestServer::Echo);
  SocketClient client;
  client.ServerPort = server.Port();
  client.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.has("connect"); }));
  EXPECT_EQ(client.peer, "127.0.0.1:" + server.Port());
  EXPECT_EQ(client.local, "127.0.0.1");
  client.inContext([&] { client.Provider()->Write("hello"); });
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.receivedSize() == 5; }));
  EXPECT_EQ(client.receivedCopy(), "hello");
  EXPECT_TRUE(client.has("sent"));
  EXPECT_EQ(client.WriteCount, 5u);
  EXPECT_EQ(client.ReadCount, 5u);
  client.inContext([&] { client.Disconnect(); });
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.has("lost"); }));
  std::atomic<int> state{-1};
  client.inContext([&] { state = static_cast<int>(client.State()); });
  EXPECT_EQ(state.load(), static_cast<int>(TRtcConnectionState::conInactive));
}

TEST(SocketTcp, SeveralMebibytesArriveIntactInBothDirections) {
  TestServer server(TestServer::Echo);
  SocketClient client;
  client.ServerPort = server.Port();
  client.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.has("connect"); }));
  const std::string data = pattern(6u << 20);
  // Several writes, handed over while earlier ones are still going out.
  client.inContext([&] {
    for (size_t off = 0; off < data.size(); off += 1u << 20)
      client.Provider()->Write(data.substr(off, 1u << 20));
  });
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.receivedSize() >= data.size(); }, 60s));
  EXPECT_TRUE(client.receivedCopy() == data);
  std::atomic<uint64_t> written{0};
  client.inContext([&] { written = client.WriteCount; });
  EXPECT_EQ(written.load(), data.size());
}

// Each echo answer writes the next message from inside the delivery, the way a client answers
// a response: every byte is reported once and every emptied buffer once as sent.
TEST(SocketTcp, WritesFromInsideDeliveriesReportEachByteAndEachSendOnce) {
  TestServer server(TestServer::Echo);
  SocketClient client;
  client.ServerPort = server.Port();
  constexpr int kRounds = 200;
  const std::string msg = pattern(300);
  client.OnDataReceived = [&](TRtcConnection&) {
    std::string got = client.Provider()->Read();
    size_t total;
    {
      std::lock_guard g(client.lock);
      client.received += got;
      total = client.received.size();
    }
    if (total % msg.size() == 0 && total / msg.size() < kRounds) {
      client.Provider()->Write(msg);
    }
  };
  client.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.has("connect"); }));
  client.inContext([&] { client.Provider()->Write(msg); });
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.receivedSize() >= kRounds * msg.size(); }));
  std::string expected;
  for (int i = 0; i < kRounds; ++i) expected += msg;
  EXPECT_TRUE(client.receivedCopy() == expected);
  std::atomic<uint64_t> written{0};
  client.inContext([&] { written = client.WriteCount; });
  EXPECT_EQ(written.load(), expected.size());
  auto events = client.eventsCopy();
  EXPECT_EQ(std::count(events.begin(), events.end(), "sent"), kRounds);
}

TEST(SocketTcp, PeerCloseIsALostConnectionAfterTheLastData) {
  TestServer server([](int fd, const std::atomic<bool>&) { TestServer::WriteAll(fd, "bye"); });
  SocketClient client;
  client.ServerPort = server.Port();
  client.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.has("lost"); }));
  EXPECT_EQ(client.receivedCopy(), "bye");
  EXPECT_EQ(client.eventsCopy(), (std::vector<std::string>{"connect", "lost"}));
}

TEST(SocketTcp, ClosedPortAndUnknownHostAreConnectErrors) {
  int port;
  {
    TestServer gone(nullptr);
    port = std::stoi(gone.Port());
  }
  SocketClient client;
  client.ServerPort = std::to_string(port);
  client.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return !client.lastEvent().empty(); }));
  EXPECT_EQ(client.lastEvent(), "error: Connection refused");

  SocketClient named;
  named.ServerAddr = "no-such-host.invalid";
  named.ServerPort = "80";
  named.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return !named.lastEvent().empty(); }));
  EXPECT_EQ(named.lastEvent().rfind(
                "error: WSocketResolveHost: Cannot convert host address 'no-such-host.invalid', "
                "Error #",
                0),
            0u)
      << named.lastEvent();
}

TEST(SocketTcp, HostNamesResolveOffTheReactor) {
  TestServer server(TestServer::Echo);
  SocketClient client;
  client.ServerAddr = "localhost";  // may list ::1 first: the next address is tried
  client.ServerPort = server.Port();
  client.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.has("connect"); }));
}

// A listener that never accepts, its backlog filled: further SYNs go unanswered.
struct FullBacklog {
  TestServer server{nullptr, 0};
  std::vector<int> fillers;
  FullBacklog() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(server.Port())));
    for (int i = 0; i < 8; ++i) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      fillers.push_back(fd);
    }
    std::this_thread::sleep_for(100ms);
  }
  ~FullBacklog() {
    for (int fd : fillers) close(fd);
  }
};

TEST(SocketTcp, ConnectTimesOutAgainstAnUnansweringListener) {
  FullBacklog full;
  TRtcSocketOptions o;
  o.ConnectTimeout = 300;
  SocketClient client(o);
  client.ServerPort = full.server.Port();
  client.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return !client.lastEvent().empty(); }));
  EXPECT_EQ(client.lastEvent(), "error: Connection timed out");

  // Closed while the connect is still under way: a connect failure, and the transport is idle.
  SocketClient cancelled;
  cancelled.ServerPort = full.server.Port();
  cancelled.Connect();
  std::this_thread::sleep_for(50ms);
  cancelled.inContext([&] {
    cancelled.Provider()->Write("dropped");
    cancelled.Disconnect();
  });
  ASSERT_TRUE(SocketClient::waitFor([&] { return !cancelled.lastEvent().empty(); }));
  EXPECT_EQ(cancelled.eventsCopy(), (std::vector<std::string>{"fail"}));
  EXPECT_EQ(ConnectionLimits::Clients(), 0);
}

TEST(SocketTcp, ReceiveTimeOutDropsASilentPeer) {
  TestServer server([](int fd, const std::atomic<bool>& stop) {
    TestServer::ReadSome(fd, 2000);
    while (!stop) std::this_thread::sleep_for(10ms);  // never answers
  });
  TRtcSocketOptions o;
  o.ReceiveTimeout = 200;
  SocketClient client(o);
  client.ServerPort = server.Port();
  client.Connect();
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.has("connect"); }));
  // Idle before the write: no time-out runs.
  std::this_thread::sleep_for(400ms);
  EXPECT_FALSE(client.has("lost"));
  client.inContext([&] { client.Provider()->Write("request"); });
  ASSERT_TRUE(SocketClient::waitFor([&] { return client.has("lost"); }));
}

// A server that floods every connection, so readiness and deliveries are always pending.
void flood(int fd, const std::atomic<bool>& stop) {
  const std::string chunk(4096, 'x');
  while (!stop && TestServer::WriteAll(fd, chunk)) {
  }
}

TEST(SocketTcp, DestroyedWithDeliveriesQueuedOnTheMainLoop) {
  RunLoop loop;
  SetMainLoop(&loop);
  TestServer server(flood);
  for (int round = 0; round < 10; ++round) {
    auto client = std::make_unique<SocketClient>(TRtcSocketOptions{}, false);
    client->ServerPort = server.Port();
    client->Connect();
    if (round % 2) loop.runUntil([&] { return client->receivedSize() > 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(round));
    client.reset();
    loop.processPending();  // deliveries queued for it find the gate closed
  }
  SetMainLoop(nullptr);
}

TEST(SocketTcp, DestroyedInsideItsOwnEventWhileTheReactorKeepsReading) {
  TestServer server(flood);
  for (int round = 0; round < 10; ++round) {
    auto* client = new SocketClient();
    client->ServerPort = server.Port();
    std::atomic<bool> gone{false}, started{false};
    bool asked = false;
    client->OnDataIn = [&, client](TRtcConnection&) {
      if (asked || client->ReadCount < 20000u * static_cast<unsigned>(round + 1)) return;
      asked = true;
      client->PostJob([&, client] {
        // Not while this thread's Connect call may still be inside the object.
        while (!started) std::this_thread::yield();
        delete client;
        gone = true;
      });
    };
    client->Connect();
    started = true;
    ASSERT_TRUE(SocketClient::waitFor([&] { return gone.load(); }));
  }
}

TEST(SocketTcp, SingleThreadedEventsRunOnTheMainLoop) {
  RunLoop loop;
  SetMainLoop(&loop);
  TestServer server(TestServer::Echo);
  {
    SocketClient client({}, false);
    bool onMain = true;
    client.OnDataIn = [&](TRtcConnection&) { onMain = onMain && loop.isMainThread(); };
    client.ServerPort = server.Port();
    client.Connect();
    loop.runUntil([&] { return client.has("connect"); });
    client.Provider()->Write("main loop");
    loop.runUntil([&] { return client.receivedCopy().size() == 9; });
    EXPECT_EQ(client.receivedCopy(), "main loop");
    EXPECT_TRUE(onMain);
    client.Disconnect();
    loop.runUntil([&] { return client.has("lost"); });
  }
  SetMainLoop(nullptr);
}

}  // namespace
}  // namespace vtx
