// The HTTP client over the real socket transport on 127.0.0.1: a cpp-httplib server for
// normal traffic and a scripted raw server for misbehaving replies.
#include <gtest/gtest.h>
#include <httplib.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "fakes/socket_test_server.h"
#include "transport/rtc_http_client.h"

namespace vtx {
namespace {
using testing::TestServer;

// A multi-threaded client that logs each request's outcome.
class LoopbackClient {
 public:
  explicit LoopbackClient(const std::string& port) {
    c.ServerAddr = "127.0.0.1";
    c.ServerPort = port;
    c.setMultiThreaded(true);
    c.setAutoConnect(true);
    c.Timeout.AfterConnecting = 10;
    c.OnBeginRequest = [this](TRtcConnection&) { c.WriteHeader(); };
    c.OnResponseData = [this](TRtcConnection&) { body += c.Read(); };
    c.OnResponseDone = [this](TRtcConnection&) {
      add(c.Request().FileName() + " " + std::to_string(c.Response().StatusCode()) + " " +
          std::to_string(body.size()));
      cookies = c.Response().Cookie().Text();
      lastBody = std::move(body);
      body.clear();
    };
    c.OnResponseAbort = [this](TRtcConnection&) {
      add("abort " + c.Request().FileName());
      body.clear();
    };
    c.OnInvalidResponse = [this](TRtcConnection&) { add("invalid"); };
    c.OnConnect = [this](TRtcConnection&) { ++connects; };
    c.OnConnectLost = [this](TRtcConnection&) { add("lost"); };
    c.OnConnectFail = [this](TRtcConnection&) { add("fail"); };
    c.OnConnectError = [this](TRtcConnection&, const std::exception& e) {
      add(std::string("error ") + e.what());
    };
  }
  void get(const std::string& path) {
    auto r = std::make_unique<TRtcClientRequest>();
    r->setMethod("GET");
    r->setFileName(path);
    r->setHost("127.0.0.1");
    c.PostRequest(std::move(r));
  }
  bool wait() {
    return c.DoWaitForCompletion(false, 10, false) == TRtcWaitForCompletionResult::wait_OK;
  }
  std::vector<std::string> log() {
    std::lock_guard g(m);
    return entries;
  }

 private:
  std::mutex m;
  std::vector<std::string> entries;

 public:
  std::string body, lastBody, cookies;
  std::atomic<int> connects{0};
  TRtcHttpClient c;  // last: its events use the members above until it is gone

 private:
  void add(std::string s) {
    std::lock_guard g(m);
    entries.push_back(std::move(s));
  }
};

class HttplibServer {
 public:
  HttplibServer() {
    srv.Get("/small", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("hello", "text/plain");
      res.set_header("Set-Cookie", "ID=1A2B; path=/");
      res.set_header("Set-Cookie", "X=5");
    });
    srv.Get("/large", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(3 << 20, 'L'), "application/octet-stream");
    });
    srv.Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
        if (offset < 5000) {
          std::string piece(1000, static_cast<char>('a' + offset / 1000));
          sink.write(piece.data(), piece.size());
        } else {
          sink.done();
        }
        return true;
      });
    });
    port = srv.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { srv.listen_after_bind(); });
    for (int i = 0; i < 2000 && !srv.is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~HttplibServer() {
    srv.stop();
    thread.join();
  }
  httplib::Server srv;
  int port = 0;
  std::thread thread;
};

TEST(HttpClientLoopback, KeepAliveChunkedLargeBodiesAndCookies) {
  HttplibServer server;
  LoopbackClient client(std::to_string(server.port));
  client.get("/small");
  client.get("/chunked");
  client.get("/large");
  client.get("/small");
  ASSERT_TRUE(client.wait());
  EXPECT_EQ(client.log(), (std::vector<std::string>{"/small 200 5", "/chunked 200 5000",
                                                    "/large 200 3145728", "/small 200 5"}));
  EXPECT_EQ(client.connects, 1);
  EXPECT_NE(client.cookies.find("ID=1A2B"), std::string::npos);
  EXPECT_NE(client.cookies.find("X=5"), std::string::npos);
  client.c.Disconnect();
}

// Serves each accepted connection one scripted reply per request, then closes.
TestServer::Session Scripted(std::vector<std::string> replies) {
  return [replies](int fd, const std::atomic<bool>& stop) {
    for (const std::string& reply : replies) {
      std::string got;
      while (!stop && got.find("\r\n\r\n") == std::string::npos) {
        std::string more = TestServer::ReadSome(fd, 50);
        if (more.empty() && !got.empty()) continue;
        got += more;
      }
      if (!TestServer::WriteAll(fd, reply)) return;
    }
    // Hold the connection until the client closes it.
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        char b[256];
        if (recv(fd, b, sizeof b, 0) <= 0) return;
      }
    }
  };
}

