// Sessions of the HTTP portal client against an in-process scripted gateway.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "portal/http_portal_client.h"
#include "portal_test_support.h"
#include "scripted_gateway.h"
#include "transport/main_loop.h"

namespace vtx {
namespace {

using testing::ScriptedGateway;

// A client aimed at the gateway, recording its events.
class Session {
  // Declared first: the client's threads write here until the client is gone.
  std::mutex lock;
  std::vector<std::string> log;

 public:
  explicit Session(ScriptedGateway& g, const std::string& user = "ana") : gw(g) {
    client.setGateAddr("127.0.0.1");
    client.setGatePort(g.port());
    client.setMultiThreaded(true);
    client.setLoginUserName(user);
    client.setLoginPassword("secret");
    module.setClient(&client);
    client.OnLogIn = [this](TAbsPortalClient&) { add("LogIn"); };
    client.OnLogOut = [this](TAbsPortalClient&) { add("LogOut"); };
    client.OnStart = [this](TAbsPortalClient&, TRtcValue&) { add("Start"); };
    client.OnParams = [this](TAbsPortalClient&, TRtcValue&) { add("Params"); };
    client.OnError = [this](TAbsPortalClient&, const std::string& m) { add("Error " + m); };
    client.OnFatalError = [this](TAbsPortalClient&, const std::string& m) {
      add("FatalError " + m);
    };
    client.OnInformationMessage = [this](TAbsPortalClient&, const std::string& m) {
      add("Info " + m);
    };
  }
  // Modules are detached while no channel runs.
  ~Session() {
    client.Stop();
    module.setClient(nullptr);
  }
  std::vector<std::string> events() {
    std::lock_guard g(lock);
    return log;
  }
  bool has(const std::string& e) {
    std::lock_guard g(lock);
    for (const auto& l : log)
      if (l == e) return true;
    return false;
  }
  bool waitEvent(const std::string& e) {
    return gw.waitUntil([&] { return has(e); });
  }

  ScriptedGateway& gw;
  FixedSystemInfo sys{"PC-ANA", "ana.os", "10.1.2.3"};
  TRtcHttpPortalClient client{&sys};
  testing::RecordingModule module;

