// Cheap attacks on the request limits of a real gateway process on 127.0.0.1: oversized bodies
// before login, bodies that inflate past the limit, fields that would make long log lines.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "gateway_process.h"
#include "http_transport.h"

namespace vtx::gateway {
namespace {

using testing::GatewayProcess;
using testing::HttpConnection;
using testing::kMeasureMemory;
using testing::memoryKiB;
using testing::ProtocolClient;
using Results = std::vector<std::unique_ptr<TRtcValue>>;

std::string header(const std::string& framing) {
  return "POST /$rdgate?ID=NEW HTTP/1.1\r\nHost: 127.0.0.1\r\n" + framing + "\r\n";
}

// Many connections that never logged in each announce a 16 MiB body and send part of it: each is
// refused on what it announced, and none makes the gateway hold its body.
TEST(HostileLimits, LargeBodiesBeforeLoginAreRefusedBeforeTheyAreBuffered) {
  GatewayProcess g({"--enable-echo"});
  const long start = memoryKiB(g.pid(), "VmHWM:");
  struct Case {
    const char* what;
    std::string head;
  };
  const std::vector<Case> cases = {
      {"declared length", header("Content-Length: " + std::to_string((16u << 20) - 1) + "\r\n")},
      {"one large chunk",
       header("Transfer-Encoding: chunked\r\n") + "FFFFFF\r\n"},  // 16 MiB - 1 in one chunk
  };
  const std::string part(3u << 20, 'x');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::unique_ptr<HttpConnection>> senders;
    for (int i = 0; i < 12; ++i) {
      senders.push_back(std::make_unique<HttpConnection>(g.port(), std::chrono::seconds(3)));
      senders.back()->raw(c.head + part, false);  // the gateway may stop reading: no matter
    }
    for (auto& s : senders) EXPECT_EQ(s->raw("", true).status, 413);
  }
  if (kMeasureMemory) {
    EXPECT_LT(memoryKiB(g.pid(), "VmHWM:") - start, 16 * 1024);
  }
  HttpConnection late(g.port());
  ProtocolClient c(late.transport(), {});
  EXPECT_EQ(c.handshake(), 200);
  EXPECT_EQ(g.stop(), 0);
}

// A compressed body that is readable but inflates past the limit is too large (413), not
// malformed (400); a damaged one is still 400.
TEST(HostileLimits, InflatingPastTheLimitIs413) {
  GatewayProcess g({"--enable-echo", "--max-request-size-before-login", "4096"});
  std::string calls;
  for (int n = 0; calls.size() < 8192; ++n)
    testing::MakeCall(u"Echo", n, u"padding")->to_Code(calls);
  struct Case {
    const char* what;
    std::string body;
    int status;
  };
  const std::string packed = testing::ZlibPack(calls);
  std::string fits;
  testing::MakeCall(u"Echo", 1, u"padding")->to_Code(fits);
  const std::vector<Case> cases = {
      {"inflates past the limit", packed + std::string(1, '\0'), 413},
      {"damaged stream", packed.substr(0, packed.size() / 2) + std::string(1, '\0'), 400},
      {"fits", testing::ZlibPack(fits) + std::string(1, '\0'), 200},
  };
  for (const Case& c : cases) {
    HttpConnection http(g.port());
    EXPECT_EQ(http.post("/$rdgate?ID=NEW", c.body).status, c.status) << c.what;
  }
  EXPECT_EQ(g.stop(), 0);
}

// Fields a client chooses reach the log cut to a bounded length.
TEST(HostileLimits, LongClientFieldsAreCutInTheLog) {
  GatewayProcess g({});
  HttpConnection http(g.port());
  ProtocolClient c(http.transport(), {});
  ASSERT_EQ(c.handshake(), 200);
  TRtcFunctionInfo login(u"Login");
  login.setAsText("user", Widen(std::string(30000, 'u')));
  login.setAsText("pwd", u"pw");
  login.setAsString("id", "long-name");
  Results r;
  ASSERT_EQ(c.call(login, r), 200);
  HttpConnection raw(g.port());
  raw.post("/$rdgate?ID=" + std::string(30000, 'S'), "x");  // an unknown session id
  EXPECT_EQ(g.stop(), 0);
  std::istringstream log(g.log());
  std::size_t longest = 0;
  for (std::string line; std::getline(log, line);) longest = std::max(longest, line.size());
  EXPECT_LT(longest, 2048u);
}

// A plain connection from a chosen loopback address, for telling client addresses apart.
class RawConnection {
 public:
  RawConnection(const char* from, unsigned short port) : socket_(ioc_) {
    namespace net = boost::asio;
    socket_.open(net::ip::tcp::v4());
    socket_.bind({net::ip::make_address(from), 0});
    socket_.connect({net::ip::make_address("127.0.0.1"), port});
  }
  // Sends a HELLO without a key and returns the answer's status (0 when none came).
  int hello() {
    boost::beast::error_code ec;
    const std::string request =
        "POST /$rdgate?ACTION=HELLO HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n";
    boost::asio::write(socket_, boost::asio::buffer(request), ec);
    if (ec) return 0;
    boost::beast::flat_buffer buffer;
    boost::beast::http::response<boost::beast::http::string_body> answer;
    boost::beast::http::read(socket_, buffer, answer, ec);
    return ec ? 0 : answer.result_int();
  }

