#include "transport/rtc_http_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_http_transport.h"
#include "transport/rtc_data_client_link.h"
#include "util/exceptions.h"

namespace vtx {
namespace {
using testing::FakeHttpClient;
using testing::FakeHttpTransport;

std::unique_ptr<TRtcClientRequest> Get(const std::string& path) {
  auto r = std::make_unique<TRtcClientRequest>();
  r->setMethod("GET");
  r->setFileName(path);
  r->setHost("h");
  return r;
}

std::string Reply(const std::string& body, const std::string& extra = "") {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
         "\r\n" + body;
}

// Single-threaded, no main loop: the test thread is the connection's thread and the fake
// reports everything at once.
class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client.ServerAddr = "gw";
    client.ServerPort = "80";
    client.setAutoConnect(true);
    client.OnBeginRequest = [](TRtcConnection& c) {
      static_cast<TRtcDataClient&>(c).WriteHeader();
    };
    client.OnResponseData = [this](TRtcConnection&) { body += client.Read(); };
    client.OnResponseDone = [this](TRtcConnection&) {
      log.push_back("done " + client.Request().FileName() + " " +
                    std::to_string(client.Response().StatusCode()) + " " + body);
      body.clear();
    };
    client.OnResponseAbort = [this](TRtcConnection&) {
      log.push_back("abort " + client.Request().FileName());
      body.clear();
    };
    client.OnInvalidResponse = [this](TRtcConnection&) { log.push_back("invalid"); };
  }
  FakeHttpTransport& fake() { return *client.Fake(); }

  FakeHttpTransport::Script script;
  FakeHttpClient client{script};
  std::vector<std::string> log;
  std::string body;
};

TEST_F(HttpClientTest, BufferedWritesGoOutAsOneHeaderWithTheSummedLength) {
  client.OnBeginRequest = [](TRtcConnection& c) {
    auto& dc = static_cast<TRtcDataClient&>(c);
    dc.Write("ab");
    dc.Write("cde");
    dc.Write("f");
  };
  auto r = std::make_unique<TRtcClientRequest>();
  r->setMethod("post");
  r->setFileName("/$rdgate");
  r->Query().setText("ID=NEW");
  r->setHost("gw");
  client.PostRequest(std::move(r));
  EXPECT_EQ(script.written,
            "POST /$rdgate?ID=NEW HTTP/1.1\r\nHOST: gw\r\nCONTENT-LENGTH: 6\r\n\r\nabcdef");
  fake().Feed(Reply("ok"));
  EXPECT_EQ(log, (std::vector<std::string>{"done /$rdgate 200 ok"}));
  EXPECT_EQ(client.RequestCount(), 0);
}

TEST_F(HttpClientTest, WritesBeyondTheDeclaredLengthAndSecondHeadersRaise) {
  std::vector<std::string> errors;
  client.OnBeginRequest = [&](TRtcConnection& c) {
    auto& dc = static_cast<TRtcDataClient&>(c);
    dc.Request().setContentLength(3);
    dc.Write("abc");
    for (auto f :
         {+[](TRtcDataClient& d) { d.Write("x"); }, +[](TRtcDataClient& d) { d.WriteHeader(); }}) {
      try {
        f(dc);
      } catch (const ERtcConnection& e) {
        errors.push_back(e.what());
      }
    }
  };
  client.PostRequest(Get("/a"));
  EXPECT_EQ(errors,
            (std::vector<std::string>{"Error! Sending more data out than specified in header.",
                                      "Error! Sending multiple headers for one request."}));
  EXPECT_EQ(script.written.substr(script.written.size() - 7), "\r\n\r\nabc");
  // Outside a request there is nothing to write to.
  EXPECT_THROW(client.Write("x"), ERtcConnection);
}

TEST_F(HttpClientTest, ResponsesSplitAtEveryOffsetReadTheSame) {
  const std::string wire = "HTTP/1.1 100 Continue\r\n\r\n" +
                           Reply("hello", "Set-Cookie: ID=1A\r\n") +
                           "HTTP/1.1 404 Not Found\r\nTransfer-Encoding: chunked\r\n\r\n"
                           "3\r\nabc\r\n2;x=y\r\nde\r\n0\r\n\r\n";
  for (size_t cut = 0; cut <= wire.size(); ++cut) {
    SCOPED_TRACE(cut);
    log.clear();
    client.PostRequest(Get("/1"));
    client.PostRequest(Get("/2"));
    fake().Feed(wire.substr(0, cut));
    fake().Feed(wire.substr(cut));
    ASSERT_EQ(log, (std::vector<std::string>{"done /1 200 hello", "done /2 404 abcde"}));
    EXPECT_EQ(client.RequestCount(), 0);
    EXPECT_TRUE(client.isConnected());
  }
  EXPECT_EQ(script.connects, 1);
}