 private:
  void add(std::string s) {
    std::lock_guard g(lock);
    log.push_back(std::move(s));
  }
};

TEST(PortalSession, StartPublishesPollsSendsAndLogsOut) {
  ScriptedGateway gw;
  Session s(gw);
  s.client.setUserVisible(true);
  s.client.setActive(true);
  ASSERT_TRUE(s.waitEvent("Start"));
  ASSERT_TRUE(gw.waitUntil([&] { return gw.count("Get") >= 2; }));  // polling goes on
  EXPECT_TRUE(s.client.Active());
  auto login = gw.callOf("Login");
  ASSERT_NE(login, nullptr);
  EXPECT_EQ(login->asText("user"), u"ana");
  EXPECT_EQ(login->asText("pwd"), u"secret");
  EXPECT_EQ(login->asString("id"), s.client.LoginID());
  EXPECT_EQ(login->asString("UserName"), "ana.os");
  EXPECT_EQ(login->asString("ComputerName"), "PC-ANA");
  EXPECT_EQ(login->asString("IP"), "10.1.2.3,");
  EXPECT_EQ(login->asString("ClientVersion"), "3.68");
  ASSERT_NE(gw.callOf("Host"), nullptr);
  EXPECT_TRUE(gw.callOf("Host")->asBoolean("on"));
  EXPECT_EQ(gw.count("Control"), 0);
  EXPECT_EQ(s.events(), (std::vector<std::string>{"LogIn", "Start"}));

  s.client.SendPing(nullptr);
  ASSERT_TRUE(gw.waitUntil([&] { return gw.count("Put") >= 1; }));
  auto ping = gw.callOf("Put");
  EXPECT_GT(ping->asInteger("x"), 0);
  ASSERT_EQ(ping->isType("p"), rtc_DataSet);
  EXPECT_EQ(ping->asDataSet("p")->RowCount(), 0);
  // The Put channel joined the session with the same id.
  auto relogin = gw.callOf("ReLogin");
  ASSERT_NE(relogin, nullptr);
  EXPECT_EQ(relogin->asString("id"), login->asString("id"));
  EXPECT_TRUE(relogin->isNull("UserName"));

  s.client.SendToUser(nullptr, "bob", testing::fn(u"chat", 1));
  ASSERT_TRUE(gw.waitUntil([&] { return gw.count("Put") >= 2; }));
  auto put = gw.callOf("Put", 1);
  TRtcDataSet* rows = put->asDataSet("p");
  ASSERT_EQ(rows->RowCount(), 1);
  rows->First();
  EXPECT_EQ(rows->asText("to"), u"bob");
  EXPECT_EQ(testing::decodeRow(*rows)->asFunction()->asInteger("n"), 1);

  s.client.setActive(false);
  EXPECT_FALSE(s.client.Active());
  ASSERT_NE(gw.callOf("Logout"), nullptr);
  EXPECT_EQ(gw.callOf("Logout")->asText("user"), u"ana");
  EXPECT_TRUE(s.waitEvent("LogOut"));
  EXPECT_EQ(s.module.calls().front(), "LogIn");
}

TEST(PortalSession, DeliveredItemsReachTheModules) {
  ScriptedGateway gw;
  Session s(gw);
  s.client.setUserNotify(true);
  s.client.setActive(true);
  ASSERT_TRUE(s.waitEvent("Start"));
  EXPECT_EQ(gw.count("Control"), 1);
  auto batch = std::make_unique<TRtcRecord>();
  TRtcArray& bob = batch->NewArray("bob");
  bob.setAsBoolean(0, true);
  bob.setAsString(1,
                  CompressPayload(testing::fn(u"chat")->toCode(), TrtcpCompressLevel::rtcpCompMax));
  gw.queueForGet(std::move(batch));
  ASSERT_TRUE(gw.waitUntil([&] {
    for (const auto& c : s.module.calls())
      if (c == "Data bob chat") return true;
    return false;
  }));
  s.client.setActive(false);
}

TEST(PortalSession, StoredParamsComeFirstThenBothStartCalls) {
  ScriptedGateway gw;
  auto params = std::make_unique<TRtcRecord>();
  params->setAsBoolean("RestrictAccess", true);
  params->NewRecord("AllowUsers").setAsBoolean("zed", true);
  params->asRecord("AllowUsers")->setAsBoolean("bob", true);
  gw.setParams(std::move(params));
  Session s(gw);
  s.client.setGwStoreParams(true);
  s.client.setUserVisible(true);
  s.client.setUserNotify(true);
  s.client.setActive(true);
  ASSERT_TRUE(s.waitEvent("Start"));
  ASSERT_TRUE(gw.waitUntil([&] { return gw.count("Get") >= 1; }));
  const auto names = gw.names();
  ASSERT_GE(names.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 6),
            (std::vector<std::string>{"Login", "User.Get", "Login", "Control", "Host", "Get"}));
  EXPECT_EQ(gw.callOf("Login", 0)->asString("id"), gw.callOf("Login", 1)->asString("id"));
  EXPECT_TRUE(s.client.GParamsLoaded());
  EXPECT_TRUE(s.client.GRestrictAccess());
  EXPECT_EQ(s.client.GUsers(), (std::vector<std::string>{"bob", "zed"}));
  EXPECT_TRUE(s.has("Params"));
  s.client.setActive(false);
}

// Stored values of an unexpected kind (stored by an older or a hostile client) and a module
// that fails on them must not stop the start after "User.Get".
TEST(PortalSession, StoredParamsOfUnexpectedKindsStillLeadToTheStart) {
  ScriptedGateway gw;
  auto params = std::make_unique<TRtcRecord>();
  params->NewRecord("RestrictAccess").setAsBoolean("x", true);
  params->setAsText("AllowUsers", u"bob");
  params->NewArray("SuperUsers").setAsText(0, u"zed");
  params->setAsInteger("NoChat", 7);
  gw.setParams(std::move(params));
  Session s(gw);
  s.module.throwOnParams = true;
  s.client.setGwStoreParams(true);
  s.client.setUserVisible(true);
  s.client.setActive(true);
  ASSERT_TRUE(s.waitEvent("Start"));
  EXPECT_TRUE(s.has("Params"));
  EXPECT_TRUE(s.client.GParamsLoaded());
  EXPECT_FALSE(s.client.GRestrictAccess());
  EXPECT_TRUE(s.client.GUsers().empty());
  s.client.setActive(false);
}

TEST(PortalSession, ParametersThatAreNoRecordEndTheStartWithAnError) {
  ScriptedGateway gw;
  gw.setParams(std::make_unique<TRtcTextValue>(u"nonsense"));
  Session s(gw);
  s.client.setGwStoreParams(true);
  s.client.setUserVisible(true);
  s.client.setActive(true);
  ASSERT_TRUE(s.waitEvent("Error Invalid parameters from the Gateway."));
  EXPECT_FALSE(s.has("Start"));
  EXPECT_FALSE(s.client.GParamsLoaded());
  s.client.setActive(false);
}

TEST(PortalSession, StoredParamsWithoutPublishingPollAtOnce) {
  ScriptedGateway gw;
  Session s(gw);
  s.client.setGwStoreParams(true);
  s.client.setActive(true);
  ASSERT_TRUE(gw.waitUntil([&] { return gw.count("Get") >= 1; }));
  EXPECT_EQ(gw.count("Host") + gw.count("Control"), 0);
  EXPECT_TRUE(s.has("Params"));
  EXPECT_FALSE(s.has("Start"));
  s.client.setActive(false);
}

TEST(PortalSession, RefusedLoginsRaiseFatalOrPlainErrors) {
  {
    ScriptedGateway gw;
    gw.refuseLogin("logged out");
    Session s(gw);
    s.client.setUserVisible(true);
    s.client.setActive(true);
    ASSERT_TRUE(s.waitEvent("FatalError logged out"));
    EXPECT_FALSE(s.client.Active());
    EXPECT_EQ(gw.count("Host"), 0);  // the refused session sends nothing more
    EXPECT_EQ(gw.count("Login"), 1);
  }
  {
    ScriptedGateway gw;
    gw.refuseLogin("Wrong password");
    Session s(gw);
    s.client.setUserVisible(true);
    s.client.setActive(true);
    ASSERT_TRUE(s.waitEvent("Error Wrong password"));
    EXPECT_FALSE(s.has("FatalError Wrong password"));
  }
}

// A login refused on the Put channel aborts the Put waiting for it, so the sender is free again
// and the next message still leaves once the gateway takes the login.
TEST(PortalSession, ARefusedPutLoginFreesTheSender) {
  ScriptedGateway gw;
  Session s(gw);
  s.client.setUserVisible(true);
  s.client.setActive(true);
  ASSERT_TRUE(s.waitEvent("Start"));
  gw.refuseLogin("Wrong password");
  s.client.ClientModule().ResetLogin();  // the Put channel must log in again
  const int puts = gw.count("Put");
  s.client.SendToUser(nullptr, "bob", std::make_unique<TRtcFunctionInfo>(u"First"));
  ASSERT_TRUE(s.waitEvent("Error Wrong password"));
  gw.refuseLogin("");
  s.client.SendToUser(nullptr, "bob", std::make_unique<TRtcFunctionInfo>(u"Second"));
  EXPECT_TRUE(gw.waitUntil([&] { return gw.count("Put") > puts; }));
  EXPECT_TRUE(s.client.LoggedIn());
}

// The gateway names the receivers it found no room for; the modules hear of it and sending
// goes on.
TEST(PortalSession, RefusedReceiversOfAPutReachTheModulesWithTheirMessages) {
  ScriptedGateway gw;
  auto answer = std::make_unique<TRtcRecord>();
  TRtcArray& refused = answer->NewArray("refused");
  TRtcRecord& one = refused.NewRecord(0);
  one.setAsInteger("row", 1);
  one.setAsText("to", u"bob");
  TRtcRecord& beyond = refused.NewRecord(1);  // no such row: named, without messages
  beyond.setAsInteger("row", 9);
  beyond.setAsText("to", u"zed");
  beyond.setAsObject("d", std::make_unique<TRtcFunctionInfo>(u"Forged"));  // not ours: dropped
  refused.NewRecord(2).setAsText("fn", u"desk");                           // no row at all
  gw.answerPut(std::move(answer));
  Session s(gw);
  s.client.setUserVisible(true);
  s.client.setActive(true);
  ASSERT_TRUE(s.waitEvent("Start"));
  // One Put: bob's two messages share row 1, carl's is row 2.
  s.client.LockSender(nullptr);
  s.client.SendToUser(nullptr, "bob", std::make_unique<TRtcFunctionInfo>(u"First"));
  s.client.SendToUser(nullptr, "bob", std::make_unique<TRtcFunctionInfo>(u"Also"));
  s.client.SendToUser(nullptr, "carl", std::make_unique<TRtcFunctionInfo>(u"Third"));
  s.client.UnLockSender(nullptr);
  ASSERT_TRUE(gw.waitUntil([&] {
    const auto calls = s.module.calls();
    return std::find(calls.begin(), calls.end(), "Refused 3 First,Also - -") != calls.end();
  }));
  const int puts = gw.count("Put");
  s.client.SendToUser(nullptr, "bob", std::make_unique<TRtcFunctionInfo>(u"Second"));
  EXPECT_TRUE(gw.waitUntil([&] { return gw.count("Put") > puts; }));
  EXPECT_FALSE(s.has("Error"));
}

TEST(PortalSession, AFailedPutIsReportedAndTheSessionGoesOn) {
  ScriptedGateway gw;
  gw.failPut("Queue full");
  Session s(gw);
  s.client.setUserVisible(true);
  s.client.setActive(true);
  ASSERT_TRUE(s.waitEvent("Start"));
  s.client.SendToUser(nullptr, "bob", testing::fn(u"chat"));
  ASSERT_TRUE(s.waitEvent("Error Queue full"));
  EXPECT_TRUE(s.client.Active());
  const int gets = gw.count("Get");
  EXPECT_TRUE(gw.waitUntil([&] { return gw.count("Get") > gets; }));  // still polling
  gw.failPut("");
  s.client.SendToUser(nullptr, "bob", testing::fn(u"chat"));  // the sender is free again
  EXPECT_TRUE(gw.waitUntil([&] { return gw.count("Put") >= 2; }));
  EXPECT_EQ(gw.count("Put"), 2);  // the failed batch is not sent again
  s.client.setActive(false);
}

TEST(PortalSession, NewLoginNameLogsOutAndTheNextStartHasANewId) {
  ScriptedGateway gw;
  Session s(gw);
  s.client.setUserVisible(true);
  s.client.setActive(true);
  ASSERT_TRUE(s.waitEvent("Start"));
  const std::string first = Utf8Encode(Widen(gw.callOf("Login")->asString("id")));
  s.client.setLoginUserName("bea");
  EXPECT_FALSE(s.client.Active());
  ASSERT_NE(gw.callOf("Logout"), nullptr);
  EXPECT_EQ(gw.callOf("Logout")->asText("user"), u"ana");
  s.client.setActive(true);
  ASSERT_TRUE(gw.waitUntil([&] { return gw.count("Login") >= 2; }));
  auto second = gw.callOf("Login", 1);
  EXPECT_EQ(second->asText("user"), u"bea");
  EXPECT_NE(second->asString("id"), first);
  s.client.setActive(false);
}

TEST(PortalSession, ParamSetNeedsThePutConnection) {
  ScriptedGateway gw;
  Session s(gw);
  s.client.ParamSet(nullptr, "RestrictAccess", std::make_unique<TRtcBooleanValue>(true));
  s.client.setUserVisible(true);
  s.client.setActive(true);
  ASSERT_TRUE(s.waitEvent("Start"));
  EXPECT_EQ(gw.count("User.Set"), 0);  // the value given while down is gone
  s.client.SendPing(nullptr);
  ASSERT_TRUE(gw.waitUntil([&] { return gw.count("Put") >= 1; }));
  ASSERT_TRUE(gw.waitUntil([&] { return s.client.PutConnection().isConnected(); }));
  s.client.ParamSet(nullptr, "RestrictAccess", std::make_unique<TRtcBooleanValue>(true));
  ASSERT_TRUE(gw.waitUntil([&] { return gw.count("User.Set") == 1; }));
  EXPECT_TRUE(gw.callOf("User.Set")->asBoolean("RestrictAccess"));
  s.client.ChangePassword(nullptr, "ana", "secret", "new");
  EXPECT_TRUE(s.waitEvent("Info Password changed."));
  s.client.setActive(false);
}

TEST(PortalSession, StoppedGatewayIsReportedAndStopReturns) {
  std::string port;
  {
    ScriptedGateway gone;
    port = gone.port();
  }
  ScriptedGateway gw;  // only for its waits
  Session s(gw);
  s.client.setGatePort(port);
  s.client.setUserVisible(true);
  s.client.setActive(true);
  EXPECT_TRUE(s.waitEvent("Error Unable to connect to the Gateway."));
  s.client.Stop();
  EXPECT_FALSE(s.client.Connected());
}

TEST(PortalSession, EncryptionAndSecureKeyAgainstTheGatewaysOptions) {
  gateway::CoreConfig forced;
  forced.encryptionKey = 16;
  forced.forceEncryption = true;
  forced.secureKey = "K3y!";
  {
    ScriptedGateway gw(forced);
    Session s(gw);
    s.client.setDataEncrypt(16);
    s.client.setDataForceEncrypt(true);
    s.client.setDataSecureKey("K3y!");
    EXPECT_EQ(s.client.DataEncrypt(), 16);
    s.client.setUserVisible(true);
    s.client.setActive(true);
    ASSERT_TRUE(s.waitEvent("Start"));
    s.client.setActive(false);
  }
  {
    ScriptedGateway gw(forced);
    Session s(gw);
    s.client.setDataEncrypt(16);
    s.client.setDataSecureKey("wrong");
    s.client.setUserVisible(true);
    s.client.setActive(true);
    EXPECT_TRUE(s.waitEvent("Error Invalid Encryption/Secure Key."));
    EXPECT_FALSE(s.client.Active());
  }
  {
    ScriptedGateway gw(forced);
    Session s(gw);
    s.client.setUserVisible(true);
    s.client.setActive(true);
    EXPECT_TRUE(s.waitEvent("Error Gateway requires Encryption."));
  }
}

}  // namespace
}  // namespace vtx

