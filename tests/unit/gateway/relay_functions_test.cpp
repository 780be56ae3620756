// The relay's functions behind the request core, driven by the independent protocol client:
// logins and their refusals, a held Get answered later through the session's cipher, stored
// parameters and password changes.
#include "gateway/relay_functions.h"

#include <gtest/gtest.h>

#include "gateway/request_core.h"
#include "protocol_client.h"

namespace vtx::gateway {
namespace {

using testing::ProtocolClient;
using testing::Reply;
using Results = std::vector<std::unique_ptr<TRtcValue>>;

class RelayGateway {
 public:
  RelayGateway()
      : sessions_(std::chrono::hours(1), 100),
        store_(":memory:"),
        relay_(
            RelayConfig{}, [this](const std::string& l) { logs.push_back(l); },
            [this] { return now_; }) {
    AddRelayFunctions(functions_, relay_, store_, AccountConfig{"shared-pw", true, {}});
    core_ = std::make_unique<RequestCore>(CoreConfig{}, functions_, sessions_, random_);
  }

  // A client whose requests may be held: while one is, `whileHeld` runs (it must answer it).
  ProtocolClient client(unsigned seed) {
    return ProtocolClient(
        [this](const std::string& target, const std::string& body) {
          std::optional<GatewayResponse> answer;
          core_->handle(GatewayRequest{"POST", target, {}, body, "127.0.0.1"},
                        [&answer](GatewayResponse r) { answer = std::move(r); });
          if (!answer && whileHeld) {
            ++held;
            auto run = std::move(whileHeld);
            run();
          }
          if (!answer) return Reply{-2, {}, {}};
          return Reply{answer->status, answer->body, answer->sessionId};
        },
        {}, seed);
  }

  // Sends a prepared request without waiting: its answer lands in the slot when it comes (a
  // client that left the connection never reads it).
  std::shared_ptr<std::optional<GatewayResponse>> post(const ProtocolClient::Outgoing& out) {
    auto slot = std::make_shared<std::optional<GatewayResponse>>();
    core_->handle(GatewayRequest{"POST", out.target, {}, out.body, "127.0.0.1"},
                  [slot](GatewayResponse r) { *slot = std::move(r); });
    return slot;
  }

  Relay& relay() { return relay_; }
  UserStore& store() { return store_; }
  void advance(std::chrono::seconds d) { now_ += d; }

  std::function<void()> whileHeld;
  int held = 0;
  std::vector<std::string> logs;  // the relay's lines

