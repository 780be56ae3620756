// Who reaches whom: the policy as one table of sender role x receiver role x row kind, the
// same table driven through the relay (refusals answered in the Put, never thrown), and the
// audit trail the relay's events leave in a real SQLite file.
#include "gateway/relay_policy.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "gateway/audit.h"
#include "gateway/relay.h"
#include "gateway/sqlite_db.h"
#include "util/text.h"

namespace vtx::gateway {
namespace {

using namespace std::chrono_literals;
constexpr Role A = Role::Analyst, H = Role::Host;

struct PolicyCase {
  Role from, to;
  RowKind kind;
  bool allowed;
};

// Every combination: only host to host is stopped, and never a departure from a group.
const std::vector<PolicyCase> kPolicy = {
    {A, A, RowKind::Direct, true},      {A, H, RowKind::Direct, true},
    {H, A, RowKind::Direct, true},      {H, H, RowKind::Direct, false},
    {A, A, RowKind::GroupData, true},   {A, H, RowKind::GroupData, true},
    {H, A, RowKind::GroupData, true},   {H, H, RowKind::GroupData, false},
    {A, A, RowKind::GroupAdd, true},    {A, H, RowKind::GroupAdd, true},
    {H, A, RowKind::GroupAdd, true},    {H, H, RowKind::GroupAdd, false},
    {A, A, RowKind::GroupRemove, true}, {A, H, RowKind::GroupRemove, true},
    {H, A, RowKind::GroupRemove, true}, {H, H, RowKind::GroupRemove, true},
};

TEST(RelayPolicy, OnlyAnalystsAndHostsMeet) {
  for (const auto& c : kPolicy)
    EXPECT_EQ(RelayAllowed(c.from, c.to, c.kind), c.allowed)
        << RoleName(c.from) << " -> " << RoleName(c.to) << " kind " << static_cast<int>(c.kind);
}

class PolicyRelay {
 public:
  PolicyRelay()
      : relay_(
            RelayConfig{}, [this](const std::string& l) { logs.push_back(l); },
            [this] { return now; }) {
    relay_.onEvent([this](const RelayEvent& e) { events.push_back(e); });
  }
  void login(const char* user, Role role) {
    LoginRequest r;
    r.user = Widen(user);
    r.id = std::string(user) + "-id";
    r.role = role;
    r.peer = "127.0.0.1";
    r.userinfo = std::make_unique<TRtcRecord>();
    relay_.login(std::move(r));
  }
  PutOutcome put(const char* user, std::vector<std::pair<const char*, std::string>> row) {
    TRtcDataSet p;
    p.Append();
    for (const auto& [field, value] : row) {
      if (std::string(field) == "d")
        p.setAsString(field, value);
      else
        p.setAsText(field, Widen(value));
    }
    return relay_.put(std::string(user) + "-id", p);
  }
  // The relayed data `to` holds from `from`.
  std::vector<std::string> data(const char* to, const char* from) {
    auto reply = relay_.get(std::string(to) + "-id", {});
    std::string text;
    reply->to_Code(text);
    TRtcRecord r;
    std::size_t at = 0;
    r.from_Code(text, at);
    std::vector<std::string> out;
    if (TRtcArray* list = r.asArray(Widen(from)))
      for (int i = 0; i < list->Count(); ++i)
        if (list->isType(i) == rtc_String) out.push_back(list->asString(i));
    return out;
  }
  Relay& relay() { return relay_; }

  Clock::time_point now{};
  std::vector<std::string> logs;
  std::vector<RelayEvent> events;

