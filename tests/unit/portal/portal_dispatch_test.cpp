// What a "Get" batch does to the modules and events, the event notifications, the access
// lists and the module registry.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "portal/outgoing_queue.h"
#include "portal/portal_log.h"
#include "portal_test_support.h"
#include "util/log.h"

namespace vtx {
namespace {

namespace fs = std::filesystem;
using testing::fn;
using testing::ProbeClient;
using testing::RecordingModule;

std::string packed(const TRtcValueObject& v) {
  return CompressPayload(v.toCode(), TrtcpCompressLevel::rtcpCompFast);
}

class PortalDispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    client.setLoginUserName("me");
    a.setClient(&client);
    b.setClient(&client);
    client.OnUserLoggedIn = [this](TAbsPortalClient&, const std::string& u) {
      events.push_back("UserLoggedIn " + u);
    };
    client.OnUserLoggedOut = [this](TAbsPortalClient&, const std::string& u) {
      events.push_back("UserLoggedOut " + u);
    };
    client.On_UserJoinedMyGroup = [this](TAbsPortalClient&, const std::string& g,
                                         const std::string& u) {
      events.push_back("UserJoinedMyGroup " + g + " " + u);
    };
    client.On_JoinedUsersGroup = [this](TAbsPortalClient&, const std::string& g,
                                        const std::string& u) {
      events.push_back("JoinedUsersGroup " + g + " " + u);
    };
  }
  ProbeClient client;
  RecordingModule a, b;
  std::vector<std::string> events;
};

TEST_F(PortalDispatch, ItemsOfEveryKindReachModulesAndEvents) {
  TRtcRecord batch;
  TRtcArray& bob = batch.NewArray("bob");
  TRtcRecord& login = bob.NewRecord(0);
  login.setAsBoolean("isLogin", true);
  login.NewRecord("userinfo").setAsText("info_username", u"Bob B");
  bob.setAsBoolean(1, true);  // already known: no second notice
  TRtcArray msgs;
  msgs.SetObject(0, fn(u"chat", 1));
  msgs.setAsInteger(1, 7);  // not a function: dropped
  msgs.SetObject(2, fn(u"file", 2));
  bob.setAsString(2, packed(msgs));
  bob.setAsString(3, packed(*fn(u"desk")));
  bob.setAsString(4, "junk, not a zlib stream");
  bob.setAsInteger(5, 42);
  bob.setAsBoolean(6, false);
  TRtcArray& me = batch.NewArray("ME");  // our own name, other case
  TRtcRecord& joined = me.NewRecord(0);
  joined.setAsBoolean("on", true);
  joined.setAsText("fn", u"chat");
  joined.setAsText("user", u"ann");
  joined.NewRecord("userinfo").setAsText("info_ip", u"1.2.3.4,");
  TRtcRecord& neither = me.NewRecord(1);
  neither.setAsText("fn", u"chat");
  TRtcArray& owner = batch.NewArray("owner");
  TRtcRecord& added = owner.NewRecord(0);
  added.setAsBoolean("on", true);
  added.setAsText("fn", u"desk");
  added.setAsText("user", u"owner");
  batch.setAsInteger("notAnArray", 1);

  client.DispatchBatch(nullptr, batch);

  const std::vector<std::string> expected = {
      "BatchStart",    "In bob",  "Data bob chat",       "Data bob file",
      "Data bob desk", "Out bob", "JoinedMine chat ann", "JoinedOther desk owner",
      "BatchEnd"};
  EXPECT_EQ(a.calls(), expected);
  EXPECT_EQ(b.calls(), expected);
  EXPECT_EQ(events, (std::vector<std::string>{"UserLoggedIn bob", "UserLoggedOut bob",
                                              "UserJoinedMyGroup chat ann",
                                              "JoinedUsersGroup desk owner"}));
  EXPECT_EQ(client.UserInfos()->asObject("bob"), nullptr);  // bob logged out again
  auto infos = client.SubscriberInfos();
  ASSERT_NE(infos->asRecord("ann"), nullptr);
  EXPECT_EQ(infos->asRecord("ann")->asText("info_ip"), u"1.2.3.4,");
}

TEST_F(PortalDispatch, UserJoiningASecondGroupOfOursReachesEveryModule) {
  // A viewer is moved from one group of ours into another in one batch.
  TRtcRecord batch;
  TRtcArray& me = batch.NewArray("me");
  for (int i = 0; i < 2; ++i) {
    TRtcRecord& joined = me.NewRecord(i);
    joined.setAsBoolean("on", true);
    joined.setAsText("fn", i == 0 ? u"idesk" : u"desk");
    joined.setAsText("user", u"ann");
    joined.NewRecord("userinfo").setAsText("info_ip", i == 0 ? u"1.1.1.1," : u"2.2.2.2,");
  }
  client.DispatchBatch(nullptr, batch);
  EXPECT_EQ(a.calls(), (std::vector<std::string>{"BatchStart", "JoinedMine idesk ann",
                                                 "JoinedMine desk ann", "BatchEnd"}));
  EXPECT_EQ(client.SubscriberInfos()->asRecord("ann")->asText("info_ip"), u"2.2.2.2,");
}