 private:
  boost::asio::io_context ioc_;
  boost::asio::ip::tcp::socket socket_;
};

// One address holding idle connections takes at most its share; a newcomer from another
// address always gets in. The key-less HELLO is answered 417 when served, 503 when turned away.
TEST(HostileLimits, OneAddressCannotTakeEveryConnection) {
  struct Case {
    const char* what;
    std::vector<std::string> options;
    int held;  // connections 127.0.0.1 gets before it is turned away
  };
  const std::vector<Case> cases = {
      {"per-address cap", {"--max-connections-per-peer", "8"}, 8},
      {"reserve for newcomers",
       {"--max-connections", "40", "--max-connections-per-peer", "100"},
       35},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GatewayProcess g(c.options);
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < c.held; ++i)
      idle.push_back(std::make_unique<RawConnection>("127.0.0.1", g.port()));
    EXPECT_EQ(idle.back()->hello(), 417);
    EXPECT_EQ(RawConnection("127.0.0.1", g.port()).hello(), 503);
    EXPECT_EQ(RawConnection("127.0.0.2", g.port()).hello(), 417);
    EXPECT_EQ(g.stop(), 0);
  }
}

// A connection that never brings a whole request is closed after the request time-out, while
// one that has been served waits for the idle time.
TEST(HostileLimits, ConnectionsWithoutARequestAreClosedSoon) {
  GatewayProcess g({"--request-timeout", "0.3"});
  struct Case {
    const char* what;
    std::string sent;
  };
  const std::vector<Case> cases = {
      {"nothing", ""},
      {"half a header", "POST /$rdgate?ACTION=HELLO HTTP/1.1\r\nHost: a\r\n"},
      {"part of a body", header("Content-Length: 100\r\n") + "FC=Ech"},
  };
  for (const Case& c : cases) {
    HttpConnection slow(g.port(), std::chrono::seconds(5));
    if (!c.sent.empty()) slow.raw(c.sent, false);
    EXPECT_TRUE(slow.closedByPeer()) << c.what;
  }
  HttpConnection served(g.port(), std::chrono::seconds(1));
  EXPECT_EQ(served.post("/$rdgate?ACTION=HELLO", "").status, 417);
  EXPECT_FALSE(served.closedByPeer());  // the read timed out on the client's side
  EXPECT_EQ(g.stop(), 0);
}

// After a login (which any copy of the program can make) a small compressed call that would
// inflate to millions of tiny values is refused before they are built; a body as large made
// of a few large values is served.
TEST(HostileLimits, ManyTinyValuesAreRefusedBeforeTheyAreBuilt) {
  GatewayProcess g({});
  HttpConnection http(g.port());
  ProtocolClient::Settings packed;
  packed.compress = true;
  ProtocolClient c(http.transport(), packed);
  ASSERT_EQ(c.handshake(), 200);
  TRtcFunctionInfo login(u"Login");
  login.setAsText("user", u"anyone");
  login.setAsText("pwd", u"pw");
  login.setAsString("id", "anyone-1");
  Results r;
  ASSERT_EQ(c.call(login, r), 200);
  ASSERT_NE(r[0]->isType(), rtc_Exception);
  const long start = memoryKiB(g.pid(), "VmHWM:");

  const std::size_t items = (15u << 20) / 5;
  std::string tiny = "FC=Nothing;RE=1;a:AR=" + std::to_string(items) + ";";
  tiny.reserve(tiny.size() + 5 * items);
  for (std::size_t i = 0; i < items; ++i) tiny += "RE=0;";
  EXPECT_EQ(c.send(tiny, r), 413);
  // A refused request leaves the cipher behind; the new handshake opens a new session.
  ASSERT_EQ(c.handshake(), 200);
  login.setAsString("id", "anyone-2");
  ASSERT_EQ(c.call(login, r), 200);
  ASSERT_NE(r[0]->isType(), rtc_Exception);
  if (kMeasureMemory) {
    EXPECT_LT(memoryKiB(g.pid(), "VmHWM:") - start, 96 * 1024);
  }
  const std::string large =
      "FC=Nothing;RE=1;a:S=" + std::to_string(items) + "\"" + std::string(items, 'v') + "\";";
  EXPECT_EQ(c.send(large, r), 200);
  EXPECT_EQ(g.stop(), 0);
}

}  // namespace
}  // namespace vtx::gateway