TEST_F(HttpClientTest, CookiesFromSeveralSetCookieLinesAccumulate) {
  std::string id, x;
  client.OnResponseDone = [&](TRtcConnection&) {
    id = client.Response().Cookie().Value("ID");
    x = client.Response().Cookie().Value("X");
  };
  client.PostRequest(Get("/"));
  fake().Feed(Reply("", "Set-Cookie: ID=1A2B; path=/\r\nSet-Cookie: X=5\r\n"));
  EXPECT_EQ(id, "1A2B");
  EXPECT_EQ(x, "5");
}

TEST_F(HttpClientTest, BodyWithoutLengthEndsWithTheConnection) {
  client.PostRequest(Get("/a"));
  client.PostRequest(Get("/b"));
  fake().Feed("HTTP/1.1 200 OK\r\nServer: x\r\n\r\npart one ");
  fake().Feed("part two");
  EXPECT_TRUE(log.empty());
  fake().Drop();
  ASSERT_GE(log.size(), 1u);
  EXPECT_EQ(log[0], "done /a 200 part one part two");
  // The next request goes out on a new connection.
  EXPECT_EQ(script.connects, 2);
  fake().Feed(Reply("b"));
  EXPECT_EQ(log.back(), "done /b 200 b");
}

TEST_F(HttpClientTest, CloseRequestUsesHttp10AndClosesAfterTheResponse) {
  auto r = Get("/c");
  r->setClose(true);
  client.PostRequest(std::move(r));
  EXPECT_EQ(script.written, "GET /c HTTP/1.0\r\nHOST: h\r\nCONNECTION: close\r\n\r\n");
  fake().Feed(Reply("x"));
  EXPECT_EQ(log, (std::vector<std::string>{"done /c 200 x"}));
  EXPECT_EQ(script.disconnects, 1);
  EXPECT_FALSE(client.isConnected());

  // A server's "Connection: close" closes it as well; a later request connects again.
  client.PostRequest(Get("/d"));
  EXPECT_EQ(script.connects, 2);
  fake().Feed(Reply("y", "Connection: close\r\n"));
  EXPECT_EQ(script.disconnects, 2);
}

TEST_F(HttpClientTest, MalformedResponsesDropTheConnectionAndTheQueueGoesOn) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  client.setMaxResponseSize(40);
  client.setMaxHeaderSize(100);
  const std::vector<Case> cases = {
      {"long status line", "HTTP/1.1 200 " + std::string(60, 'x') + "\r\n\r\n"},
      {"no end of status line", "HTTP/1.1 200 " + std::string(60, 'x')},
      {"no space", "HTTP/1.1\r\n\r\n"},
      {"long header", "HTTP/1.1 200 OK\r\nX: " + std::string(200, 'y') + "\r\n\r\n"},
      {"bad length", "HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n"},
      {"bad chunk end", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nabXY"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    client.PostRequest(Get("/bad"));
    fake().Feed(c.bytes);
    EXPECT_EQ(log, (std::vector<std::string>{"invalid", "abort /bad"}));
    EXPECT_FALSE(client.LastResponseError().empty());
    EXPECT_EQ(client.RequestCount(), 0);
    // The next request connects again and completes.
    client.PostRequest(Get("/good"));
    fake().Feed(Reply("fine"));
    EXPECT_EQ(log.back(), "done /good 200 fine");
  }
}

TEST_F(HttpClientTest, ConnectionClosedMidBodyAbortsAndCancelsTheQueue) {
  client.PostRequest(Get("/a"));
  client.PostRequest(Get("/b"), true);
  client.PostRequest(Get("/c"), true);
  fake().Feed("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n12345");
  fake().Drop();
  EXPECT_EQ(log, (std::vector<std::string>{"abort /a", "abort /b", "abort /c"}));
  EXPECT_EQ(client.RequestCount(), 0);
  EXPECT_EQ(client.DoWaitForCompletion(false, 1), TRtcWaitForCompletionResult::wait_OK);
}