 private:
  Relay relay_;
};

// The table again, through the relay: a row allowed arrives, a row stopped is named in the
// Put's refusal list ("not permitted"), logged, and delivers nothing.
TEST(RelayPolicy, TheRelayAppliesTheTableAndAnswersRefusalsInThePut) {
  for (const auto& c : kPolicy) {
    if (c.kind == RowKind::GroupRemove) continue;  // nothing to deliver
    SCOPED_TRACE(std::string(RoleName(c.from)) + " -> " + RoleName(c.to) + " kind " +
                 std::to_string(static_cast<int>(c.kind)));
    PolicyRelay g;
    g.login("snd", c.from);
    g.login("rcv", c.to);
    g.data("rcv", "snd");  // nothing yet
    PutOutcome out;
    if (c.kind == RowKind::Direct) {
      out = g.put("snd", {{"to", "rcv"}, {"d", "hello"}});
    } else {
      out = g.put("snd", {{"s", "desk"}, {"user", "rcv"}});
      if (c.kind == RowKind::GroupData) {
        EXPECT_EQ(out.refused.size(), c.allowed ? 0u : 1u);
        out = g.put("snd", {{"fn", "desk"}, {"d", "hello"}});
      }
    }
    EXPECT_TRUE(out.faults.empty());
    const auto got = g.data("rcv", "snd");
    if (c.allowed) {
      EXPECT_TRUE(out.refused.empty());
      if (c.kind != RowKind::GroupAdd) {
        EXPECT_EQ(got, std::vector<std::string>{"hello"});
      }
    } else {
      EXPECT_TRUE(got.empty());
      const bool named = c.kind != RowKind::GroupData;  // a group never formed: no member
      ASSERT_EQ(out.refused.size(), named ? 1u : 0u);
      if (named) {
        EXPECT_EQ(out.refused[0].to, u"rcv");
        EXPECT_EQ(out.refused[0].reason, kNotPermitted);
        bool logged = false;
        for (const auto& l : g.logs) logged |= l.find("relay-not-permitted") != std::string::npos;
        EXPECT_TRUE(logged);
      }
    }
  }
}

TEST(RelayPolicy, AFloodOfRefusedRowsIsCountedNotListedOrLoggedRowByRow) {
  PolicyRelay g;
  g.login("a", H);
  g.login("b", H);
  TRtcDataSet p;
  for (int i = 0; i < 1000; ++i) {
    p.Append();
    p.setAsText("to", u"b");
    p.setAsString("d", "x");
  }
  const PutOutcome out = g.relay().put("a-id", p);
  EXPECT_TRUE(out.faults.empty());
  EXPECT_EQ(out.refused.size(), PutOutcome::kListed);
  EXPECT_EQ(out.moreRefused, 1000 - PutOutcome::kListed);
  std::size_t lines = 0;
  for (const auto& l : g.logs) lines += l.find("relay-not-permitted") != std::string::npos;
  EXPECT_EQ(lines, 1u);
  g.now += std::chrono::seconds(2);
  g.relay().tick();  // the rest of that second, counted into one line
  lines = 0;
  for (const auto& l : g.logs) lines += l.find("relay-not-permitted") != std::string::npos;
  EXPECT_EQ(lines, 2u);
  EXPECT_NE(g.logs.back().find("items=999"), std::string::npos) << g.logs.back();
}

TEST(RelayPolicy, AWithdrawnAnalystIsEndedAndItsHostsAreTold) {
  PolicyRelay g;
  g.login("ana", A);
  g.login("cust", H);
  g.put("cust", {{"s", "desk"}, {"user", "ana"}});
  EXPECT_EQ(g.relay().usersWithRole(A), std::vector<RtcWideString>{u"ana"});
  EXPECT_EQ(g.relay().roleOf("cust-id"), H);
  g.relay().endUser(u"ANA", "account-withdrawn");
  EXPECT_TRUE(g.relay().usersWithRole(A).empty());
  EXPECT_THROW(g.relay().userOf("ana-id"), std::exception);
  // The host got the membership's end; a later row to the analyst reaches nobody.
  EXPECT_TRUE(g.put("cust", {{"fn", "desk"}, {"d", "x"}}).refused.empty());
}

// `levels` records around a text: the innermost record sits `levels` - 1 deep.
std::unique_ptr<TRtcValueObject> nested(int levels) {
  std::unique_ptr<TRtcValueObject> v = std::make_unique<TRtcTextValue>(u"deep");
  for (int i = 0; i < levels; ++i) {
    auto r = std::make_unique<TRtcRecord>();
    r->SetObject("x", std::move(v));
    v = std::move(r);
  }
  return v;
}

// One item nested too deep for a client to read a reply holding it is dropped on its own: the
// reply reads as a client reads it and carries the items queued before and after it.
TEST(RelayReplies, AnItemTooDeepForAReplyIsDroppedAndTheOthersStillArrive) {
  struct Case {
    const char* what;
    bool notice;  // a login notice with the nesting in its login data, else a direct row
    int levels;
    bool delivered;
  };
  // A reply holds an item 2 deep and the reader refuses a container past 256; a login notice
  // holds its login data 2 deeper still.
  const std::vector<Case> cases = {
      {"row just readable", false, 255, true},   {"row one too deep", false, 256, false},
      {"row far too deep", false, 1000, false},  {"notice just readable", true, 253, true},
      {"notice one too deep", true, 254, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> logs;
    Relay relay(RelayConfig{}, [&](const std::string& l) { logs.push_back(l); });
    auto login = [&](const char* user, Role role, std::unique_ptr<TRtcValueObject> extra) {
      LoginRequest r;
      r.user = Widen(user);
      r.id = std::string(user) + "-id";
      r.role = role;
      r.peer = "127.0.0.1";
      r.userinfo = std::make_unique<TRtcRecord>();
      if (extra) r.userinfo->SetObject("extra", std::move(extra));
      const std::string id = r.id;
      relay.login(std::move(r));
      relay.host(id, true);
    };
    auto direct = [&](const char* from, std::unique_ptr<TRtcValueObject> d) {
      TRtcDataSet p;
      p.Append();
      p.setAsText("to", u"ana");
      p.SetObject("d", std::move(d));
      return relay.put(std::string(from) + "-id", p);
    };
    login("ana", A, nullptr);
    relay.control("ana-id", true);
    login("good", H, nullptr);
    direct("good", std::make_unique<TRtcStringValue>("before"));
    PutOutcome bad;
    if (c.notice)
      login("bad", H, nested(c.levels));
    else
      bad = direct("good", nested(c.levels));
    direct("good", std::make_unique<TRtcStringValue>("after"));

    std::string code;
    relay.get("ana-id", {})->to_Code(code);
    std::unique_ptr<TRtcValue> reply;
    ASSERT_NO_THROW(reply = TRtcValue::FromCode(code));
    TRtcRecord* r = reply->asRecord();
    ASSERT_NE(r, nullptr);
    TRtcArray* fromGood = r->asArray("good");
    ASSERT_NE(fromGood, nullptr);
    std::vector<std::string> strings;
    for (int i = 0; i < fromGood->Count(); ++i)
      if (fromGood->isType(i) == rtc_String) strings.push_back(fromGood->asString(i));
    EXPECT_EQ(strings, (std::vector<std::string>{"before", "after"}));
    const int items = fromGood->Count() + (r->asArray("bad") ? r->asArray("bad")->Count() : 0);
    EXPECT_EQ(items, 3 + (c.delivered ? 1 : 0));  // good's login notice, its rows, the bad one
    if (!c.notice) {
      ASSERT_EQ(bad.refused.size(), c.delivered ? 0u : 1u);
      if (!c.delivered) {
        EXPECT_EQ(bad.refused[0].reason, std::string(Relay::kTooDeep));
      }
    }
    bool logged = false;
    for (const auto& l : logs) logged |= l.find("-too-deep") != std::string::npos;
    EXPECT_EQ(logged, !c.delivered);
  }
}

// A reply carries items up to the reply limit and the rest wait, in order, for the next Get;
// an item larger than the limit is refused on its own.
TEST(RelayReplies, RepliesStayWithinTheLimitAndLoseNothing) {
  RelayConfig config;
  config.replyLimit = 2000;
  Relay relay(config);
  for (const char* user : {"ana", "cust"}) {
    LoginRequest r;
    r.user = Widen(user);
    r.id = std::string(user) + "-id";
    r.role = std::string(user) == "ana" ? A : H;
    relay.login(std::move(r));
  }
  struct Row {
    std::size_t size;
    bool refused;
  };
  const std::vector<Row> rows = {{500, false}, {500, false},  {3000, true}, {500, false},
                                 {10, false},  {1700, false}, {500, false}};
  std::vector<std::string> sent;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string d(rows[i].size, static_cast<char>('a' + i));
    TRtcDataSet p;
    p.Append();
    p.setAsText("to", u"ana");
    p.setAsString("d", d);
    const PutOutcome out = relay.put("cust-id", p);
    ASSERT_EQ(out.refused.size(), rows[i].refused ? 1u : 0u) << i;
    if (rows[i].refused)
      EXPECT_EQ(out.refused[0].reason, std::string(Relay::kTooLarge));
    else
      sent.push_back(d);
  }
  std::vector<std::string> got;
  int replies = 0;
  while (relay.queuedBytes(u"ana") > 0 && replies < 20) {
    std::string code;
    relay.get("ana-id", {})->to_Code(code);
    ++replies;
    EXPECT_LT(code.size(), config.replyLimit + 200) << replies;
    auto reply = TRtcValue::FromCode(code);
    TRtcArray* list = reply->asRecord()->asArray("cust");
    ASSERT_NE(list, nullptr);
    for (int i = 0; i < list->Count(); ++i) got.push_back(list->asString(i));
  }
  EXPECT_EQ(got, sent);
  EXPECT_GE(replies, 3);
}

class TempFile {
 public:
  TempFile() {
    static int n = 0;
    path_ = (std::filesystem::temp_directory_path() /
             ("vtx-audit-" + std::to_string(::getpid()) + "-" + std::to_string(++n) + ".db"))
                .string();
  }
  ~TempFile() {
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
      std::filesystem::remove(path_ + suffix, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(AuditTrail, RecordsAnalystAccessToHostsOnlyAndCannotBeRewritten) {
  TempFile file;
  std::vector<std::string> lines;
  AuditTrail trail(file.path(), [&](const std::string& l) { lines.push_back(l); });
  PolicyRelay g;
  AuditRecorder recorder(trail, [&g] { return g.now; });
  g.relay().onEvent([&](const RelayEvent& e) { recorder(e); });

  g.login("ana", A);
  g.login("bo", A);
  g.login("cust", H);
  g.login("other", H);
  g.put("cust", {{"s", "desk"}, {"user", "ana"}});  // view starts
  g.put("cust", {{"fn", "desk"}, {"d", std::string(100, 'x')}});
  g.put("cust", {{"fn", "desk"}, {"d", std::string(50, 'y')}});
  g.put("ana", {{"to", "cust"}, {"d", "key"}});        // first direct row
  g.put("ana", {{"to", "cust"}, {"d", "key"}});        // not again
  g.put("ana", {{"to", "bo"}, {"d", "colleague"}});    // analyst to analyst: not audited
  g.put("other", {{"to", "cust"}, {"d", "refused"}});  // host to host: refused, not audited
  g.put("ana", {{"s", "chat"}, {"user", "cust"}});     // chat, owned by the analyst
  g.now += 90s;
  g.put("cust", {{"u", "desk"}, {"user", "ana"}});  // view ends after 90 s
  g.relay().logout("ana-id", u"ana");               // ends the chat too

  const auto all = trail.query({});
  std::vector<std::string> events;
  for (const auto& e : all) events.push_back(e.event + ":" + e.module);
  const std::vector<std::string> expected = {
      "analyst-login:",    "analyst-login:",     "access-start:desktop", "direct-row:",
      "access-start:chat", "access-end:desktop", "analyst-logout:",      "access-end:chat"};
  EXPECT_EQ(events, expected);
  ASSERT_EQ(all.size(), expected.size());
  EXPECT_EQ(all[0].peer, "127.0.0.1");
  EXPECT_EQ(all[3].analyst, "ana");
  EXPECT_EQ(all[3].host, "cust");
  EXPECT_EQ(all[5].analyst, "ana");
  EXPECT_EQ(all[5].host, "cust");
  EXPECT_DOUBLE_EQ(all[5].seconds, 90.0);
  EXPECT_GE(all[5].bytes, 150);
  EXPECT_LT(all[5].bytes, 200);
  EXPECT_DOUBLE_EQ(all[6].seconds, 90.0);
  EXPECT_EQ(lines.size(), all.size());
  EXPECT_NE(lines[5].find("seconds=90.0"), std::string::npos) << lines[5];

  // Filters, and a date that cannot be read.
  EXPECT_EQ(trail.query({"", "ANA", ""}).size(), 7u);  // bo only logged in
  EXPECT_EQ(trail.query({"", "", "cust"}).size(), 5u);
  EXPECT_EQ(trail.query({"2999-01-01", "", ""}).size(), 0u);
  EXPECT_EQ(trail.query({"2000-01-01 00:00:00", "", ""}).size(), all.size());
  EXPECT_THROW(trail.query({"01/02/2026", "", ""}), std::invalid_argument);

  // Append-only, by the database itself.
  Database raw(file.path());
  EXPECT_THROW(raw.exec("UPDATE audit SET analyst = 'nobody'"), std::runtime_error);
  EXPECT_THROW(raw.exec("DELETE FROM audit"), std::runtime_error);
  EXPECT_EQ(trail.query({}).size(), all.size());
}

}  // namespace
}  // namespace vtx::gateway
