// The relay of the real vorantelix-gateway on 127.0.0.1, driven by remote function clients on
// two channels per user, as portal clients use it.
#include <gtest/gtest.h>

#include <thread>

#include <condition_variable>
#include <mutex>

#include "gateway_process.h"
#include "http_transport.h"
#include "portal_peer.h"

namespace vtx::gateway {
namespace {

using testing::GatewayProcess;
using testing::PeerSettings;
using testing::PortalPeer;
using testing::ProtocolClient;
using testing::PutRows;

const std::vector<std::string> kRelay = {
    "--secure-key", "K3y!", "--force-encryption", "--login-password", "portal-pw",
    "--get-hold",   "5"};

PeerSettings settings(const GatewayProcess& g, const char* user, const char* id,
                      const char* password = "portal-pw") {
  return PeerSettings{std::to_string(g.port()), "K3y!", Widen(user), Widen(password), id};
}

// A Get issued now whose answer is awaited later.
class PendingGet {
 public:
  explicit PendingGet(testing::PortalChannel& channel, int x) {
    channel.call(
        "Get", [x](TRtcFunctionInfo& f) { f.setAsInteger("x", x); },
        [this](TRtcValue& result) {
          std::lock_guard<std::mutex> hold(m_);
          value_ = TRtcValue::FromCode(result.toCode());
          cv_.notify_all();
        });
  }
  std::unique_ptr<TRtcValue> wait() {
    std::unique_lock<std::mutex> hold(m_);
    cv_.wait_for(hold, std::chrono::seconds(10), [&] { return value_ != nullptr; });
    return std::move(value_);
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::unique_ptr<TRtcValue> value_;
};

bool isRecord(const std::unique_ptr<TRtcValue>& v) {
  return v && v->isType() == rtc_Record;
}

// Polls until an item from `origin` arrives (at most a few Gets).
TRtcArray* itemsFrom(PortalPeer& peer, const char* origin, std::unique_ptr<TRtcValue>& keep) {
  for (int i = 0; i < 4; ++i) {
    keep = peer.get.callAndWait("Get", [i](TRtcFunctionInfo& f) { f.setAsInteger("x", 50 + i); });
    if (!isRecord(keep)) return nullptr;
    if (TRtcArray* a = keep->asRecord()->asArray(origin)) return a;
  }
  return nullptr;
}

TEST(RelayProcess, TwoUsersOnTwoChannelsEachExchangeRows) {
  GatewayProcess g(kRelay);
  {
    PortalPeer host(settings(g, "host", "host-id-1")), viewer(settings(g, "viewer", "view-id-1"));
    // As the client starts: parameters on the Put channel, then Control/Host on the Get channel.
    ASSERT_TRUE(isRecord(host.put.callAndWait("User.Get")));
    ASSERT_TRUE(isRecord(viewer.put.callAndWait("User.Get")));
    auto on = [](TRtcFunctionInfo& f) { f.setAsBoolean("on", true); };
    ASSERT_TRUE(isRecord(viewer.get.callAndWait("Control", on)));
    ASSERT_TRUE(isRecord(host.get.callAndWait("Host", on)));

    std::unique_ptr<TRtcValue> keep;
    TRtcArray* notices = itemsFrom(viewer, "host", keep);
    ASSERT_NE(notices, nullptr);
    ASSERT_NE(notices->asRecord(0), nullptr);
    EXPECT_TRUE(notices->asRecord(0)->asBoolean("isLogin"));
    EXPECT_EQ(notices->asRecord(0)->asRecord("userinfo")->asText("info_computername"), u"TESTPC");

    // A held Get of the viewer is answered by the host's Put.
    PendingGet held(viewer.get, 7);
    auto put = host.put.callAndWait("Put", PutRows(1, {[](TRtcDataSet& p) {
                                                         p.setAsText("s", u"desk");
                                                         p.setAsText("user", u"viewer");
                                                       },
                                                       [](TRtcDataSet& p) {
                                                         p.setAsText("fn", u"desk");
                                                         p.setAsString("d", "frame-1");
                                                       },
                                                       [](TRtcDataSet& p) {
                                                         p.setAsText("to", u"viewer");
                                                         p.setAsString("d", "direct");
                                                       }}));
    ASSERT_NE(put, nullptr);
    EXPECT_NE(put->isType(), rtc_Exception) << put->toCode();
    std::vector<std::string> seen;
    for (auto answer = held.wait(); seen.size() < 3;) {
      ASSERT_TRUE(isRecord(answer));
      if (TRtcArray* items = answer->asRecord()->asArray("host"))
        for (int i = 0; i < items->Count(); ++i)
          seen.push_back(items->isType(i) == rtc_String ? items->asString(i)
                                                        : std::string("notice"));
      if (seen.size() < 3) answer = viewer.get.callAndWait("Get");
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"notice", "frame-1", "direct"}));