namespace vtx {
namespace {

TEST(PortalSessionThreads, AutoSyncEventsRunHandlersOnTheMainLoop) {
  testing::ScriptedGateway gw;
  RunLoop loop;
  SetMainLoop(&loop);
  std::atomic<int> offMain{0}, events{0};
  {
    auto check = [&] {
      ++events;
      if (!loop.isMainThread()) ++offMain;
    };
    FixedSystemInfo sys{"PC", "u", ""};
    TRtcHttpPortalClient client(&sys);
    client.setGateAddr("127.0.0.1");
    client.setGatePort(gw.port());
    client.setMultiThreaded(true);
    client.setAutoSyncEvents(true);
    client.setUserVisible(true);
    client.setLoginUserName("ana");
    client.OnLogIn = [&](TAbsPortalClient&) { check(); };
    client.OnStart = [&](TAbsPortalClient&, TRtcValue&) {
      check();
      loop.quit();
    };
    client.OnEventNotification = [&](TRtcConnection*, bool, const std::string&, const std::string&,
                                     TRtcPortalComponent*, TRtcValue*, bool&) { check(); };
    client.setActive(true);
    loop.run();
    EXPECT_GE(events, 4);
    EXPECT_EQ(offMain, 0);
    EXPECT_EQ(gw.callOf("Login")->asString("IP"), "");  // no address: no comma either
    client.setActive(false);
  }
  SetMainLoop(nullptr);
}

TEST(PortalSessionThreads, StoppingALiveSessionRaisesNoError) {
  testing::ScriptedGateway gw;
  std::atomic<int> errors{0};
  FixedSystemInfo sys{"PC", "u", "1.1.1.1"};
  std::atomic<bool> started{false};
  TRtcHttpPortalClient client(&sys);
  client.setGateAddr("127.0.0.1");
  client.setGatePort(gw.port());
  client.setMultiThreaded(true);
  client.setUserVisible(true);
  client.setLoginUserName("ana");
  client.OnStart = [&](TAbsPortalClient&, TRtcValue&) { started = true; };
  client.OnError = [&](TAbsPortalClient&, const std::string&) { ++errors; };
  client.setActive(true);
  ASSERT_TRUE(gw.waitUntil([&] { return started && gw.count("Get") >= 1; }));
  client.Stop();
  EXPECT_FALSE(client.Connected());
  client.setActive(false);
  EXPECT_EQ(errors, 0);
}

}  // namespace
}  // namespace vtx