// A request skipped (from another thread) while its response header is half read is finished
// by the next state check; until the connection is really gone the reader goes on reading that
// response into it. Under AddressSanitizer a freed request shows up here.
TEST_F(HttpClientTest, SkippingWhileAResponseHeaderIsHalfReadKeepsTheReaderSafe) {
  script.holdSent = script.holdClose = true;
  client.PostRequest(Get("/a"));
  fake().Feed("HTTP/1.1 200 OK\r\nContent-Le");
  client.SkipRequests();
  fake().Sent();  // the state check drops /a and asks for the close
  EXPECT_EQ(script.disconnects, 1);
  EXPECT_EQ(client.RequestCount(), 0);
  fake().Feed("ngth: 3\r\nConnection: close\r\n\r\nab");  // the rest of /a's header
  fake().Drop();
  EXPECT_TRUE(log.empty());
  // The next request goes out on a new connection and reads its own response.
  script.holdSent = script.holdClose = false;
  client.PostRequest(Get("/b"));
  EXPECT_EQ(script.connects, 2);
  fake().Feed(Reply("b"));
  EXPECT_EQ(log, (std::vector<std::string>{"done /b 200 b"}));
}

// Cancelling while a response is half read retires the active request for the reader; a queued
// request aborted before the connection is gone must not free it. Under AddressSanitizer the
// rest of the first response then writes into freed memory.
TEST_F(HttpClientTest, CancellingWithResponsesInFlightKeepsEveryRetiredRequestForTheReader) {
  script.holdSent = script.holdClose = true;
  client.PostRequest(Get("/a"));
  client.PostRequest(Get("/b"), true);
  fake().Sent();  // /a is out: the reader starts on its response
  fake().Feed("HTTP/1.1 200 OK\r\nContent-Le");
  client.CancelRequests();
  fake().Sent();            // the state check aborts /a and asks for the close
  client.CancelRequests();  // nothing active: /b is aborted at once, /a's reply still read
  fake().Feed("ngth: 3\r\nConnection: close\r\n\r\nab");
  fake().Drop();
  EXPECT_EQ(log, (std::vector<std::string>{"abort /a", "abort /b"}));
  EXPECT_EQ(client.RequestCount(), 0);
  script.holdSent = script.holdClose = false;
  client.PostRequest(Get("/c"));
  fake().Feed(Reply("c"));
  EXPECT_EQ(log.back(), "done /c 200 c");
  EXPECT_EQ(script.connects, 2);
}

// Bodies beyond the limit are refused like any invalid response, before they are collected:
// a declared length at once, a chunked or close-delimited body as soon as it grows past it.
TEST_F(HttpClientTest, BodiesLargerThanTheLimitAreRefusedAndTheQueueGoesOn) {
  EXPECT_GE(client.MaxBodySize(), 16u * 1024 * 1024);  // the default fits a full relay reply
  client.setMaxBodySize(10);
  const std::vector<std::string> cases = {
      "HTTP/1.1 200 OK\r\nContent-Length: 10737418240\r\n\r\nabc",
      "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\nabcdef\r\n6\r\nghijkl\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFF\r\nab",
      "HTTP/1.1 200 OK\r\n\r\n" + std::string(11, 'z'),
  };
  for (const std::string& bytes : cases) {
    SCOPED_TRACE(bytes.substr(0, 50));
    log.clear();
    body.clear();
    client.PostRequest(Get("/big"));
    fake().Feed(bytes);
    EXPECT_EQ(log, (std::vector<std::string>{"invalid", "abort /big"}));
    EXPECT_EQ(client.LastResponseError(), "Response body too large.");
    EXPECT_LE(body.size(), 10u);
    client.PostRequest(Get("/ok"));
    fake().Feed(Reply(std::string(10, 'k')));
    EXPECT_EQ(log.back(), "done /ok 200 " + std::string(10, 'k'));
  }
}