 private:
  Clock::time_point now_{};
  FunctionRegistry functions_;
  SessionStore sessions_;
  RandomSource random_;
  UserStore store_;
  Relay relay_;
  std::unique_ptr<RequestCore> core_;
};

TRtcFunctionInfo& loginCall(const char* user, const char* pwd, const char* id) {
  static TRtcFunctionInfo f;
  f.Clear();
  f.setFunctionName(u"Login");
  f.setAsText("user", Widen(user));
  f.setAsText("pwd", Widen(pwd));
  f.setAsString("id", id);
  f.setAsString("UserName", "winuser");
  f.setAsString("IP", "10.0.0.7,");
  f.setAsString("ComputerName", "PC-7");
  f.setAsString("ClientVersion", "3.68");
  f.setAsText("Extra", u"kept");
  return f;
}

// One call, one result.
std::unique_ptr<TRtcValue> call(ProtocolClient& c, const TRtcFunctionInfo& f) {
  Results r;
  EXPECT_EQ(c.call(f, r), 200);
  if (r.size() != 1) {
    ADD_FAILURE() << "results: " << r.size();
    return std::make_unique<TRtcValue>();
  }
  return std::move(r[0]);
}

RtcWideString exceptionText(const TRtcValue& v) {
  return v.isType() == rtc_Exception ? v.asException() : u"(no exception)";
}

TEST(RelayFunctions, LoginsRefuseClearlyAndCallsNeedOne) {
  RelayGateway g;
  auto c = g.client(1);
  ASSERT_EQ(c.handshake(), 200);
  EXPECT_EQ(exceptionText(*call(c, TRtcFunctionInfo(u"Get"))), u"Not logged in.");
  EXPECT_EQ(exceptionText(*call(c, loginCall("ann", "wrong", "id-1"))),
            u"Invalid user name or password.");
  EXPECT_EQ(exceptionText(*call(c, loginCall("  ", "shared-pw", "id-1"))),
            u"Invalid user name or password.");
  auto ok = call(c, loginCall("ann", "shared-pw", "id-1"));
  EXPECT_NE(ok->isType(), rtc_Exception);

  TRtcFunctionInfo put(u"Put");
  put.setAsInteger("x", 1);
  put.setAsText("p", u"not rows");
  EXPECT_EQ(exceptionText(*call(c, put)), u"Put expects a data set \"p\".");
  TRtcFunctionInfo ping(u"Put");
  ping.setAsInteger("x", 2);
  ping.NewDataSet("p");
  EXPECT_EQ(call(c, ping)->isType(), rtc_Boolean);

  TRtcFunctionInfo logout(u"Logout");
  logout.setAsText("user", u"ann");
  logout.setAsText("pwd", u"shared-pw");
  EXPECT_EQ(call(c, logout)->isType(), rtc_Boolean);
  EXPECT_EQ(exceptionText(*call(c, TRtcFunctionInfo(u"Get"))), u"Not logged in.");
  TRtcFunctionInfo relogin(u"ReLogin");
  relogin.setAsText("user", u"ann");
  relogin.setAsText("pwd", u"shared-pw");
  relogin.setAsString("id", "id-1");
  EXPECT_EQ(exceptionText(*call(c, relogin)), u"LOGGED OUT");
}

TEST(RelayFunctions, AHeldGetIsAnsweredThroughTheCipherByAnotherUsersPut) {
  RelayGateway g;
  auto viewer = g.client(2), host = g.client(3);
  ASSERT_EQ(viewer.handshake(), 200);
  ASSERT_EQ(host.handshake(), 200);
  call(viewer, loginCall("viewer", "shared-pw", "v-1"));
  call(host, loginCall("host", "shared-pw", "h-1"));
  TRtcFunctionInfo control(u"Control");
  control.setAsBoolean("on", true);
  EXPECT_EQ(call(viewer, control)->isType(), rtc_Record);
  TRtcFunctionInfo hostOn(u"Host");
  hostOn.setAsBoolean("on", true);
  EXPECT_EQ(call(host, hostOn)->isType(), rtc_Record);

  TRtcFunctionInfo get(u"Get");
  get.setAsInteger("x", 1);
  auto first = call(viewer, get);  // the login notice waits already
  TRtcArray* notices = first->asRecord() ? first->asRecord()->asArray("host") : nullptr;
  ASSERT_NE(notices, nullptr);
  TRtcRecord* info = notices->asRecord(0) ? notices->asRecord(0)->asRecord("userinfo") : nullptr;
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->asText("login"), u"host");
  EXPECT_EQ(info->asText("info_username"), u"winuser");
  EXPECT_EQ(info->asText("info_computername"), u"PC-7");
  EXPECT_EQ(info->asText("info_ip"), u"10.0.0.7,");
  EXPECT_EQ(info->asText("info_version"), u"3.68");
  EXPECT_EQ(info->asText("Extra"), u"kept");
  EXPECT_TRUE(info->isNull("pwd"));

  g.whileHeld = [&] {
    TRtcFunctionInfo put(u"Put");
    put.setAsInteger("x", 2);
    TRtcDataSet& p = put.NewDataSet("p");
    p.Append();
    p.setAsText("to", u"viewer");
    p.setAsString("d", std::string("\x78\x9c\x00\x01", 4));
    EXPECT_EQ(call(host, put)->isType(), rtc_Boolean);
  };
  get.setAsInteger("x", 3);
  auto second = call(viewer, get);  // held, then answered and enciphered in step
  EXPECT_EQ(g.held, 1);
  TRtcArray* data = second->asRecord() ? second->asRecord()->asArray("host") : nullptr;
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->asString(0), std::string("\x78\x9c\x00\x01", 4));
  EXPECT_EQ(call(viewer, control)->isType(), rtc_Record);  // the cipher runs on
}

std::unique_ptr<TRtcFunctionInfo> tickCall(const char16_t* name, int x) {
  auto f = std::make_unique<TRtcFunctionInfo>(name);
  f->setAsInteger("x", x);
  return f;
}

std::unique_ptr<TRtcFunctionInfo> putTo(int x, const char16_t* to, const std::string& d) {
  auto put = tickCall(u"Put", x);
  TRtcDataSet& p = put->NewDataSet("p");
  p.Append();
  p.setAsText("to", to);
  p.setAsString("d", d);
  return put;
}

