// The module framework (access test, events, gateway parameters, adapter registry), the chat
// module with its adapter and the custom command module, driven through a recording client.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module_test_support.h"
#include "portal/custom_command.h"
#include "portal/payload.h"
#include "portal/portal_chat.h"
#include "portal/portal_chat_ui.h"
#include "portal_test_support.h"
#include "util/exceptions.h"

namespace vtx {
namespace {

using testing::FakeClient;
using testing::Fn;

// Exposes the framework's protected helpers.
class ProbeModule : public TRtcPModule {
 public:
  using TRtcPModule::AccessAllowed;
  using TRtcPModule::isSubscriber;
  using TRtcPModule::QueryAccess;
  using TRtcPModule::ReadGwParam;
  using TRtcPModule::setSubscriber;
  void setOnQueryAccess(decltype(FOnQueryAccess) e) { FOnQueryAccess = std::move(e); }
  void UnlinkModule(TRtcPModule* m) override {
    unlinked.push_back(m);
    m->RemModule(this);
  }
  std::vector<TRtcPModule*> unlinked;
};

// Every event the client dispatches (after its handler), one line each.
std::vector<std::string>& Record(TAbsPortalClient& c, std::vector<std::string>& out) {
  c.AddNotificationHandler([&out](TRtcConnection*, bool before, const std::string& ev,
                                  const std::string&, TRtcPortalComponent*, TRtcValue* d, bool&) {
    if (before) return;
    std::string line = ev;
    if (d && d->isType() == rtc_Text) line += " " + Utf8Encode(d->asText());
    if (d && d->isType() == rtc_Record) {
      TRtcRecord& r = *d->asRecord();
      for (int i = 0; i < r.FieldCount(); ++i) line += " " + Utf8Encode(r.asText(r.FieldName(i)));
    }
    out.push_back(line);
  });
  return out;
}

std::unique_ptr<TRtcFunctionInfo> Msg(const std::string& s, const char* user = nullptr) {
  auto f = Fn(u"msg");
  f->setAsText("s", Utf8Decode(s));
  if (user) f->setAsText("user", Utf8Decode(user));
  return f;
}

// ---- Framework ----

TEST(PortalModule, AttachingTwiceChangesNothingAndAnotherClientMovesIt) {
  FakeClient a, b;
  ProbeModule m;
  m.setClient(&a);
  m.setClient(&a);
  EXPECT_EQ(a.Modules().size(), 1u);
  m.setClient(&b);
  EXPECT_TRUE(a.Modules().empty());
  EXPECT_EQ(b.Modules().size(), 1u);
  {
    ProbeModule dependent;
    m.AddModule(&dependent);
    // Destroying a module with a dependent asks it to unlink first.
    auto owner = std::make_unique<ProbeModule>();
    owner->setClient(&b);
    owner->AddModule(&dependent);
    owner.reset();
    EXPECT_EQ(dependent.unlinked.size(), 1u);
    EXPECT_EQ(b.Modules().size(), 1u);
    m.RemModule(&dependent);
  }
}

TEST(PortalModule, SubscribersCountOnlyRealChanges) {
  ProbeModule m;
  EXPECT_TRUE(m.setSubscriber("ann", true));
  EXPECT_FALSE(m.setSubscriber("ann", true));
  EXPECT_TRUE(m.setSubscriber("bob", true));
  EXPECT_TRUE(m.HasActiveSubscribers());
  EXPECT_TRUE(m.setSubscriber("ann", false));
  EXPECT_FALSE(m.setSubscriber("ann", false));
  EXPECT_TRUE(m.setSubscriber("bob", false));
  EXPECT_FALSE(m.HasActiveSubscribers());
  EXPECT_FALSE(m.isSubscriber("bob"));
}

TEST(PortalModule, AccessTestFollowsFlagsAndTheClientsLists) {
  FakeClient c;
  ProbeModule m;
  EXPECT_FALSE(m.AccessAllowed(true, true, true, "ann"));  // no client
  EXPECT_TRUE(m.AccessAllowed(false, false, false, "ann"));
  m.setClient(&c);
  EXPECT_TRUE(m.AccessAllowed(true, true, false, "ann"));  // everybody listed while unrestricted
  c.setGRestrictAccess(true);
  c.setGUsers({"ann"});
  c.setGSuperUsers({"root"});
  EXPECT_TRUE(m.AccessAllowed(true, true, false, "ANN"));
  EXPECT_FALSE(m.AccessAllowed(true, true, false, "bob"));
  EXPECT_FALSE(m.AccessAllowed(true, true, false, "root"));
  EXPECT_TRUE(m.AccessAllowed(true, false, true, "root"));
  EXPECT_FALSE(m.AccessAllowed(true, false, true, "ann"));
  EXPECT_TRUE(m.AccessAllowed(false, false, false, "bob"));
}

TEST(PortalModule, QueryAccessReadsTheNameOrTheHandlersAnswer) {
  FakeClient c;
  ProbeModule m;
  m.setClient(&c);
  EXPECT_TRUE(m.QueryAccess(nullptr, "ann"));
  EXPECT_FALSE(m.QueryAccess(nullptr, "no"));
  EXPECT_FALSE(m.QueryAccess(nullptr, "False"));
  EXPECT_FALSE(m.QueryAccess(nullptr, ""));
  std::vector<std::string> asked;
  m.setOnQueryAccess([&](TRtcPModule&, const std::string& u, bool& allow) {
    asked.push_back(u);
    allow = u == "no";
  });
  EXPECT_FALSE(m.QueryAccess(nullptr, "ann"));
  EXPECT_TRUE(m.QueryAccess(nullptr, "no"));
  EXPECT_EQ(asked, (std::vector<std::string>{"ann", "no"}));
}

TEST(PortalModule, GatewayParametersNeedTwoFieldsAndNoNamesAreNegated) {
  TRtcValue one;
  one.NewRecord().setAsBoolean("NoChat", true);
  bool v = true;
  EXPECT_FALSE(ProbeModule::ReadGwParam(one, "NoChat", v));
  TRtcValue two;
  two.NewRecord().setAsBoolean("nochat", true);
  two.asRecord()->setAsBoolean("View", false);
  EXPECT_TRUE(ProbeModule::ReadGwParam(two, "NoChat", v));
  EXPECT_FALSE(v);
  EXPECT_TRUE(ProbeModule::ReadGwParam(two, "View", v));
  EXPECT_FALSE(v);
  EXPECT_FALSE(ProbeModule::ReadGwParam(two, "NoSuperChat", v));

  FakeClient c;
  TRtcPChat chat;
  chat.setClient(&c);
  chat.setGAllowJoin(false);  // GwStoreParams off: nothing stored, nothing read
  EXPECT_TRUE(c.calls.empty());
  c.params(two);
  EXPECT_FALSE(chat.GAllowJoin());
  chat.setGwStoreParams(true);
  chat.setGAllowJoin(true);
  chat.setGAllowJoin_Super(false);
  EXPECT_EQ(c.calls,
            (std::vector<std::string>{"ParamSet NoChat B=;", "ParamSet NoSuperChat B=T;"}));
  c.params(one);  // one field: unchanged
  EXPECT_TRUE(chat.GAllowJoin());
  c.params(two);
  EXPECT_FALSE(chat.GAllowJoin());
  EXPECT_FALSE(chat.GAllowJoin_Super());
}

// ---- Adapter registry ----

TEST(ChatAdapter, LinkingNeedsANameAndOneAdapterPerRoom) {
  FakeClient c;
  TRtcPChat chat;
  chat.setClient(&c);
  TRtcPChatUI first, second;
  try {
    first.setModule(&chat);
    FAIL();
  } catch (const ERtcInfo& e) {
    EXPECT_STREQ(e.what(), "Set \"UserName\" before linking to RtcPChat");
  }
  first.setUserName("ann");
  first.setModule(&chat);
  try {
    first.setUserName("");
    FAIL();
  } catch (const ERtcInfo& e) {
    EXPECT_STREQ(e.what(), "Can not clear \"UserName\" while linked to RtcPChat");
  }
  second.setUserName("ann");
  second.setModule(&chat);
  EXPECT_EQ(first.Module(), nullptr);
  EXPECT_EQ(second.Module(), &chat);

  // Renaming re-registers: news of the new room reach it, of the old one not.
  int messages = 0;
  second.OnMessage = [&](TRtcPChatUI&) { ++messages; };
  second.setUserName("bob");
  c.joinedOther("chat", "bob");
  c.data("bob", *Msg("hi"));
  c.joinedOther("chat", "ann");
  c.data("ann", *Msg("hi"));
  EXPECT_EQ(messages, 1);
  EXPECT_EQ(second.Recv_User(), "bob");
  EXPECT_EQ(second.Recv_Message(), "hi");
}

TEST(ChatAdapter, CloseAndClearUnlinksAtOnceOrWhenItsLastUseEnds) {
  FakeClient c;
  auto chat = std::make_unique<TRtcPChat>();
  chat->setClient(&c);
  TRtcPChatUI ui;
  ui.setUserName("bob");
  ui.setModule(chat.get());
  EXPECT_TRUE(ui.CloseAndClear());
  EXPECT_EQ(ui.Module(), nullptr);
  EXPECT_EQ(c.calls.back(), "Leave bob chat");

  // Cleared from inside its own event: unlinked with a LogOut hook once the event returns.
  ui.setModule(chat.get());
  bool result = true;
  int logouts = 0;
  ui.OnMessage = [&](TRtcPChatUI& self) { result = self.CloseAndClear(); };
  ui.OnLogOut = [&](TRtcPChatUI&) { ++logouts; };
  c.joinedOther("chat", "bob");
  c.data("bob", *Msg("bye"));
  EXPECT_FALSE(result);
  EXPECT_EQ(logouts, 1);
  EXPECT_EQ(ui.Module(), nullptr);

  // A destroyed adapter is no longer called: the room's news find none.
  auto gone = std::make_unique<TRtcPChatUI>();
  gone->setUserName("bob");
  gone->setModule(chat.get());
  gone.reset();
  c.data("bob", *Msg("after"));

  // Destroying the module unlinks what is still registered.
  TRtcPChatUI other;
  other.setUserName("ann");
  other.setModule(chat.get());
  chat.reset();
  EXPECT_EQ(other.Module(), nullptr);
}

TEST(ChatAdapter, CountsOpenNoticesAndRaisesItsEventsThroughTheModule) {
  FakeClient c;
  std::vector<std::string> events;
  Record(c, events);
  TRtcPChat chat;
  chat.setClient(&c);
  chat.setBeTheHost(true);
  TRtcPChatUI ui;
  chat.OnNewUI = [&](TRtcPChat& m, const std::string& user) {
    ui.setUserName(user);
    ui.setModule(&m);
  };
  int opens = 0, closes = 0;
  ui.OnOpen = [&](TRtcPChatUI&) { ++opens; };
  ui.OnClose = [&](TRtcPChatUI&) { ++closes; };
  c.data("ann", *Fn(u"chat"));
  EXPECT_EQ(ui.UserName(), "host");
  c.joinedMine("chat", "ann");
  c.joinedMine("chat", "bob");
  EXPECT_TRUE(ui.Active());
  c.leftMine("chat", "ann");
  c.leftMine("chat", "bob");
  EXPECT_FALSE(ui.Active());
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(closes, 1);
  EXPECT_NE(std::find(events.begin(), events.end(), "Open"), events.end());
  EXPECT_NE(std::find(events.begin(), events.end(), "UserJoined"), events.end());
  ui.setActive(true);  // host mode: invites the room's user
  EXPECT_EQ(c.calls.back(), "Add host chat");
}

// ---- Chat ----

class ChatHost : public ::testing::Test {
 protected:
  void SetUp() override {
    Record(client, events);
    chat.setClient(&client);
    chat.setBeTheHost(true);
    chat.On_ChatMessageLine = [this](TRtcPChat&, const std::string& room, const std::string& user,
                                     const std::string& line) {
      lines.push_back(room + "/" + user + ": " + line);
    };
  }
  FakeClient client;
  TRtcPChat chat;
  std::vector<std::string> events, lines;
};

TEST_F(ChatHost, AMemberJoinsTalksThroughTheRelayAndLeaves) {
  client.data("ann", *Fn(u"chat"));
  EXPECT_EQ(client.calls, (std::vector<std::string>{"Add ann chat"}));
  client.joinedMine("chat", "ann");
  EXPECT_EQ(chat.MemberCount(), 1);
  ASSERT_EQ(client.sent.size(), 1u);
  EXPECT_EQ(client.sent[0].to, "group:chat");
  EXPECT_EQ(client.sent[0].text("add"), "ann");

  client.data("ann", *Msg("a"));
  client.data("ann", *Msg("b"));
  client.data("ann", *Msg("c\r"));
  ASSERT_EQ(client.sent.size(), 4u);
  EXPECT_EQ(client.sent[3].to, "group:chat");
  EXPECT_EQ(client.sent[3].text("s"), "c\r");
  EXPECT_EQ(client.sent[3].text("user"), "ann");
  EXPECT_EQ(lines, (std::vector<std::string>{"host/ann: abc\r"}));

  client.leftMine("chat", "ann");
  EXPECT_EQ(client.sent.back().text("rem"), "ann");
  EXPECT_EQ(chat.MemberCount(), 0);
  EXPECT_EQ(events,
            (std::vector<std::string>{"QueryAccess ann", "ChatInit host", "NewUI host",
                                      "NewUser ann", "ChatOpen host", "ChatUserJoined host ann",
                                      "ChatMessage host ann a", "ChatMessage host ann b",
                                      "ChatMessage host ann c\r", "ChatMessageLine host ann abc\r",
                                      "ChatUserLeft host ann", "ChatClose host", "OldUser ann"}));
}

TEST_F(ChatHost, JoinRequestsPassTheAccessTestAndQueryAccess) {
  client.data("no", *Fn(u"chat"));  // the name reads as false
  client.setGRestrictAccess(true);
  client.setGUsers({"ann"});
  client.data("bob", *Fn(u"chat"));
  EXPECT_TRUE(client.calls.empty());
  client.data("ann", *Fn(u"chat"));
  EXPECT_EQ(client.calls, (std::vector<std::string>{"Add ann chat"}));
  // A message from someone neither subscribed nor allowed is dropped silently.
  client.data("bob", *Msg("hello"));
  EXPECT_TRUE(std::none_of(events.begin(), events.end(),
                           [](const std::string& e) { return e.rfind("ChatMessage", 0) == 0; }));
}

TEST_F(ChatHost, OwnLinesGoToTheRoomAndCloseDependsOnWhoIsNamed) {
  client.joinedMine("chat", "ann");
  chat.Send("host", "x");
  chat.Send("host", "y\r");
  chat.Send("ann", "private");
  EXPECT_EQ(client.sent[1].to, "group:chat");
  EXPECT_EQ(client.sent[3].to, "ann");
  EXPECT_EQ(lines, (std::vector<std::string>{"host/host: xy\r"}));
  try {
    chat.Send("host", "");
    FAIL();
  } catch (const ERtcInfo& e) {
    EXPECT_STREQ(e.what(), "Assertion failure");
  }
  chat.Close("ann");
  chat.Close("carl");
  chat.Close("HOST");
  EXPECT_EQ(client.calls,
            (std::vector<std::string>{"Remove ann chat", "Leave carl chat", "Disband chat"}));
  EXPECT_EQ(chat.MemberCount(), 0);
}

TEST_F(ChatHost, ADisbandedRoomClosesOnceWhenTheLastMemberIsGone) {
  client.joinedMine("chat", "ann");
  client.joinedMine("chat", "bob");
  chat.Close("host");
  client.leftMine("chat", "ann");
  client.leftMine("chat", "bob");
  EXPECT_EQ(std::count(events.begin(), events.end(), "ChatClose host"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "ChatOpen host"), 1);
  client.joinedMine("chat", "ann");  // a new room opens again
  EXPECT_EQ(std::count(events.begin(), events.end(), "ChatOpen host"), 2);
}

TEST_F(ChatHost, BadItemsAreDroppedAndTheRestOfTheBatchGoesOn) {
  client.joinedMine("chat", "ann");
  auto noText = Fn(u"msg");
  auto wrongKind = Fn(u"msg");
  wrongKind->NewRecord("s").setAsText("x", u"y");
  auto chatKind = Fn(u"chat");
  chatKind->setAsInteger("add", 5);
  client.data("ann", *noText);
  client.data("ann", *Msg(""));
  client.data("ann", *wrongKind);
  client.data("ann", *chatKind);
  client.data("ann", *Msg(std::string(200000, 'z') + "\r"));
  client.data("ann", *Msg("after\r"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), std::string("host/ann: ").size() + 200001);
  EXPECT_EQ(lines[1], "host/ann: after\r");
}

TEST_F(ChatHost, ALineThatNeverEndsIsHandedOnInParts) {
  client.joinedMine("chat", "ann");
  const std::string piece(TRtcPChat::kMaxLineBuffer / 2 + 1, 'q');
  client.data("ann", *Msg(piece));
  client.data("ann", *Msg(piece));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "host/ann: " + piece);
}

TEST(ChatMember, OpenAsksTheHostAndTheRoomsNoticesAndLinesArrive) {
  FakeClient c;
  c.setLoginUserName("analyst");
  std::vector<std::string> events;
  Record(c, events);
  TRtcPChat chat;
  chat.setClient(&c);
  chat.Open("host");
  ASSERT_EQ(c.sent.size(), 1u);
  EXPECT_EQ(c.sent[0].to, "host");
  EXPECT_EQ(c.sent[0].name(), "chat");
  EXPECT_EQ(c.sent[0].fn->FieldCount(), 0);
  EXPECT_TRUE(c.calls.empty());

  c.joinedOther("chat", "host");
  auto add = Fn(u"chat");
  add->setAsText("add", u"other");
  c.data("host", *add);
  auto rem = Fn(u"chat");
  rem->setAsText("rem", u"other");
  c.data("host", *rem);
  c.data("host", *Msg("hi", "other"));
  c.data("host", *Msg("hello"));
  chat.Send("host", "mine\r");  // a member's own lines come back through the relay
  c.leftOther("chat", "host");
  EXPECT_EQ(events, (std::vector<std::string>{
                        "QueryAccess host", "NewUser host", "ChatOpen host",
                        "ChatUserJoined host other", "ChatUserLeft host other",
                        "ChatMessage host other hi", "ChatMessage host host hello",
                        "ChatMessageSent analyst host mine\r", "ChatClose host", "OldUser host"}));

  // A host refused by the access test is left at once.
  c.setGRestrictAccess(true);
  c.joinedOther("chat", "stranger");
  EXPECT_EQ(c.calls.back(), "Leave stranger chat");
}

// ---- Custom command ----

TEST(CustomCommand, CommandsFromAnyoneAndGroupChanges) {
  FakeClient c;
  std::vector<std::string> events;
  Record(c, events);
  TRtcPCustomCommand cmd;
  cmd.setClient(&c);
  std::vector<std::string> got;
  cmd.OnMessageReceived = [&](TRtcPCustomCommand&, const std::string& u, const std::string& m) {
    got.push_back(u + ": " + m);
  };
  cmd.OnConnectionEvent = [&](TRtcPCustomCommand&, TEventType t, const std::string& u) {
    got.push_back(std::string(t == TEventType::etConnect ? "connect " : "disconnect ") + u);
  };
  auto command = Fn(u"custom-command");
  command->setAsText("msg", u"<CLOSE_HOST>");
  c.data("stranger", *command);
  c.data("stranger", *Fn(u"custom-command-open"));
  EXPECT_TRUE(c.calls.empty());
  c.data("stranger", *Fn(u"custom-command"));  // no text: dropped
  c.joinedMine("custom-command", "ann");
  c.joinedMine("custom-command", "ann");
  c.data("ann", *Fn(u"custom-command-open"));
  cmd.Open("ann");
  cmd.Open("bob");
  c.leftMine("custom-command", "ann");
  c.joinedOther("custom-command", "boss");
  c.leftOther("custom-command", "boss");
  EXPECT_EQ(got, (std::vector<std::string>{"stranger: <CLOSE_HOST>", "connect ann",
                                           "disconnect ann", "connect boss", "disconnect boss"}));
  EXPECT_EQ(c.calls,
            (std::vector<std::string>{"Add ann custom-command", "Add ann custom-command"}));
  EXPECT_EQ(c.sent.back().to, "bob");
  EXPECT_EQ(c.sent.back().name(), "custom-command-open");
  EXPECT_EQ(events[0], "msg stranger <CLOSE_HOST>");
  EXPECT_EQ(events[1], "Con ann 0");
  cmd.SendCustomMessage("ann", "ping");
  EXPECT_EQ(c.sent.back().text("msg"), "ping");
}

// ---- All three on one client ----

TEST(PortalModules, EachModuleIgnoresWhatIsNotItsOwnInOneRealBatch) {
  auto probe = std::make_unique<testing::ProbeClient>();
  testing::ProbeClient& client = *probe;
  client.setLoginUserName("host");
  std::vector<std::string> events;
  Record(client, events);
  TRtcPChat chat;
  chat.setBeTheHost(true);
  TRtcPCustomCommand cmd;
  testing::RecordingModule other;  // stands for the file and desktop modules
  chat.setClient(&client);
  cmd.setClient(&client);
  other.setClient(&client);
  std::vector<std::string> commands;
  cmd.OnMessageReceived = [&](TRtcPCustomCommand&, const std::string& u, const std::string& m) {
    commands.push_back(u + ": " + m);
  };

  auto packed = [](std::unique_ptr<TRtcFunctionInfo> f) {
    return CompressPayload(f->toCode(), TrtcpCompressLevel::rtcpCompFast);
  };
  auto notice = [](TRtcArray& a, int i, const char* group, const char* user) {
    TRtcRecord& r = a.NewRecord(i);
    r.setAsText("fn", Widen(group));
    r.setAsText("user", Widen(user));
    r.setAsBoolean("on", true);
  };
  TRtcRecord batch;
  TRtcArray& mine = batch.NewArray("host");
  notice(mine, 0, "desk", "ann");
  notice(mine, 1, "file", "ann");
  notice(mine, 2, "chat", "ann");
  TRtcArray& ann = batch.NewArray("ann");
  auto deskFn = Fn(u"desk");
  deskFn->setAsText("s", u"not a chat line");
  deskFn->setAsText("msg", u"not a command");
  ann.setAsString(0, packed(std::move(deskFn)));
  ann.setAsString(1, packed(Msg("")));  // refused piece: dropped alone
  ann.setAsString(2, packed(Msg("hello\r")));
  auto command = Fn(u"custom-command");
  command->setAsText("msg", u"<INBOX>");
  ann.setAsString(3, packed(std::move(command)));
  notice(ann, 4, "custom-command", "host");
  client.DispatchBatch(nullptr, batch);

  EXPECT_EQ(commands, (std::vector<std::string>{"ann: <INBOX>"}));
  EXPECT_EQ(chat.MemberCount(), 1);
  EXPECT_EQ(cmd.MemberCount(), 0);
  const auto count = [&](const std::string& prefix) {
    return std::count_if(events.begin(), events.end(),
                         [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
  };
  EXPECT_EQ(count("ChatMessage host ann"), 1);
  EXPECT_EQ(count("ChatMessageLine"), 1);
  EXPECT_EQ(count("ChatUserJoined"), 1);
  EXPECT_EQ(count("NewUser"), 1);
  EXPECT_EQ(count("Con"), 1);  // only the custom-command group it was taken into
  // The other module saw every item, its own and the others'.
  const auto calls = other.calls();
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                          [](const std::string& s) { return s.rfind("Data ann", 0) == 0; }),
            4);
}

}  // namespace
}  // namespace vtx