// A skipped request whose response completes gets no events and leaves the connection to the
// next one.
TEST_F(HttpClientTest, SkippedRequestWhoseResponseCompletesKeepsTheConnection) {
  client.PostRequest(Get("/a"));
  fake().Feed("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nabc");
  client.SkipRequests();
  body.clear();
  fake().Feed("def");
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(client.RequestCount(), 0);
  EXPECT_EQ(script.disconnects, 0);
  client.PostRequest(Get("/b"));
  fake().Feed(Reply("b"));
  EXPECT_EQ(log, (std::vector<std::string>{"done /b 200 b"}));
  EXPECT_EQ(script.connects, 1);
}

TEST_F(HttpClientTest, RepostAfterAFullResponseResendsOnTheSameConnection) {
  int reposts = 0;
  client.OnResponseDone = [&](TRtcConnection&) {
    log.push_back("done " + body);
    body.clear();
    if (reposts++ == 0) client.Request().Repost();
  };
  client.PostRequest(Get("/r"));
  fake().Feed(Reply("first"));
  fake().Feed(Reply("second"));
  EXPECT_EQ(log, (std::vector<std::string>{"done first", "done second"}));
  EXPECT_EQ(script.connects, 1);
  EXPECT_EQ(script.written, "GET /r HTTP/1.1\r\nHOST: h\r\n\r\nGET /r HTTP/1.1\r\nHOST: h\r\n\r\n");
}

TEST_F(HttpClientTest, RepostOnALostConnectionResendsAfterReconnecting) {
  client.OnRepostCheck = [&](TRtcConnection&) {
    log.push_back("repost");
    body.clear();
    client.Request().Repost();
  };
  client.PostRequest(Get("/r"));
  fake().Feed("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n12");
  fake().Drop();
  EXPECT_EQ(script.connects, 2);
  EXPECT_EQ(log, (std::vector<std::string>{"repost"}));
  fake().Feed(Reply("whole"));
  EXPECT_EQ(log, (std::vector<std::string>{"repost", "done /r 200 whole"}));
  EXPECT_EQ(client.Request().Reposted, 0u);  // the spare request again
}

TEST_F(HttpClientTest, ProxyAndCredentialSettingsAreRefused) {
  EXPECT_THROW(client.setUseProxy(true), ERtcConnection);
  TRtcHttpUserLogin login;
  login.ProxyAddr = u"proxy:8080";
  EXPECT_THROW(client.setUserLogin(login), ERtcConnection);
  EXPECT_NO_THROW(client.setUseWinHTTP(true));

  client.PostRequest(Get("/a"));
  try {
    client.setUseSSL(true);
    FAIL();
  } catch (const ERtcConnection& e) {
    EXPECT_STREQ(e.what(), "Can not change UseSSL after Connect.");
  }
}

// A link destroyed on the main thread while the connection's thread runs its handler: the link
// leaves the connection first and waits for the handler. Under AddressSanitizer the handler's
// freed state shows up here; the connection goes on with its own events afterwards.
TEST(HttpClientThreads, DestroyingALinkWhileItsConnectionDeliversWaitsForTheHandler) {
  FakeHttpTransport::Script script;
  FakeHttpClient client(script);
  client.setMultiThreaded(true);
  client.setAutoConnect(true);
  std::atomic<bool> started{false}, finished{false};
  std::atomic<int> done{0};
  client.OnBeginRequest = [](TRtcConnection& c) { static_cast<TRtcDataClient&>(c).WriteHeader(); };
  client.OnResponseDone = [&](TRtcConnection&) { ++done; };
  auto link = std::make_unique<TRtcDataClientLink>();
  link->setClient(&client);
  auto state = std::make_shared<std::vector<int>>(1000, 7);
  link->OnResponseDone = [&, state](TRtcConnection&) {
    started = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int sum = 0;
    for (int v : *state) sum += v;
    finished = sum == 7000;
  };
  state.reset();
  link->PostRequest(Get("/a"));
  link->PostRequest(Get("/b"));
  client.PostJob([&] { client.Fake()->Feed(Reply("a")); });
  for (int n = 0; n < 1000000 && !started; ++n) std::this_thread::yield();
  ASSERT_TRUE(started.load());
  link.reset();
  EXPECT_TRUE(finished.load());
  // /b falls back to the connection's own events.
  client.PostJob([&] { client.Fake()->Feed(Reply("b")); });
  for (int n = 0; n < 1000000 && done < 2; ++n) std::this_thread::yield();
  EXPECT_EQ(done.load(), 2);  // /a reached the connection through the link, /b directly
}

}  // namespace
}  // namespace vtx
