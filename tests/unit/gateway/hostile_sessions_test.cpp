// Attacks on the sessions of a real gateway process on 127.0.0.1 by someone who learnt a
// session id or captured a request.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "gateway/analyst_accounts.h"
#include "gateway_process.h"
#include "http_transport.h"
#include "portal_peer.h"
#include "util/text.h"

namespace vtx::gateway {
namespace {

using testing::GatewayProcess;
using testing::HttpConnection;
using testing::MakeCall;
using testing::ProtocolClient;
using Results = std::vector<std::unique_ptr<TRtcValue>>;

bool echoes(ProtocolClient& c, int n) {
  Results r;
  return c.call(*MakeCall(u"Echo", n, u"mine"), r) == 200 && r.size() == 1 && r[0]->asRecord() &&
         r[0]->asRecord()->asInteger("n") == n;
}

bool logIn(ProtocolClient& c, const std::string& user) {
  TRtcFunctionInfo login(u"Login");
  login.setAsText("user", Widen(user));
  login.setAsText("pwd", u"pw");
  login.setAsString("id", user + "-1");
  Results r;
  return c.call(login, r) == 200 && r.size() == 1 && r[0]->isType() != rtc_Exception;
}

// A HELLO naming a logged-in session gets a session of its own; one naming a session that has
// not logged in yet still renews that session's keys.
TEST(HostileSessions, AHelloNeverReKeysALoggedInSession) {
  GatewayProcess g({"--enable-echo"});
  for (bool victimLoggedIn : {true, false}) {
    SCOPED_TRACE(victimLoggedIn ? "logged in" : "not logged in");
    HttpConnection victimLink(g.port()), attackerLink(g.port());
    ProtocolClient victim(victimLink.transport(), {});
    ASSERT_EQ(victim.handshake(), 200);
    if (victimLoggedIn) {
      ASSERT_TRUE(logIn(victim, "victim"));
    }
    ASSERT_TRUE(echoes(victim, 1));

    ProtocolClient attacker(attackerLink.transport(), {}, 99);
    attacker.setSessionId(victim.sessionId());
    ASSERT_EQ(attacker.handshake(), 200);
    EXPECT_EQ(attacker.sessionId() != victim.sessionId(), victimLoggedIn);
    if (victimLoggedIn) {
      TRtcFunctionInfo whoAmI(u"User.Get");
      Results r;
      ASSERT_EQ(attacker.call(whoAmI, r), 200);
      ASSERT_EQ(r.size(), 1u);
      EXPECT_EQ(r[0]->isType(), rtc_Exception);  // not the victim's login
      EXPECT_TRUE(echoes(victim, 2));            // the victim's keys still work
    }
  }
  EXPECT_EQ(g.stop(), 0);
}

// A captured RESET sent again, at once or after the victim's next calls, is refused and leaves
// the victim's cipher where it was.
TEST(HostileSessions, AReplayedResetIsRefused) {
  GatewayProcess g({"--enable-echo"});
  for (int callsBetween : {0, 1, 3}) {
    SCOPED_TRACE(callsBetween);
    HttpConnection victimLink(g.port()), attackerLink(g.port());
    ProtocolClient victim(victimLink.transport(), {});
    ASSERT_EQ(victim.handshake(), 200);
    ASSERT_TRUE(logIn(victim, "payer" + std::to_string(callsBetween)));
    std::string text;
    MakeCall(u"Echo", 100, u"pay once")->to_Code(text);
    const auto captured = victim.prepare(text, true);
    Results r;
    ASSERT_EQ(victim.accept(captured, victimLink.post(captured.target, captured.body), r), 200);
    for (int i = 0; i < callsBetween; ++i) ASSERT_TRUE(echoes(victim, i));
    EXPECT_EQ(attackerLink.post(captured.target, captured.body).status, 409);
    EXPECT_TRUE(echoes(victim, 50));
    // A fresh reset of the victim's own still works.
    EXPECT_EQ(victim.call({MakeCall(u"Echo", 51, u"again").get()}, r, true), 200);
    EXPECT_TRUE(echoes(victim, 52));
  }
  EXPECT_EQ(g.stop(), 0);
}

// Login fields travel to others in login notices: only flat values of bounded size are taken.
TEST(HostileSessions, LoginDataMustBeFlatAndSmall) {
  GatewayProcess g({});
  const auto nested = [](int depth) {
    std::unique_ptr<TRtcValueObject> v = std::make_unique<TRtcRecord>();
    for (int i = 1; i < depth; ++i) {
      auto outer = std::make_unique<TRtcRecord>();
      outer->setAsObject("x", std::move(v));
      v = std::move(outer);
    }
    return v;
  };
  struct Case {
    const char* what;
    std::function<void(TRtcFunctionInfo&)> extra;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"flat fields",
       [](TRtcFunctionInfo& f) {
         f.setAsText("ComputerName", u"desk-7");
         f.setAsInteger("screens", 2);
       },
       true},
      {"nested 255 deep", [&](TRtcFunctionInfo& f) { f.setAsObject("extra", nested(255)); }, false},
      {"one record", [&](TRtcFunctionInfo& f) { f.setAsObject("extra", nested(1)); }, false},
      {"long text", [](TRtcFunctionInfo& f) { f.setAsText("note", RtcWideString(5000, u'n')); },
       false},
      {"many fields",
       [](TRtcFunctionInfo& f) {
         for (int i = 0; i < 100; ++i) f.setAsInteger(Widen("f" + std::to_string(i)), i);
       },
       false},
  };
  int n = 0;
  for (const Case& c : cases) {
    HttpConnection http(g.port());
    ProtocolClient client(http.transport(), {});
    ASSERT_EQ(client.handshake(), 200);
    TRtcFunctionInfo login(u"Login");
    login.setAsText("user", Widen("host" + std::to_string(++n)));
    login.setAsText("pwd", u"pw");
    login.setAsString("id", "host-" + std::to_string(n));
    c.extra(login);
    Results r;
    ASSERT_EQ(client.call(login, r), 200) << c.what;
    ASSERT_EQ(r.size(), 1u);
    if (c.accepted)
      EXPECT_NE(r[0]->isType(), rtc_Exception) << c.what;
    else
      EXPECT_EQ(r[0]->asException(), u"Login data must be flat fields of bounded size.") << c.what;
  }
  EXPECT_EQ(g.stop(), 0);
}

// A second console command of an analyst replaces the first session; the first one's client
// learns why in words it can print. A copy of the program replaced the same way keeps LOGGED
// OUT, which ends it for good (it would otherwise log in again and replace the new copy).
TEST(HostileSessions, AReplacedAnalystConsoleIsToldWhy) {
  const std::string db = (std::filesystem::temp_directory_path() /
                          ("vtx-replaced-" + std::to_string(::getpid()) + ".db"))
                             .string();
  { AnalystAccounts(db).add("ana", "ana-own-pw"); }
  struct Case {
    RtcWideString user, password;
    std::string refusal;
  };
  const std::vector<Case> cases = {
      {u"ana", u"ana-own-pw", "Logged in again elsewhere."},
      {u"cust", u"pw", "LOGGED OUT"},
  };
  {
    GatewayProcess g({"--login-password", "pw", "--db", db}, true);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.refusal);
      testing::PeerSettings first{std::to_string(g.port()),  {}, c.user, c.password,
                                  Utf8Encode(c.user) + "-1", {}};
      testing::PeerSettings second = first;
      second.id = Utf8Encode(c.user) + "-2";
      testing::PortalPeer one(first);
      ASSERT_NE(one.put.callAndWait("User.Get"), nullptr);
      testing::PortalPeer two(second);
      ASSERT_NE(two.put.callAndWait("User.Get"), nullptr);
      auto late = one.put.callAndWait("User.Get");
      EXPECT_TRUE(late == nullptr || late->isType() == rtc_Exception);
      for (int i = 0; i < 500 && one.put.loginResult().find(c.refusal) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      EXPECT_NE(one.put.loginResult().find(c.refusal), std::string::npos) << one.put.loginResult();
      auto still = two.put.callAndWait("User.Get");  // the newer session stays
      ASSERT_NE(still, nullptr);
      EXPECT_EQ(still->isType(), rtc_Record);
    }
    EXPECT_EQ(g.stop(), 0);
  }
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"})
    std::filesystem::remove(db + suffix, ec);
}

}  // namespace
}  // namespace vtx::gateway
