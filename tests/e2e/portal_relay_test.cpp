// Portal clients of this process logging in, forming groups and exchanging messages through a
// real gateway process on 127.0.0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "e2e/gateway_child.h"
#include "platform/system_info.h"
#include "portal/http_portal_client.h"
#include "portal/payload.h"
#include "portal/portal_module.h"
#include "portal_peer.h"
#include "util/text.h"

namespace vtx {
namespace {

using namespace std::chrono_literals;
using testing::GatewayChild;

const char* const kPassword = "fyduzAKrpRQdnnwXjRM";
const char* const kSecureKey = "kgQWdXnb5mVpW";

// Lines of what happened to one client, with a wait for a line to appear.
class Journal {
 public:
  void add(std::string line) {
    std::lock_guard g(lock_);
    lines_.push_back(std::move(line));
    cv_.notify_all();
  }
  bool waitFor(const std::string& line, std::chrono::milliseconds limit = 15s) {
    std::unique_lock g(lock_);
    return cv_.wait_for(g, limit, [&] { return has(line); });
  }
  bool contains(const std::string& line) {
    std::lock_guard g(lock_);
    return has(line);
  }
  std::vector<std::string> lines() {
    std::lock_guard g(lock_);
    return lines_;
  }
  // Lines that begin with `prefix`.
  int count(const std::string& prefix) {
    std::lock_guard g(lock_);
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(),
                                          [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
  }

 private:
  bool has(const std::string& line) const {
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }
  std::mutex lock_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

// A module that writes every hook it sees into the journal.
class JournalModule : public TRtcPModule {
 public:
  explicit JournalModule(Journal& j) : j_(j) {}
  void HandleBatchStart(TRtcConnection*) override { j_.add("BatchStart"); }
  void HandleBatchEnd(TRtcConnection*) override { j_.add("BatchEnd"); }
  void HandleUserLoggedIn(TRtcConnection*, const std::string& u) override { j_.add("In " + u); }
  void HandleUserLoggedOut(TRtcConnection*, const std::string& u) override { j_.add("Out " + u); }
  void HandleUserJoinedMyGroup(TRtcConnection*, const std::string& g,
                               const std::string& u) override {
    j_.add("JoinedMine " + g + " " + u);
  }
  void HandleUserLeftMyGroup(TRtcConnection*, const std::string& g, const std::string& u) override {
    j_.add("LeftMine " + g + " " + u);
  }
  void HandleJoinedUsersGroup(TRtcConnection*, const std::string& g,
                              const std::string& u) override {
    j_.add("JoinedOther " + g + " " + u);
  }
  void HandleLeftUsersGroup(TRtcConnection*, const std::string& g, const std::string& u) override {
    j_.add("LeftOther " + g + " " + u);
  }
  void HandleDataFromUser(TRtcConnection*, const std::string& u, TRtcFunctionInfo& f) override {
    j_.add("Data " + u + " " + Utf8Encode(f.FunctionName()) + " " +
           std::to_string(f.asInteger("n")));
  }

 private:
  Journal& j_;
};

// One program's portal client, set up as the program sets its own, with a journal module.
struct Peer {
  Peer(const GatewayChild& gw, const std::string& name, bool visible, bool notify,
       bool storeParams = false)
      : module(journal) {
    client.setGateAddr("127.0.0.1");
    client.setGatePort(gw.port());
    if (!gw.caFile().empty()) {  // TLS, the gateway's certificate checked
      client.setGate_SSL(true);
      client.setGate_SSLCAFile(gw.caFile());
    }
    client.setMultiThreaded(true);
    client.setDataEncrypt(16);
    client.setDataForceEncrypt(true);
    client.setDataSecureKey(kSecureKey);
    client.setDataCompress(TrtcpCompressLevel::rtcpCompMax);
    client.setLoginPassword(kPassword);
    client.setLoginUserName(name);
    client.setUserVisible(visible);
    client.setUserNotify(notify);
    client.setGwStoreParams(storeParams);
    client.OnLogIn = [this](TAbsPortalClient&) { journal.add("LogIn"); };
    client.OnLogOut = [this](TAbsPortalClient&) { journal.add("LogOut"); };
    client.OnStart = [this](TAbsPortalClient&, TRtcValue&) { journal.add("Start"); };
    client.OnParams = [this](TAbsPortalClient&, TRtcValue&) { journal.add("Params"); };
    client.OnError = [this](TAbsPortalClient&, const std::string& m) { journal.add("Error " + m); };
    client.OnFatalError = [this](TAbsPortalClient&, const std::string& m) {
      journal.add("FatalError " + m);
    };
    module.setClient(&client);
  }
  ~Peer() {
    module.setClient(nullptr);
    client.Stop();
  }
  bool loggedIn(std::chrono::milliseconds limit = 15s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!client.LoggedIn() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(10ms);
    return client.LoggedIn();
  }

  FixedSystemInfo system{"PC-E2E", "tester", "127.0.0.1"};
  Journal journal;
  TRtcHttpPortalClient client{&system};
  JournalModule module;
};

std::unique_ptr<TRtcFunctionInfo> Message(const char16_t* name, int n) {
  auto f = std::make_unique<TRtcFunctionInfo>();
  f->setFunctionName(name);
  f->setAsInteger("n", n);
  return f;
}

std::vector<std::string> GatewayArgs(std::vector<std::string> more = {}) {
  std::vector<std::string> a = {"--threads",
                                "2",
                                "--login-password",
                                kPassword,
                                "--secure-key",
                                kSecureKey,
                                "--force-encryption",
                                "--get-hold",
                                "2"};
  if (std::find(more.begin(), more.end(), "--db") == more.end())
    more.insert(more.end(), {"--db", ":memory:"});
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

TEST(PortalRelay, NoticesGroupsAndMessagesBetweenAHostAndAViewer) {
  GatewayChild gw(GatewayArgs());
  Peer host(gw, "host", /*visible=*/true, /*notify=*/false);
  Peer viewer(gw, "viewer", /*visible=*/false, /*notify=*/true);

  host.client.setActive(true);
  ASSERT_TRUE(host.loggedIn());
  ASSERT_TRUE(host.journal.waitFor("Start"));
  viewer.client.setActive(true);
  ASSERT_TRUE(viewer.loggedIn());
  // The subscriber learns of the visible user already logged in.
  EXPECT_TRUE(viewer.journal.waitFor("In host"));
  ASSERT_NE(viewer.client.UserInfos()->asRecord("host"), nullptr);

  host.client.AddUserToMyGroup(nullptr, "viewer", "chat");
  EXPECT_TRUE(host.journal.waitFor("JoinedMine chat viewer"));
  EXPECT_TRUE(viewer.journal.waitFor("JoinedOther chat host"));

  host.client.SendToMyGroup(nullptr, "chat", Message(u"Hello", 1));
  EXPECT_TRUE(viewer.journal.waitFor("Data host Hello 1"));
  viewer.client.SendToUser(nullptr, "host", Message(u"Reply", 2));
  EXPECT_TRUE(host.journal.waitFor("Data viewer Reply 2"));

  viewer.client.LeaveUserGroup(nullptr, "host", "chat");
  EXPECT_TRUE(host.journal.waitFor("LeftMine chat viewer"));
  EXPECT_TRUE(viewer.journal.waitFor("LeftOther chat host"));

  // A message to a group nobody is in any more reaches nobody.
  host.client.SendToMyGroup(nullptr, "chat", Message(u"Hello", 3));
  host.client.AddUserToMyGroup(nullptr, "viewer", "desk");
  EXPECT_TRUE(viewer.journal.waitFor("JoinedOther desk host"));
  EXPECT_FALSE(viewer.journal.contains("Data host Hello 3"));

  host.client.setActive(false);
  EXPECT_TRUE(viewer.journal.waitFor("Out host"));
  EXPECT_TRUE(viewer.journal.waitFor("LeftOther desk host"));
  EXPECT_FALSE(host.client.LoggedIn());
  EXPECT_TRUE(host.journal.contains("LogOut"));
  EXPECT_EQ(host.journal.count("Error"), 0);
  EXPECT_EQ(viewer.journal.count("Error"), 0);
}

// Reads what arrives for a raw protocol viewer until `enough` says so.
std::vector<std::string> RawItemsFrom(gateway::testing::PortalPeer& peer, const std::string& from,
                                      std::size_t enough) {
  std::vector<std::string> out;
  for (int x = 1; x < 20 && out.size() < enough; ++x) {
    auto got = peer.get.callAndWait("Get", [x](TRtcFunctionInfo& f) { f.setAsInteger("x", x); });
    if (!got || got->isType() != TRtcValueTypes::rtc_Record) continue;
    TRtcArray* items = got->asRecord()->asArray(Utf8Decode(from));
    if (!items) continue;
    for (int i = 0; i < items->Count(); ++i)
      if (items->isType(i) == TRtcValueTypes::rtc_String) out.push_back(items->asString(i));
  }
  return out;
}

TEST(PortalRelay, MessagesQueuedWhileTheSenderIsHeldTravelAsOneCompressedRow) {
  GatewayChild gw(GatewayArgs());
  gateway::testing::PeerSettings s{
      gw.port(),  kSecureKey, u"bob", Utf8Decode(kPassword), "0123456789ABCDEF0123456789ABCDEF",
      gw.caFile()};
  gateway::testing::PortalPeer bob(s);
  ASSERT_TRUE(
      bob.get.callAndWait("Control", [](TRtcFunctionInfo& f) { f.setAsBoolean("on", true); }));

  Peer host(gw, "host", true, false);
  host.client.setActive(true);
  ASSERT_TRUE(host.loggedIn());

  host.client.LockSender(nullptr);
  for (int n = 1; n <= 3; ++n) host.client.SendToUser(nullptr, "bob", Message(u"Part", n));
  host.client.UnLockSender(nullptr);
  auto rows = RawItemsFrom(bob, "host", 1);
  ASSERT_EQ(rows.size(), 1u);
  auto value = TRtcValue::FromCode(DecompressPayload(rows[0]));
  ASSERT_EQ(value->isType(), TRtcValueTypes::rtc_Array);
  TRtcArray& calls = *value->asArray();
  ASSERT_EQ(calls.Count(), 3);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(calls.isType(i), TRtcValueTypes::rtc_Function);
    EXPECT_EQ(calls.asFunction(i)->asInteger("n"), i + 1);
  }
}

TEST(PortalRelay, PingsKeepAnIdleSessionAliveWithoutErrors) {
  GatewayChild gw(GatewayArgs({"--login-timeout", "3"}));
  Peer host(gw, "host", true, false);
  host.client.setPingGatewayIntervalInSec(1);
  std::atomic<int> putsSent{0};
  host.client.OnStatusPut = [&](TAbsPortalClient&, TRtcPHttpConnStatus s) {
    if (s == TRtcPHttpConnStatus::rtccSending) ++putsSent;
  };
  host.client.setActive(true);
  ASSERT_TRUE(host.loggedIn());
  const int before = putsSent;
  std::this_thread::sleep_for(5s);
  EXPECT_TRUE(host.client.LoggedIn());
  // Nothing else travels on the Put channel: what it sent were pings, and none was refused.
  EXPECT_GE(putsSent - before, 3);
  EXPECT_EQ(host.journal.count("Error"), 0);
  EXPECT_EQ(host.journal.count("FatalError"), 0);
}

TEST(PortalRelay, ParametersSurviveAGatewayRestart) {
  const auto db = std::filesystem::temp_directory_path() /
                  ("vtx-e2e-params-" + std::to_string(::getpid()) + ".db");
  std::filesystem::remove(db);
  {
    GatewayChild gw(GatewayArgs({"--db", db.string()}));
    Peer host(gw, "host", true, false, /*storeParams=*/true);
    host.client.setActive(true);
    ASSERT_TRUE(host.loggedIn());
    ASSERT_TRUE(host.journal.waitFor("Params"));
    EXPECT_FALSE(host.client.GRestrictAccess());
    host.client.setGUsers({"bob", "ann"});
    host.client.setGSuperUsers({"boss"});
    host.client.setGRestrictAccess(true);
    host.client.setGUsers({"ann"});  // bob deleted again
    host.client.setActive(false);    // waits for the Put channel's calls
    EXPECT_EQ(host.journal.count("Error"), 0);
  }
  GatewayChild gw(GatewayArgs({"--db", db.string()}));
  Peer again(gw, "host", true, false, /*storeParams=*/true);
  again.client.setActive(true);
  ASSERT_TRUE(again.loggedIn());
  ASSERT_TRUE(again.journal.waitFor("Params"));
  EXPECT_TRUE(again.client.GRestrictAccess());
  EXPECT_EQ(again.client.GUsers(), std::vector<std::string>{"ann"});
  EXPECT_EQ(again.client.GSuperUsers(), std::vector<std::string>{"boss"});
  EXPECT_TRUE(again.client.inUserList("ann"));
  EXPECT_FALSE(again.client.inUserList("bob"));
  std::filesystem::remove(db);
}

TEST(PortalRelay, AGatewayCrashIsReportedAndTheClientLogsInAgainWhenActivated) {
  GatewayChild gw(GatewayArgs());
  Peer host(gw, "host", true, false);
  host.client.setRetryOtherCalls(1);
  host.client.setActive(true);
  ASSERT_TRUE(host.loggedIn());
  const std::string firstId = host.client.LoginID();

  gw.stop(/*kill=*/true);
  ASSERT_TRUE(host.journal.waitFor("Error Unable to connect to the Gateway.", 30s));
  EXPECT_FALSE(host.client.LoggedIn());

  gw.start();
  host.client.setActive(true);
  ASSERT_TRUE(host.loggedIn());
  EXPECT_NE(host.client.LoginID(), firstId);
}

TEST(PortalRelay, ARestartedProgramReplacesItsOldSessionAtOnce) {
  GatewayChild gw(GatewayArgs());
  Peer viewer(gw, "viewer", false, true);
  viewer.client.setActive(true);
  ASSERT_TRUE(viewer.loggedIn());
  auto first = std::make_unique<Peer>(gw, "host", true, false);
  first->client.setActive(true);
  ASSERT_TRUE(first->loggedIn());
  ASSERT_TRUE(viewer.journal.waitFor("In host"));

  // The same name with a new login id while the old session still stands.
  Peer second(gw, "host", true, false);
  second.client.setActive(true);
  ASSERT_TRUE(second.loggedIn());
  // The old session's protocol sessions went with its login: its next poll logs in again and
  // that login is refused for good, which the client takes as fatal.
  ASSERT_TRUE(first->journal.waitFor("FatalError LOGGED OUT"));
  EXPECT_EQ(first->journal.count("Error "), 0);
  EXPECT_FALSE(first->client.LoggedIn());
  first.reset();
  EXPECT_TRUE(second.client.LoggedIn());

  second.client.SendToUser(nullptr, "viewer", Message(u"Again", 7));
  EXPECT_TRUE(viewer.journal.waitFor("Data host Again 7"));
}

// A client that cannot check the gateway's certificate (another one is trusted) or speaks
// plain HTTP to it never logs in and says so; the gateway serves a checking client on.
TEST(PortalRelay, AGatewayWhoseCertificateDoesNotCheckOutIsNeverLoggedInto) {
  GatewayChild gw(GatewayArgs()), other(GatewayArgs());
  Peer untrusting(gw, "host", true, false), plain(gw, "plain", true, false);
  untrusting.client.setGate_SSLCAFile(other.caFile());
  plain.client.setGate_SSL(false);
  for (Peer* p : {&untrusting, &plain}) {
    p->client.setActive(true);
    const auto end = std::chrono::steady_clock::now() + 15s;
    while (p->journal.count("Error ") == 0 && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(10ms);
    EXPECT_GT(p->journal.count("Error "), 0);
    EXPECT_FALSE(p->client.LoggedIn());
  }
  Peer checking(gw, "viewer", false, true);
  checking.client.setActive(true);
  EXPECT_TRUE(checking.loggedIn());
  EXPECT_FALSE(untrusting.client.LoggedIn());
}

TEST(PortalRelay, StopEndsBothConnectionsWithinItsLimit) {
  GatewayChild gw(GatewayArgs());
  Peer host(gw, "host", true, false);
  host.client.setActive(true);
  ASSERT_TRUE(host.loggedIn());
  ASSERT_TRUE(host.client.Connected());
  const auto t0 = std::chrono::steady_clock::now();
  host.client.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 11s);
  EXPECT_FALSE(host.client.Connected());
}

}  // namespace
}  // namespace vtx