TEST(HttpClientLoopback, MisbehavingServersEndInInvalidResponseOrAbortAndTheQueueGoesOn) {
  struct Case {
    const char* name;
    std::string reply;
    std::string outcome;
  };
  const std::string good = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  const std::vector<Case> cases = {
      {"oversized status line", "HTTP/1.1 200 " + std::string(200, 'x') + "\r\n\r\n", "invalid"},
      {"close mid-body", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", "abort /x"},
      {"garbage chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabcd",
       "invalid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The first connection misbehaves and then closes; the next one serves properly.
    std::atomic<int> sessions{0};
    TestServer server([&](int fd, const std::atomic<bool>& stop) {
      if (sessions++ == 0) {
        TestServer::ReadSome(fd, 2000);
        TestServer::WriteAll(fd, c.reply);
        return;
      }
      Scripted({good})(fd, stop);
    });
    LoopbackClient client(server.Port());
    client.c.setMaxResponseSize(100);
    client.get("/x");
    ASSERT_TRUE(client.wait());
    client.get("/y");
    ASSERT_TRUE(client.wait());
    auto log = client.log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.front(), c.outcome);
    EXPECT_EQ(log.back(), "/y 200 2")
        << ::testing::PrintToString(log) << sessions.load() << client.c.LastResponseError();
    client.c.Disconnect();
  }
}

// A request held by a silent server: the connection's time-out (the after-connecting setting,
// restarted by every event) closes the connection and the request ends.
TEST(HttpClientLoopback, ASilentServerIsCutByTheConnectionTimeOut) {
  std::atomic<int> sessions{0};
  TestServer server([&](int fd, const std::atomic<bool>& stop) {
    ++sessions;
    TestServer::ReadSome(fd, 2000);
    for (int i = 0; i < 1000 && !stop; ++i)  // silent; bounded at 10 s
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  LoopbackClient client(server.Port());
  client.c.Timeout.AfterConnecting = 1;
  client.get("/held");
  client.wait();
  auto log = client.log();
  EXPECT_NE(std::find(log.begin(), log.end(), "abort /held"), log.end())
      << ::testing::PrintToString(log);
  EXPECT_TRUE(client.c.TimedOut());
  client.c.Disconnect();
}

TEST(HttpClientLoopback, TwoResponsesInOneWriteAndAnInterimContinue) {
  const std::string both =
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nA"
      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nBB";
  TestServer server([&](int fd, const std::atomic<bool>& stop) {
    std::string got;
    while (!stop && got.find("\r\n\r\n") == std::string::npos) got += TestServer::ReadSome(fd, 50);
    TestServer::WriteAll(fd, both);
    Scripted({})(fd, stop);
  });
  LoopbackClient client(server.Port());
  client.get("/1");
  client.get("/2");
  ASSERT_TRUE(client.wait());
  EXPECT_EQ(client.log(), (std::vector<std::string>{"/1 200 1", "/2 200 2"}));
  EXPECT_EQ(client.lastBody, "BB");
  client.c.Disconnect();
}

// A request cancelled while its reply is half read: the rest of that reply must never be taken
// for the reply of the next request. The tail of the first reply looks like a whole response.
TEST(HttpClientLoopback, TheRestOfACancelledReplyIsNotReadAsTheNextOne) {
  const std::string stale = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nstale";
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(5 + stale.size()) + "\r\n\r\nfirst";
  const std::string good = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  struct Case {
    const char* name;
    bool fromHandler;   // cancelled in the data event, else from the test thread
    bool waitForAbort;  // the next request is posted once the cancelled one has ended
  };
  for (const Case& k : {Case{"in the data event", true, true},
                        Case{"from another thread, then the next request", false, false},
                        Case{"from another thread, ended before the next request", false, true}}) {
    SCOPED_TRACE(k.name);
    std::atomic<int> sessions{0};
    TestServer server([&](int fd, const std::atomic<bool>& stop) {
      if (sessions++ > 0) return Scripted({good})(fd, stop);
      std::string got;
      while (!stop && got.find("\r\n\r\n") == std::string::npos)
        got += TestServer::ReadSome(fd, 50);
      TestServer::WriteAll(fd, head);
      // The rest follows only if the client goes on asking on this connection.
      while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char b[2048];
        if (recv(fd, b, sizeof b, 0) <= 0) return;
        TestServer::WriteAll(fd, stale);
        return Scripted({good})(fd, stop);
      }
    });
    LoopbackClient client(server.Port());
    std::atomic<bool> partial{false};
    client.c.OnResponseData = [&](TRtcConnection&) {
      client.body += client.c.Read();
      if (client.c.Request().FileName() != "/a") return;
      partial = true;
      if (k.fromHandler) client.c.CancelRequests();
    };
    client.get("/a");
    for (int i = 0; i < 1000 && !partial; ++i)  // bounded at 10 s
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(partial);
    if (!k.fromHandler) client.c.CancelRequests();
    if (k.waitForAbort) {
      ASSERT_TRUE(client.wait());
    }
    client.get("/b");
    ASSERT_TRUE(client.wait());
    auto log = client.log();
    EXPECT_NE(std::find(log.begin(), log.end(), "abort /a"), log.end())
        << ::testing::PrintToString(log);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "/b 200 2") << ::testing::PrintToString(log);
    EXPECT_EQ(client.lastBody, "ok");
    client.c.Disconnect();
  }
}

TEST(HttpClientLoopback, TlsWithATrustedCaFile) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("vtx-https-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
  const std::string cmd =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
      "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout '" +
      key + "' -out '" + cert + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  {
    httplib::SSLServer srv(cert.c_str(), key.c_str());
    srv.Get("/s", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(70000, 's'), "text/plain");
    });
    const int port = srv.bind_to_any_port("127.0.0.1");
    std::thread t([&] { srv.listen_after_bind(); });
    for (int i = 0; i < 2000 && !srv.is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    {
      LoopbackClient client(std::to_string(port));
      client.c.ServerAddr = "localhost";
      client.c.setUseSSL(true);
      client.c.setSSLCAFile(cert);
      client.get("/s");
      client.get("/s");
      EXPECT_TRUE(client.wait());
      EXPECT_EQ(client.log(), (std::vector<std::string>{"/s 200 70000", "/s 200 70000"}));
      EXPECT_EQ(client.connects, 1);
      client.c.Disconnect();
    }
    srv.stop();
    t.join();
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vtx