// The data a Get reply carries from `origin`, in order.
std::vector<std::string> dataFrom(TRtcValue& reply, const char* origin) {
  std::vector<std::string> out;
  TRtcRecord* r = reply.asRecord();
  TRtcArray* a = r ? r->asArray(origin) : nullptr;
  for (int i = 0; a && i < a->Count(); ++i) out.push_back(a->asString(i));
  return out;
}

// A login that ended while its protocol session still stood (this harness never drops them):
// a call on that session is answered 410 and the session goes, instead of a "LOGGED OUT"
// result a client takes as recoverable. On a new session its re-login is refused for good.
TEST(RelayFunctions, ACallOfAnEndedLoginRenewsTheSessionInsteadOfAnsweringLoggedOut) {
  RelayGateway g;
  unsigned seed = 10;
  for (const char16_t* name : {u"Get", u"Put", u"Host", u"User.Get"}) {
    SCOPED_TRACE(Utf8Encode(name));
    const std::string user = "ann-" + Utf8Encode(name), oldId = "old-" + user;
    auto old = g.client(++seed), fresh = g.client(++seed);
    ASSERT_EQ(old.handshake(), 200);
    ASSERT_EQ(fresh.handshake(), 200);
    call(old, loginCall(user.c_str(), "shared-pw", oldId.c_str()));
    call(fresh, loginCall(user.c_str(), "shared-pw", ("new-" + user).c_str()));  // replaces
    Results r;
    EXPECT_EQ(old.call(*tickCall(name, 1), r), 410);
    EXPECT_EQ(old.handshake(), 410);  // the session is gone
    old.setSessionId({});
    ASSERT_EQ(old.handshake(), 200);
    TRtcFunctionInfo& relogin = loginCall(user.c_str(), "shared-pw", oldId.c_str());
    relogin.setFunctionName(u"ReLogin");
    EXPECT_EQ(exceptionText(*call(old, relogin)), u"LOGGED OUT");  // as the login's result
    EXPECT_EQ(call(fresh, *tickCall(u"Put", 2))->isType(), rtc_Boolean);
  }
  // A session that never logged in still gets its refusal as a result.
  auto stranger = g.client(++seed), leaving = g.client(++seed);
  ASSERT_EQ(stranger.handshake(), 200);
  ASSERT_EQ(leaving.handshake(), 200);
  EXPECT_EQ(exceptionText(*call(stranger, TRtcFunctionInfo(u"Get"))), u"Not logged in.");
  call(leaving, loginCall("bob", "shared-pw", "id-bob"));
  TRtcFunctionInfo logout(u"Logout");
  logout.setAsText("user", u"bob");
  logout.setAsText("pwd", u"shared-pw");
  // A logout and a call after it in one request: the logout is answered, not renewed.
  Results both;
  auto put = tickCall(u"Put", 1);
  ASSERT_EQ(leaving.call({&logout, put.get()}, both), 200);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0]->isType(), rtc_Boolean);
  EXPECT_EQ(exceptionText(*both[1]), u"Not logged in.");
}

// A client that lost a Get's connection re-posts it with the same tick under a cipher reset.
// The reply it lost (answered while it was gone) comes again, enciphered with the restarted
// cipher; a held reply it abandoned is refused instead of taking a turn of that cipher.
TEST(RelayFunctions, ARepostedGetUnderResetGetsTheLostItemsOnceInStep) {
  RelayGateway g;
  auto viewer = g.client(4), host = g.client(5);
  ASSERT_EQ(viewer.handshake(), 200);
  ASSERT_EQ(host.handshake(), 200);
  call(viewer, loginCall("viewer", "shared-pw", "v-1"));
  call(host, loginCall("host", "shared-pw", "h-1"));
  std::vector<std::unique_ptr<TRtcValue>> results;

  // The held Get is answered while its client is gone: its items must come again.
  const std::string get3 = tickCall(u"Get", 3)->toCode();
  auto lost = g.post(viewer.prepare(get3));
  ASSERT_FALSE(lost->has_value());
  call(host, *putTo(1, u"host", "zz"));  // unknown "host" mailbox: nothing
  call(host, *putTo(2, u"viewer", "d1"));
  ASSERT_TRUE(lost->has_value());
  ASSERT_EQ(viewer.send(get3, results, true), 200);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(dataFrom(*results[0], "host"), std::vector<std::string>{"d1"});

  // A held Get abandoned before its answer: the repost takes its place.
  const std::string get4 = tickCall(u"Get", 4)->toCode();
  auto abandoned = g.post(viewer.prepare(get4));
  ASSERT_FALSE(abandoned->has_value());
  g.whileHeld = [&] { call(host, *putTo(5, u"viewer", "d2")); };
  ASSERT_EQ(viewer.send(get4, results, true), 200);
  EXPECT_EQ(g.held, 1);
  ASSERT_TRUE(abandoned->has_value());
  EXPECT_EQ((*abandoned)->status, 409);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(dataFrom(*results[0], "host"), std::vector<std::string>{"d2"});

  // The next tick confirms the last reply: nothing comes twice.
  call(host, *putTo(7, u"viewer", "d3"));
  auto next = call(viewer, *tickCall(u"Get", 6));
  EXPECT_EQ(dataFrom(*next, "host"), std::vector<std::string>{"d3"});
  // A tick that came round on the same keystream is a new Get, not a repeat.
  call(host, *putTo(8, u"viewer", "d4"));
  next = call(viewer, *tickCall(u"Get", 6));
  EXPECT_EQ(dataFrom(*next, "host"), std::vector<std::string>{"d4"});
}

