// Attacks on a real gateway process on 127.0.0.1, each with bounded counts and times. Every
// attack ends by checking that the process is up and a bystander session still gets answers.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gateway_process.h"
#include "http_transport.h"
#include "portal_peer.h"

namespace vtx::gateway {
namespace {

using testing::GatewayProcess;
using testing::HttpConnection;
using testing::kMeasureMemory;
using testing::MakeCall;
using testing::memoryKiB;
using testing::ProtocolClient;
using Results = std::vector<std::unique_ptr<TRtcValue>>;

// A client that keeps one session and checks that calls still come back.
class Bystander {
 public:
  explicit Bystander(unsigned short port) : http_(port), client_(http_.transport(), {}) {
    EXPECT_EQ(client_.handshake(), 200);
  }
  bool answers() {
    Results r;
    const std::string text = "still here " + std::to_string(++n_);
    return client_.call(*MakeCall(u"Echo", n_, Widen(text)), r) == 200 && r.size() == 1 &&
           r[0]->asRecord() && r[0]->asRecord()->asText("text") == Widen(text);
  }

 private:
  HttpConnection http_;
  ProtocolClient client_;
  int n_ = 0;
};

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// User plus system CPU time of a process.
std::chrono::milliseconds cpuTime(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::istringstream rest(all.substr(all.rfind(')') + 2));
  std::string field;
  long long ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i)
    if (i == 14 || i == 15) ticks += std::stoll(field);
  return std::chrono::milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
}

std::string chunkedWithTrailer(const std::string& trailer) {
  return "POST /$rdgate?ID=NEW HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"
         "4\r\nFC=x\r\n0\r\n" +
         trailer + "\r\n";
}

TEST(HostileLoad, OversizedChunkedTrailersAreRefusedAndTheGatewayLives) {
  GatewayProcess g({"--enable-echo"});
  Bystander bystander(g.port());
  const std::vector<std::string> trailers = {
      "X-Pad: " + std::string(70000, 'a') + "\r\n",  // one field past what the parser can hold
      "X-Pad: " + std::string(65530, 'b') + "\r\n",
      [] {
        std::string many;  // many small fields adding up past the header limit
        for (int i = 0; i < 200; ++i)
          many += "X-" + std::to_string(i) + ": " + std::string(200, 'c') + "\r\n";
        return many;
      }(),
      "X-Ext: " + std::string(20000, 'd') + "\r\n",
  };
  for (const auto& trailer : trailers) {
    HttpConnection attacker(g.port());
    const int status = attacker.raw(chunkedWithTrailer(trailer)).status;
    EXPECT_TRUE(status == 431 || status == 400) << status;
    EXPECT_TRUE(bystander.answers());
  }
  {  // a chunk extension as long as a trailer
    HttpConnection attacker(g.port());
    const int status = attacker
                           .raw(
                               "POST /$rdgate?ID=NEW HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: "
                               "chunked\r\n\r\n4;x=" +
                               std::string(70000, 'e') + "\r\nFC=x\r\n0\r\n\r\n")
                           .status;
    EXPECT_TRUE(status == 431 || status == 400) << status;
  }
  {  // a small trailer is fine: the request is answered as usual
    HttpConnection fine(g.port());
    EXPECT_EQ(fine.raw(chunkedWithTrailer("X-Small: 1\r\n")).status, 400);  // "FC=x" is no call
  }
  EXPECT_TRUE(bystander.answers());
  EXPECT_EQ(g.stop(), 0);
  EXPECT_EQ(g.log().find("handler-failed"), std::string::npos) << g.log();
}

TEST(HostileLoad, ConnectionsBeyondTheCapAreAnsweredAtOnce) {
  GatewayProcess g({"--enable-echo", "--max-connections", "4"});
  std::vector<std::unique_ptr<Bystander>> held;
  for (int i = 0; i < 4; ++i) held.push_back(std::make_unique<Bystander>(g.port()));
  for (int i = 0; i < 3; ++i) {
    HttpConnection excess(g.port(), std::chrono::seconds(3));
    const auto reply = excess.post("/$rdgate?ACTION=HELLO", "");
    EXPECT_EQ(reply.status, 503);
    EXPECT_EQ(reply.body, "Too many connections.");
  }
  EXPECT_TRUE(held[0]->answers());
  held.pop_back();
  bool served = false;  // the freed place is taken by the next connection (bounded retries)
  for (int attempt = 0; attempt < 50 && !served; ++attempt) {
    HttpConnection next(g.port(), std::chrono::seconds(3));
    ProtocolClient c(next.transport(), {});
    served = c.handshake() == 200;
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(served);
  EXPECT_EQ(g.stop(), 0);
  EXPECT_NE(g.log().find("event=connections-refused"), std::string::npos);
}

TEST(HostileLoad, OutOfDescriptorsTheAcceptLoopWaitsInsteadOfSpinning) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' runtime opens descriptors of its own and ends the process at the limit.
  GTEST_SKIP() << "needs a gateway built without the sanitizers";
#endif
  GatewayProcess g({"--enable-echo"});
  rlimit few{48, 48};
  ASSERT_EQ(::prlimit(g.pid(), RLIMIT_NOFILE, &few, nullptr), 0);
  std::vector<std::unique_ptr<HttpConnection>> flood;  // the kernel completes them all
  for (int i = 0; i < 80; ++i)
    flood.push_back(std::make_unique<HttpConnection>(g.port(), std::chrono::seconds(3)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto before = cpuTime(g.pid());
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto used = cpuTime(g.pid()) - before;
  EXPECT_LT(used.count(), 500) << "the accept loop spins";
  EXPECT_LE(count(g.log(), "event=accept-failed"), 2u);
  flood.clear();
  bool served = false;  // with descriptors back, new clients get in
  for (int attempt = 0; attempt < 40 && !served; ++attempt) {
    try {
      Bystander late(g.port());
      served = late.answers();
    } catch (const std::exception&) {
    }
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(served);
  EXPECT_EQ(g.stop(), 0);
}

TEST(HostileLoad, TheLogCarriesOnlyAPrefixOfSessionIds) {
  GatewayProcess g({"--enable-echo", "--session-timeout", "0.2"});
  HttpConnection http(g.port());
  ProtocolClient c(http.transport(), {});
  ASSERT_EQ(c.handshake(), 200);
  const std::string id = c.sessionId();
  ASSERT_EQ(id.size(), 32u);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // expired and swept
  Results r;
  EXPECT_EQ(c.call(*MakeCall(u"Echo", 1, u""), r), 410);  // refused with the id it sent
  EXPECT_EQ(g.stop(), 0);
  const std::string log = g.log();
  EXPECT_EQ(count(log, "session=" + id.substr(0, 8)), 4u) << log;  // open, encrypted, gone, 410
  EXPECT_EQ(log.find(id.substr(8)), std::string::npos) << log;
}

}  // namespace
}  // namespace vtx::gateway

namespace vtx::gateway {
namespace {

TEST(HostileLoad, BatchedLoginGuessesStopAfterAFewAndChangePwdIsOffByDefault) {
  GatewayProcess g({"--login-password", "portal-pw"});
  HttpConnection http(g.port());
  ProtocolClient c(http.transport(), {});
  ASSERT_EQ(c.handshake(), 200);
  std::vector<std::unique_ptr<TRtcFunctionInfo>> guesses;
  std::vector<const TRtcValueObject*> batch;
  for (int i = 0; i < 200; ++i) {
    guesses.push_back(std::make_unique<TRtcFunctionInfo>(u"Login"));
    guesses.back()->setAsText("user", i % 2 ? u"ann" : u"bob");
    guesses.back()->setAsText("pwd", Widen("guess-" + std::to_string(i)));
    guesses.back()->setAsString("id", "id-" + std::to_string(i));
    batch.push_back(guesses.back().get());
  }
  TRtcFunctionInfo right(u"Login");  // the right password, too late in the batch
  right.setAsText("user", u"ann");
  right.setAsText("pwd", u"portal-pw");
  right.setAsString("id", "ann-1");
  batch.push_back(&right);
  Results r;
  ASSERT_EQ(c.call(batch, r), 200);
  ASSERT_EQ(r.size(), 201u);
  int checked = 0, held = 0;
  for (const auto& one : r) {
    if (one->asException() == u"Invalid user name or password.") ++checked;
    if (one->asException() == u"Too many failed logins; try again later.") ++held;
  }
  EXPECT_EQ(checked, 5);
  EXPECT_EQ(held, 196);

  HttpConnection other(g.port());  // another session from the same address waits as well
  ProtocolClient d(other.transport(), {});
  ASSERT_EQ(d.handshake(), 200);
  ASSERT_EQ(d.call(right, r), 200);
  EXPECT_EQ(r[0]->asException(), u"Too many failed logins; try again later.");
}

TEST(HostileLoad, ChangePwdIsRefusedUnlessTheOperatorEnablesIt) {
  for (bool enabled : {false, true}) {
    std::vector<std::string> options = {"--login-password", "portal-pw"};
    if (enabled) options.push_back("--enable-change-password");
    GatewayProcess g(options);
    HttpConnection http(g.port());
    ProtocolClient c(http.transport(), {});
    ASSERT_EQ(c.handshake(), 200);
    TRtcFunctionInfo login(u"Login");
    login.setAsText("user", u"ann");
    login.setAsText("pwd", u"portal-pw");
    login.setAsString("id", "ann-1");
    TRtcFunctionInfo change(u"ChangePwd");
    change.setAsText("username", u"ann");
    change.setAsText("oldpassword", u"portal-pw");
    change.setAsText("newpassword", u"mine");
    Results r;
    ASSERT_EQ(c.call({&login, &change}, r), 200);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_NE(r[0]->isType(), rtc_Exception);
    if (enabled)
      EXPECT_EQ(r[1]->asText(), u"Password changed.");
    else
      EXPECT_EQ(r[1]->asException(), u"Password changes are disabled on this gateway.");
  }
}

}  // namespace
}  // namespace vtx::gateway

namespace vtx::gateway {
namespace {

using testing::PeerSettings;
using testing::PortalPeer;

std::unique_ptr<TRtcFunctionInfo> loginCall(const std::string& user, const std::string& id,
                                            bool relogin = false) {
  auto f = std::make_unique<TRtcFunctionInfo>(relogin ? u"ReLogin" : u"Login");
  f->setAsText("user", Widen(user));
  f->setAsText("pwd", u"pw");
  f->setAsString("id", id);
  return f;
}

// A protocol session logged in as `user`.
class LoggedIn {
 public:
  LoggedIn(unsigned short port, const std::string& user, const std::string& id)
      : http_(port), client_(http_.transport(), {}) {
    EXPECT_EQ(client_.handshake(), 200);
    Results r;
    EXPECT_EQ(client_.call(*loginCall(user, id), r), 200);
    ok_ = r.size() == 1 && r[0]->isType() != rtc_Exception;
  }
  bool loggedIn() const { return ok_; }
  bool answers() {
    Results r;
    return client_.call(*MakeCall(u"Echo", 1, u"ping"), r) == 200 && r.size() == 1 &&
           r[0]->asRecord() != nullptr;
  }
  ProtocolClient& client() { return client_; }

 private:
  HttpConnection http_;
  ProtocolClient client_;
  bool ok_ = false;
};

TEST(HostileLoad, LogoutsAndBareHandshakesNeverLockOutLogins) {
  GatewayProcess g({"--enable-echo", "--max-sessions", "64"});
  LoggedIn watcher(g.port(), "watcher", "watcher-1");
  ASSERT_TRUE(watcher.loggedIn());
  HttpConnection http(g.port());
  for (int i = 0; i < 150; ++i) {  // more logins than the table holds, each logging out
    ProtocolClient c(http.transport(), {}, static_cast<unsigned>(i));
    ASSERT_EQ(c.handshake(), 200) << "cycle " << i;
    const std::string user = "user" + std::to_string(i % 10);
    TRtcFunctionInfo logout(u"Logout");
    logout.setAsText("user", Widen(user));
    logout.setAsText("pwd", u"pw");
    Results r;
    ASSERT_EQ(c.call({loginCall(user, "cycle-" + std::to_string(i)).get(), &logout}, r), 200);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_NE(r[0]->isType(), rtc_Exception) << "cycle " << i;
    EXPECT_EQ(r[1]->isType(), rtc_Boolean) << "cycle " << i;
  }
  for (int i = 0; i < 600; ++i) {  // handshakes that never log in
    ProtocolClient c(http.transport(), {}, static_cast<unsigned>(1000 + i));
    ASSERT_EQ(c.handshake(), 200) << "handshake " << i;
  }
  LoggedIn late(g.port(), "late", "late-1");
  EXPECT_TRUE(late.loggedIn());
  EXPECT_TRUE(watcher.answers());  // logged-in sessions are never pushed out
  EXPECT_TRUE(late.answers());
  if (kMeasureMemory) {
    EXPECT_LT(memoryKiB(g.pid(), "VmHWM:"), 64 * 1024);
  }
  EXPECT_EQ(g.stop(), 0);
  EXPECT_EQ(g.log().find("status=503"), std::string::npos);
}

TEST(HostileLoad, TwoCopiesOfOneNameEndInsteadOfReplacingEachOtherEndlessly) {
  GatewayProcess g({});
  PeerSettings first{std::to_string(g.port()), {}, u"ann", u"pw", "copy-1", {}};
  PeerSettings second = first;
  second.id = "copy-2";
  PortalPeer one(first);
  auto r = one.get.callAndWait("Host", [](TRtcFunctionInfo& f) { f.setAsBoolean("on", true); });
  ASSERT_NE(r, nullptr);
  ASSERT_NE(r->isType(), rtc_Exception);
  ASSERT_NE(one.put.callAndWait("User.Get"), nullptr);
  PortalPeer two(second);
  r = two.get.callAndWait("Host", [](TRtcFunctionInfo& f) { f.setAsBoolean("on", true); });
  ASSERT_NE(r, nullptr);
  ASSERT_NE(r->isType(), rtc_Exception);
  // The old copy's next calls find no session; its automatic login learns that it ended.
  for (auto* channel : {&one.get, &one.put}) {
    auto late = channel->callAndWait("User.Get");
    EXPECT_TRUE(late == nullptr || late->isType() == rtc_Exception);
    for (int i = 0; i < 500 && channel->loginResult().find("LOGGED OUT") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(channel->loginResult().find("LOGGED OUT"), std::string::npos)
        << channel->loginResult();
  }
  r = two.put.callAndWait("User.Get");  // the new copy stays
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->isType(), rtc_Record);
  EXPECT_EQ(g.stop(), 0);
  const std::string log = g.log();
  EXPECT_EQ(count(log, "event=user-replaced"), 1u) << log;
  EXPECT_NE(log.find("event=user-replaced user=ann peer=127.0.0.1 by=127.0.0.1"), std::string::npos)
      << log;
}

TEST(HostileLoad, AReLoginForAnIdNeverSeenIsRefusedSoTheClientStartsAfresh) {
  GatewayProcess g({});
  HttpConnection http(g.port());
  ProtocolClient c(http.transport(), {});
  ASSERT_EQ(c.handshake(), 200);
  TRtcFunctionInfo host(u"Host");
  host.setAsBoolean("on", true);
  Results r;
  // A client coming back after a restart of the gateway: its id is unknown here.
  ASSERT_EQ(c.call({loginCall("ann", "before-restart", true).get(), &host}, r), 200);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]->asException(), u"Unknown login id; log in again.");
  EXPECT_EQ(r[1]->asException(), u"Not logged in.");
  ASSERT_EQ(c.call({loginCall("ann", "afresh").get(), &host}, r), 200);  // a new start works
  ASSERT_EQ(r.size(), 2u);
  EXPECT_NE(r[0]->isType(), rtc_Exception);
  EXPECT_NE(r[1]->isType(), rtc_Exception);
}

TEST(HostileLoad, OneSessionLogsInOneIdAndOneAddressOnlySoManyUsers) {
  GatewayProcess g({"--enable-echo", "--max-users-per-peer", "20"});
  {
    HttpConnection http(g.port());
    ProtocolClient c(http.transport(), {});
    ASSERT_EQ(c.handshake(), 200);
    Results r;
    ASSERT_EQ(c.call(*loginCall("many0", "many-0"), r), 200);  // small, as before any login
    EXPECT_NE(r[0]->isType(), rtc_Exception);
    std::vector<std::unique_ptr<TRtcFunctionInfo>> logins;
    std::vector<const TRtcValueObject*> batch;
    for (int i = 1; i <= 3000; ++i) {
      logins.push_back(loginCall("many" + std::to_string(i), "many-" + std::to_string(i)));
      batch.push_back(logins.back().get());
    }
    ASSERT_EQ(c.call(batch, r), 200);
    ASSERT_EQ(r.size(), 3000u);
    for (std::size_t i = 0; i < r.size(); ++i)
      ASSERT_EQ(r[i]->asException(), u"This session is logged in with another id.") << i;
  }
  std::vector<std::unique_ptr<LoggedIn>> users;
  int in = 0;
  for (int i = 0; i < 30; ++i) {
    users.push_back(
        std::make_unique<LoggedIn>(g.port(), "u" + std::to_string(i), "cap-" + std::to_string(i)));
    in += users.back()->loggedIn() ? 1 : 0;
  }
  EXPECT_EQ(in, 19);  // 20 per address, one of them taken by the batch above
  Bystander bystander(g.port());
  EXPECT_TRUE(bystander.answers());
  EXPECT_EQ(g.stop(), 0);
  EXPECT_NE(g.log().find("reason=users-per-peer"), std::string::npos);
}

TEST(HostileLoad, BeforeLoginBodiesInflatedTreesAndIdsStaySmall) {
  GatewayProcess g({"--enable-echo"});
  Bystander bystander(g.port());
  const long start = memoryKiB(g.pid(), "VmHWM:");
  {  // large bodies from sessions that never logged in
    std::vector<std::unique_ptr<HttpConnection>> senders;
    for (int i = 0; i < 4; ++i) {
      senders.push_back(std::make_unique<HttpConnection>(g.port()));
      EXPECT_EQ(senders.back()->post("/$rdgate?ID=NEW", std::string(1u << 20, 'x')).status, 413);
    }
  }
  {  // a small compressed body that would inflate to a huge value tree
    std::string many;
    while (many.size() < (12u << 20)) many += "RE=0;";
    HttpConnection bomb(g.port());
    const std::string body =
        testing::ZlibPack("FC=Echo;RE=1;a:AR=" + std::to_string(many.size() / 5) + ";" + many) +
        std::string(1, '\0');
    ASSERT_LT(body.size(), 64u << 10);
    EXPECT_EQ(bomb.post("/$rdgate?ID=NEW", body).status, 413);
  }
  {  // long login ids are not remembered
    HttpConnection http(g.port());
    ProtocolClient c(http.transport(), {});
    ASSERT_EQ(c.handshake(), 200);
    Results r;
    ASSERT_EQ(c.call(*loginCall("ann", std::string(40000, 'i')), r), 200);
    EXPECT_EQ(r[0]->asException(), u"Login id too long.");
  }
  EXPECT_TRUE(bystander.answers());
  if (kMeasureMemory) {
    EXPECT_LT(memoryKiB(g.pid(), "VmHWM:") - start, 24 * 1024);
  }
  EXPECT_EQ(g.stop(), 0);
}

}  // namespace
}  // namespace vtx::gateway