namespace vtx {
namespace {

TEST(PortalSettings, GatewaySettingsReachBothConnectionsAndChannels) {
  FixedSystemInfo sys{"PC", "u", ""};
  TRtcHttpPortalClient c(&sys);
  c.setGateAddr("gate.example");
  c.setGatePort("1025");
  EXPECT_EQ(c.PutConnection().ServerAddr, "gate.example");
  EXPECT_EQ(c.GetConnection().ServerPort, "1025");
  EXPECT_EQ(c.ClientModule().ModuleHost(), "GATE.EXAMPLE");
  EXPECT_EQ(c.ClientModule().ModuleFileName(), "/$rdgate");
  c.setGate_ISAPI("  /portal ");
  EXPECT_EQ(c.Gate_ISAPI(), "/portal");
  EXPECT_EQ(c.ClientModule().ModuleFileName(), "/portal/gate");
  c.setGate_ISAPI("");
  EXPECT_EQ(c.ClientModule().ModuleFileName(), "/$rdgate");
  c.setGate_Timeout(12);
  EXPECT_EQ(c.GetConnection().Timeout.AfterConnecting, 12);
  EXPECT_EQ(c.PutConnection().Timeout.AfterConnecting, 12);
  TRtcTimeoutsOfAPI t;
  t.ConnectTimeout = 5000;
  c.setTimeoutsOfAP_Put(t);
  EXPECT_EQ(c.PutConnection().TimeoutsOfAPI.ConnectTimeout, 5000u);
  EXPECT_EQ(c.GetConnection().TimeoutsOfAPI.ConnectTimeout, 0u);
  c.setMultiThreaded(true);
  EXPECT_TRUE(c.GetConnection().MultiThreaded() && c.PutConnection().MultiThreaded());
  EXPECT_THROW(c.setGate_Proxy(true), ERtcConnection);
  EXPECT_THROW(c.setGate_ProxyAddr("proxy:8080"), ERtcConnection);
  EXPECT_EQ(c.Gate_ProxyAddr(), "proxy:8080");  // kept, though it cannot be used here
  EXPECT_FALSE(c.Connected());
  c.setDataCompress(TrtcpCompressLevel::rtcpCompFast);
  EXPECT_EQ(c.DataCompress(), TrtcpCompressLevel::rtcpCompFast);
}

TEST(PortalSettings, ConnectionStatesAreReportedPerChannel) {
  testing::ScriptedGateway gw;
  std::mutex lock;  // before the client: its threads report here until it is gone
  std::vector<TRtcPHttpConnStatus> get, put;
  FixedSystemInfo sys{"PC", "u", ""};
  TRtcHttpPortalClient c(&sys);
  c.OnStatusGet = [&](TAbsPortalClient&, TRtcPHttpConnStatus s) {
    std::lock_guard g(lock);
    get.push_back(s);
  };
  c.OnStatusPut = [&](TAbsPortalClient&, TRtcPHttpConnStatus s) {
    std::lock_guard g(lock);
    put.push_back(s);
  };
  c.setGateAddr("127.0.0.1");
  c.setGatePort(gw.port());
  c.setMultiThreaded(true);
  c.setUserVisible(true);
  c.setLoginUserName("ana");
  c.setActive(true);
  ASSERT_TRUE(gw.waitUntil([&] { return gw.count("Get") >= 1; }));
  c.SendPing(nullptr);
  ASSERT_TRUE(gw.waitUntil([&] { return gw.count("Put") >= 1; }));
  c.setActive(false);
  ASSERT_TRUE(gw.waitUntil([&] { return !c.Connected(); }));
  auto seen = [&](const std::vector<TRtcPHttpConnStatus>& v, TRtcPHttpConnStatus s) {
    std::lock_guard g(lock);
    return std::find(v.begin(), v.end(), s) != v.end();
  };
  for (auto* v : {&get, &put}) {
    EXPECT_TRUE(seen(*v, TRtcPHttpConnStatus::rtccOpen));
    EXPECT_TRUE(seen(*v, TRtcPHttpConnStatus::rtccSending));
    EXPECT_TRUE(seen(*v, TRtcPHttpConnStatus::rtccReceiving));
  }
  EXPECT_TRUE(gw.waitUntil([&] { return seen(get, TRtcPHttpConnStatus::rtccClosed); }));
}

}  // namespace
}  // namespace vtx

namespace vtx {
namespace {

TEST(PortalSessionThreads, PingTimerKeepsThePutChannelGoing) {
  testing::ScriptedGateway gw;
  FixedSystemInfo sys{"PC", "u", ""};
  TRtcHttpPortalClient c(&sys);
  c.setGateAddr("127.0.0.1");
  c.setGatePort(gw.port());
  c.setMultiThreaded(true);
  c.setUserVisible(true);
  c.setLoginUserName("ana");
  c.setPingGatewayIntervalInSec(1);
  EXPECT_EQ(c.PingGatewayIntervalInSec(), 1);
  c.setActive(true);
  ASSERT_TRUE(gw.waitUntil([&] { return gw.count("Put") >= 1; }));  // nothing else sends
  EXPECT_EQ(gw.callOf("Put")->asDataSet("p")->RowCount(), 0);
  c.setActive(false);
}

}  // namespace
}  // namespace vtx