    // The viewer answers the host and leaves the group; the host hears both.
    put = viewer.put.callAndWait("Put", PutRows(2, {[](TRtcDataSet& p) {
                                                      p.setAsText("to", u"HOST");
                                                      p.setAsString("d", "reply");
                                                    },
                                                    [](TRtcDataSet& p) {
                                                      p.setAsText("t", u"desk");
                                                      p.setAsText("user", u"host");
                                                    }}));
    EXPECT_NE(put->isType(), rtc_Exception);
    TRtcArray* fromViewer = itemsFrom(host, "viewer", keep);
    ASSERT_NE(fromViewer, nullptr);
    EXPECT_EQ(fromViewer->asString(0), "reply");
    TRtcArray* own = keep->asRecord()->asArray("host");
    ASSERT_NE(own, nullptr);  // the join and the leave, under the host's own name
    EXPECT_TRUE(own->asRecord(own->Count() - 1)->asBoolean("off"));

    // A row the relay cannot apply is logged; the Put still answers true.
    auto bad = viewer.put.callAndWait(
        "Put", PutRows(3, {[](TRtcDataSet& p) { p.setAsText("nonsense", u"1"); }}));
    ASSERT_NE(bad, nullptr);
    EXPECT_EQ(bad->isType(), rtc_Boolean);

    for (auto* peer : {&host, &viewer}) {
      auto out = peer->put.callAndWait("Logout", [](TRtcFunctionInfo& f) {
        f.setAsText("user", u"x");  // a wrong name is refused
        f.setAsText("pwd", u"portal-pw");
      });
      EXPECT_EQ(out->isType(), rtc_Exception);
    }
    auto out = host.put.callAndWait("Logout", [](TRtcFunctionInfo& f) {
      f.setAsText("user", u"host");
      f.setAsText("pwd", u"portal-pw");
    });
    EXPECT_EQ(out->isType(), rtc_Boolean);
    // The logout took the protocol sessions with it: the channel logs in again and learns
    // that the login ended (the refused login aborts the call before its result is handed on).
    auto after = host.get.callAndWait("Get");
    EXPECT_TRUE(after == nullptr || after->isType() == rtc_Exception);
    for (int i = 0; i < 500 && host.get.loginResult().find("LOGGED OUT") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(host.get.loginResult().find("LOGGED OUT"), std::string::npos)
        << host.get.loginResult();
    viewer.put.callAndWait("Logout", [](TRtcFunctionInfo& f) {
      f.setAsText("user", u"viewer");
      f.setAsText("pwd", u"portal-pw");
    });
  }
  EXPECT_EQ(g.stop(), 0);
  const std::string log = g.log();
  EXPECT_NE(log.find("event=user-login user=host"), std::string::npos) << log;
  EXPECT_NE(log.find("event=user-logout user=host reason=logout"), std::string::npos) << log;
  EXPECT_NE(log.find("event=put-rows-refused user=viewer rows=1"), std::string::npos) << log;
}

TEST(RelayProcess, ParametersSurviveARestartAndBadPasswordsAreRefused) {
  const auto db =
      testing::fs::temp_directory_path() / ("vtx-relay-" + std::to_string(::getpid()) + ".db");
  testing::fs::remove(db);
  std::vector<std::string> options = kRelay;
  options.insert(options.end(), {"--db", db.string(), "--enable-change-password"});
  {
    GatewayProcess g(options);
    {
      testing::HttpConnection http(g.port());
      ProtocolClient::Settings key;
      key.secureKey = "K3y!";
      ProtocolClient wrong(http.transport(), key);
      ASSERT_EQ(wrong.handshake(), 200);
      TRtcFunctionInfo login(u"Login");
      login.setAsText("user", u"ann");
      login.setAsText("pwd", u"guess");
      login.setAsString("id", "ann-0");
      std::vector<std::unique_ptr<TRtcValue>> r;
      ASSERT_EQ(wrong.call(login, r), 200);
      ASSERT_EQ(r.size(), 1u);
      EXPECT_EQ(r[0]->asException(), u"Invalid user name or password.");
    }
    PortalPeer ann(settings(g, "ann", "ann-1"));
    auto set = ann.put.callAndWait(
        "User.Set", [](TRtcFunctionInfo& f) { f.setAsBoolean("NoViewDesktop", true); });
    ASSERT_NE(set, nullptr);
    EXPECT_NE(set->isType(), rtc_Exception);
    ann.put.callAndWait("User.Add", [](TRtcFunctionInfo& f) {
      f.NewRecord("AllowUsers").setAsBoolean("bob", true);
    });
    auto changed = ann.put.callAndWait("ChangePwd", [](TRtcFunctionInfo& f) {
      f.setAsText("username", u"ann");
      f.setAsText("oldpassword", u"portal-pw");
      f.setAsText("newpassword", u"own-pw");
    });
    ASSERT_NE(changed, nullptr);
    EXPECT_EQ(changed->asText(), u"Password changed.");
    EXPECT_EQ(g.stop(), 0);
  }
  {
    GatewayProcess g(options);
    PortalPeer ann(settings(g, "ann", "ann-2", "own-pw"));
    auto params = ann.put.callAndWait("User.Get");
    ASSERT_TRUE(isRecord(params)) << (params ? params->toCode() : "none");
    EXPECT_TRUE(params->asRecord()->asBoolean("NoViewDesktop"));
    ASSERT_NE(params->asRecord()->asRecord("AllowUsers"), nullptr);
    EXPECT_TRUE(params->asRecord()->asRecord("AllowUsers")->asBoolean("bob"));
    EXPECT_EQ(g.stop(), 0);
  }
  for (const char* tail : {"", "-wal", "-shm"}) testing::fs::remove(db.string() + tail);
}

}  // namespace
}  // namespace vtx::gateway
