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

}  // namespace
}  // namespace vtx::gateway