TEST_F(PortalDispatch, KnownUserLoggingInAgainRaisesNothing) {
  TRtcRecord first;
  TRtcRecord& login = first.NewArray("bob").NewRecord(0);
  login.setAsBoolean("isLogin", true);
  login.NewRecord("userinfo");
  client.DispatchBatch(nullptr, first);
  ASSERT_NE(client.UserInfos()->asRecord("bob"), nullptr);
  TRtcRecord again;
  again.NewArray("bob").setAsBoolean(0, true);
  again.NewArray("carl").setAsBoolean(0, true);
  events.clear();
  client.DispatchBatch(nullptr, again);
  EXPECT_EQ(events, (std::vector<std::string>{"UserLoggedIn carl"}));
}

class LogDir {
 public:
  LogDir() : root_(fs::temp_directory_path() / ("vtx-portal-log-" + std::to_string(::getpid()))) {
    fs::remove_all(root_);
    fs::create_directories(root_ / "bin");
    ResetLogForTest();
    SetLogProgramPathForTest(root_ / "bin" / "portal");
    StartLogging();
  }
  ~LogDir() {
    ResetLogForTest();
    fs::remove_all(root_);
  }
  std::string text() const {
    std::ifstream in(root_ / "bin" / "LOG" / "portal.log", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  fs::path root_;
};

TEST_F(PortalDispatch, ModuleFailureEndsTheBatchIsLoggedAndUnlocksTheSender) {
  LogDir log;
  a.throwOnData = true;
  client.setLoggedIn(true);
  TRtcRecord batch;
  batch.NewArray("bob").setAsString(0, packed(*fn(u"chat")));
  batch.NewArray("carl").setAsBoolean(0, true);
  const int asked = b.wantAsked();
  client.DispatchBatch(nullptr, batch);
  EXPECT_EQ(b.calls(), (std::vector<std::string>{"BatchStart"}));  // the batch ended
  EXPECT_NE(log.text().find("GET Exception! ERtcInfo: module failed"), std::string::npos)
      << log.text();
  // The lock was released: with the session logged in a send step ran (and asked the modules).
  EXPECT_GT(b.wantAsked(), asked);
}

TEST_F(PortalDispatch, ErrorsResetModulesAndReachTheirEvents) {
  std::vector<std::string> got;
  client.OnFatalError = [&](TAbsPortalClient&, const std::string& m) { got.push_back("F " + m); };
  client.OnError = [&](TAbsPortalClient&, const std::string& m) { got.push_back("E " + m); };
  a.setSubscriber("ann", true);
  client.setLoggedIn(true);
  client.DispatchError(nullptr, "LOGGED OUT", true, true);
  client.DispatchError(nullptr, "Unable to connect to the Gateway.", false, false);
  EXPECT_FALSE(client.LoggedIn());
  EXPECT_FALSE(a.HasActiveSubscribers());
  EXPECT_EQ(a.calls(), (std::vector<std::string>{"FatalError LOGGED OUT",
                                                 "Error Unable to connect to the Gateway."}));
  EXPECT_EQ(got, (std::vector<std::string>{"F LOGGED OUT", "E Unable to connect to the Gateway."}));
}

TEST(PortalEvents, NotificationsRunInOrderAndCallEventOnlyGuardsTheLaterOnes) {
  ProbeClient client;
  std::vector<std::string> order;
  const uint64_t first = client.AddNotificationHandler(
      [&](TRtcConnection*, bool before, const std::string& ev, const std::string&,
          TRtcPortalComponent* obj, TRtcValue*, bool& callEvent) {
        order.push_back(std::string(before ? "1 before " : "1 after ") + ev);
        EXPECT_TRUE(callEvent);
        EXPECT_EQ(obj, &client);
        if (!before) callEvent = false;
      });
  bool firstThere = true;
  client.AddNotificationHandler([&](TRtcConnection*, bool before, const std::string& ev,
                                    const std::string&, TRtcPortalComponent*, TRtcValue*,
                                    bool& callEvent) {
    order.push_back(std::string(before ? "2 before " : "2 after ") + ev);
    if (firstThere) {
      EXPECT_EQ(callEvent, before);  // shared with the first handler
    }
  });
  client.OnEventNotification = [&](TRtcConnection*, bool before, const std::string& ev,
                                   const std::string& uname, TRtcPortalComponent*, TRtcValue*,
                                   bool&) {
    order.push_back(std::string(before ? "own before " : "own after ") + ev + " " + uname);
  };
  client.setLoginUserName("me");
  client.CallEvent(nullptr, "Ping", true, [&] { order.push_back("event"); });
  EXPECT_EQ(order, (std::vector<std::string>{"1 before Ping", "2 before Ping", "own before Ping me",
                                             "event", "1 after Ping", "2 after Ping"}));
  order.clear();
  client.RemoveNotificationHandler(first);
  firstThere = false;
  client.CallEvent(nullptr, "Ping", false, [&] { order.push_back("event"); });
  EXPECT_EQ(order, (std::vector<std::string>{"2 before Ping", "own before Ping me", "2 after Ping",
                                             "own after Ping me"}));
}

class MemoryLog : public TnxPortalBaseLog {
 public:
  explicit MemoryLog(const SystemInfo* s) : TnxPortalBaseLog(s) {}
  std::vector<TnxPortalLogEntry> entries;

 protected:
  void WriteEvent(const TnxPortalLogEntry& e) override {
    if (e.Text == "boom") throw ERtcInfo("x");
    entries.push_back(e);
  }
};

TEST(PortalEvents, PortalLogRecordsOnlyUnfilteredEventsWithTheirFacts) {
  FixedSystemInfo sys("PC", "ana", "");
  MemoryLog log(&sys);
  ProbeClient client;
  client.setPortalLog(&log);
  RecordingModule m;
  m.setClient(&client);
  TRtcValue data;
  TRtcRecord& rec = data.NewRecord();
  rec.setAsText("user", u"bob");
  rec.setAsText("group", u"chat");
  rec.NewRecord("UserInfo").NewRecord("userinfo").setAsText("info_username", u"Bob B");
  m.CallEvent(nullptr, "UserJoinedMyGroup", true, {}, &data);
  client.CallEvent(nullptr, "Get", true, {}, &data);  // filtered
  ASSERT_EQ(log.entries.size(), 1u);                  // after only: LogBefore is off
  EXPECT_EQ(log.entries[0].Event, "\"UserJoinedMyGroup\"");
  EXPECT_EQ(log.entries[0].Text, "RemoteUserName = bob;Group = chat;");
  EXPECT_EQ(log.entries[0].InfoUserName, "Bob B");
  log.setActive(false);
  EXPECT_FALSE(log.Filtered("Get"));
  log.setLogBefore(true);
  client.CallEvent(nullptr, "Get", true, {}, &data);  // not an event with facts
  EXPECT_EQ(log.entries.size(), 1u);
}

TEST(PortalAccess, ListsStaySortedAndSendTheirDifferences) {
  ProbeClient c;
  EXPECT_TRUE(c.inUserList("anyone"));  // not restricted
  c.setGwStoreParams(true);
  c.setGUsers({"zed", " ann ", "bob", ""});
  EXPECT_EQ(c.GUsers(), (std::vector<std::string>{"", " ann ", "bob", "zed"}));
  ASSERT_EQ(c.params.size(), 3u);
  EXPECT_NE(c.params[0].find("ann"), std::string::npos);
  EXPECT_NE(c.params[0].find("Add AllowUsers"), std::string::npos);
  c.params.clear();
  c.setInUserList("bob", false);
  ASSERT_EQ(c.params.size(), 1u);
  EXPECT_EQ(c.params[0].rfind("Del AllowUsers", 0), 0u);
  EXPECT_NE(c.params[0].find("bob"), std::string::npos);
  c.params.clear();
  c.setGRestrictAccess(true);
  EXPECT_EQ(c.params.size(), 1u);
  EXPECT_TRUE(c.inUserList("ZED"));  // ignoring case
  EXPECT_FALSE(c.inUserList("bob"));
  c.setIsSuperUser("root", true);
  EXPECT_TRUE(c.isSuperUser("Root"));
  EXPECT_EQ(c.gSuperUserCount(), 1);
  EXPECT_EQ(c.gSuperUserName(0), "root");
  EXPECT_EQ(c.gSuperUserName(5), "");
  EXPECT_EQ(c.gUserListName(-1), "");
}

TEST(PortalModules, AttachMoveDetachAndDependents) {
  ProbeClient one, two;
  RecordingModule a, b;
  a.setClient(&one);
  b.setClient(&one);
  a.setClient(&one);  // the same client again changes nothing
  EXPECT_EQ(one.Modules(), (std::vector<TRtcPModule*>{&a, &b}));
  a.setClient(&two);
  EXPECT_EQ(one.Modules(), (std::vector<TRtcPModule*>{&b}));
  EXPECT_EQ(two.Modules(), (std::vector<TRtcPModule*>{&a}));

  TRtcPModuleList list;
  list.Add(&a);
  list.Add(&b);
  list.Add(&a);
  EXPECT_EQ(list.Get(1), &a);
  EXPECT_THROW(list.Get(2), ERtcInfo);
  try {
    list.Get(-1);
  } catch (const ERtcInfo& e) {
    EXPECT_STREQ(e.what(), "TRtcPModuleList.Get returned NIL");
  }
  {
    auto dependent = std::make_unique<RecordingModule>();
    dependent->setClient(&two);
    dependent->AddModule(&a);  // a does not remove itself: dropped anyway
  }
  EXPECT_EQ(two.Modules(), (std::vector<TRtcPModule*>{&a}));
  EXPECT_TRUE(a.setSubscriber("ann", true));
  EXPECT_FALSE(a.setSubscriber("ann", true));
  EXPECT_TRUE(a.isSubscriber("ann"));
  EXPECT_TRUE(a.setSubscriber("ann", false));
  EXPECT_FALSE(a.HasActiveSubscribers());
}

}  // namespace
}  // namespace vtx