// The items of a reply stay counted until the server has written it out (here: until its
// answer is dropped).
TEST(RelayFunctions, AReplyCountsUntilItIsWrittenOut) {
  RelayGateway g;
  auto viewer = g.client(8), host = g.client(9);
  ASSERT_EQ(viewer.handshake(), 200);
  ASSERT_EQ(host.handshake(), 200);
  call(viewer, loginCall("viewer", "shared-pw", "v-1"));
  call(host, loginCall("host", "shared-pw", "h-1"));
  call(host, *putTo(1, u"viewer", std::string(5000, 'd')));
  auto unread = g.post(viewer.prepare(tickCall(u"Get", 2)->toCode()));
  ASSERT_TRUE(unread->has_value());
  EXPECT_GT(g.relay().queuedBytes(u"viewer"), 5000u);
  EXPECT_GT(g.relay().heldBytes(), 5000u);
  unread->reset();
  EXPECT_EQ(g.relay().queuedBytes(u"viewer"), 0u);
}

// A Put re-posted (on a new keystream) with the same tick and body is answered from memory,
// not applied again; a later Put that happens to reuse the tick is applied.
TEST(RelayFunctions, ARepostedPutIsAppliedOnce) {
  RelayGateway g;
  auto viewer = g.client(6), host = g.client(7);
  ASSERT_EQ(viewer.handshake(), 200);
  ASSERT_EQ(host.handshake(), 200);
  call(viewer, loginCall("viewer", "shared-pw", "v-1"));
  call(host, loginCall("host", "shared-pw", "h-1"));
  std::vector<std::unique_ptr<TRtcValue>> results;

  const std::string put = putTo(8, u"viewer", "once")->toCode();
  ASSERT_EQ(host.send(put, results), 200);
  ASSERT_EQ(host.send(put, results, true), 200);  // its reply was lost: re-posted
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]->isType(), rtc_Boolean);
  auto got = call(viewer, *tickCall(u"Get", 9));
  EXPECT_EQ(dataFrom(*got, "host"), std::vector<std::string>{"once"});

  // A Put with a row that cannot be applied still answers true (an exception would reset the
  // client's modules); the row is logged once, and a repeat applies nothing twice.
  auto bad = putTo(10, u"viewer", "good");
  TRtcDataSet* rows = bad->asDataSet("p");
  rows->Append();
  rows->setAsText("s", u"");
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(host.send(bad->toCode(), results, i == 1), 200);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]->isType(), rtc_Boolean) << results[0]->toCode();
    EXPECT_TRUE(results[0]->asBoolean());
  }
  const auto refused = std::count_if(g.logs.begin(), g.logs.end(), [](const std::string& l) {
    return l.find("event=put-rows-refused user=host rows=1 first=\"row 2: empty \\\"s\\\"\"") !=
           std::string::npos;
  });
  EXPECT_EQ(refused, 1) << ::testing::PrintToString(g.logs);
  call(host, *putTo(8, u"viewer", "again"));  // the tick came round with other rows
  // ... and with the same rows on the same keystream: a new message too, not a re-post.
  call(host, *putTo(8, u"viewer", "again"));
  got = call(viewer, *tickCall(u"Get", 11));
  EXPECT_EQ(dataFrom(*got, "host"), (std::vector<std::string>{"good", "again", "again"}));
}

// Access parameters the client reads with one kind are refused in another kind, and those
// stored earlier are left out of "User.Get" (the client's start stopped on them).
TEST(RelayFunctions, AccessParametersOfTheWrongKindAreRefusedAndNotHandedOut) {
  RelayGateway g;
  auto c = g.client(5);
  ASSERT_EQ(c.handshake(), 200);
  call(c, loginCall("ann", "shared-pw", "a-1"));
  TRtcFunctionInfo set(u"User.Set");
  set.NewRecord("RestrictAccess").setAsBoolean("x", true);
  EXPECT_EQ(exceptionText(*call(c, set)), u"Parameter \"RestrictAccess\" has the wrong kind.");
  TRtcFunctionInfo users(u"User.Set");
  users.setAsText("allowusers", u"bob");
  users.setAsBoolean("NoChat", true);
  EXPECT_EQ(exceptionText(*call(c, users)), u"Parameter \"allowusers\" has the wrong kind.");
  TRtcFunctionInfo fine(u"User.Set");
  fine.setAsBoolean("RestrictAccess", true);
  fine.setAsInteger("FrameRate", 5);
  EXPECT_EQ(call(c, fine)->isType(), rtc_Boolean);

  TRtcTextValue text(u"yes");  // stored before the check existed
  g.store().setParam(u"ann", u"RestrictAccess", &text);
  TRtcBooleanValue yes(true);
  g.store().setParam(u"ann", u"SuperUsers", &yes);
  auto params = call(c, TRtcFunctionInfo(u"User.Get"));
  ASSERT_EQ(params->isType(), rtc_Record) << params->toCode();
  EXPECT_TRUE(params->asRecord()->isNull("RestrictAccess"));
  EXPECT_TRUE(params->asRecord()->isNull("SuperUsers"));
  EXPECT_EQ(params->asRecord()->asInteger("FrameRate"), 5);
}

TEST(RelayFunctions, ParametersAndAnOwnPassword) {
  RelayGateway g;
  auto c = g.client(4);
  ASSERT_EQ(c.handshake(), 200);
  EXPECT_EQ(exceptionText(*call(c, TRtcFunctionInfo(u"User.Get"))), u"Not logged in.");
  call(c, loginCall("ann", "shared-pw", "a-1"));
  TRtcFunctionInfo set(u"User.Set");
  set.setAsBoolean("RestrictAccess", true);
  EXPECT_EQ(call(c, set)->isType(), rtc_Boolean);
  TRtcFunctionInfo add(u"User.Add");
  add.NewRecord("AllowUsers").setAsBoolean("bob", true);
  call(c, add);
  add.asRecord("AllowUsers")->setAsBoolean("carl", true);
  call(c, add);
  TRtcFunctionInfo del(u"User.Del");
  del.NewRecord("AllowUsers").setAsBoolean("bob", false);
  call(c, del);
  TRtcFunctionInfo wrong(u"User.Add");
  wrong.setAsInteger("AllowUsers", 3);
  EXPECT_EQ(exceptionText(*call(c, wrong)), u"Record parameter expected.");
  auto params = call(c, TRtcFunctionInfo(u"User.Get"));
  TRtcRecord* r = params->asRecord();
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(r->asBoolean("RestrictAccess"));
  ASSERT_NE(r->asRecord("AllowUsers"), nullptr);
  EXPECT_TRUE(r->asRecord("AllowUsers")->isNull("bob"));
  EXPECT_TRUE(r->asRecord("AllowUsers")->asBoolean("carl"));

  TRtcFunctionInfo change(u"ChangePwd");
  change.setAsText("username", u"ann");
  change.setAsText("oldpassword", u"nope");
  change.setAsText("newpassword", u"mine");
  EXPECT_EQ(exceptionText(*call(c, change)), u"Invalid user name or password.");
  change.setAsText("oldpassword", u"shared-pw");
  EXPECT_EQ(call(c, change)->asText(), u"Password changed.");

  // From now on ann's own password counts, the shared one no longer does; others keep it.
  auto d = g.client(5);
  ASSERT_EQ(d.handshake(), 200);
  EXPECT_EQ(exceptionText(*call(d, loginCall("ann", "shared-pw", "a-2"))),
            u"Invalid user name or password.");
  EXPECT_NE(call(d, loginCall("ANN", "mine", "a-2"))->isType(), rtc_Exception);
  auto e = g.client(6);
  ASSERT_EQ(e.handshake(), 200);
  EXPECT_NE(call(e, loginCall("bob", "shared-pw", "b-1"))->isType(), rtc_Exception);
  Results replaced;
  EXPECT_EQ(c.call(TRtcFunctionInfo(u"User.Get"), replaced), 410);
}

}  // namespace
}  // namespace vtx::gateway
