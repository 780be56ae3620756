// The relay's state: sessions by login id, rows, notices for each party, held Gets on a manual
// clock, the queue bound; and the user store on a real SQLite file.
#include "gateway/relay.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <thread>

#include "gateway/user_store.h"
#include "util/exceptions.h"

namespace vtx::gateway {
namespace {

using namespace std::chrono_literals;

std::string code(const TRtcValueObject* v) {
  std::string out;
  if (v) v->to_Code(out);
  return out;
}

// A reply as the receiver reads it: its code text read back (queued items are written, not
// kept as value trees).
std::unique_ptr<TRtcRecord> asRead(const TRtcValueObject* v) {
  auto r = std::make_unique<TRtcRecord>();
  EXPECT_NE(dynamic_cast<const TRtcRecord*>(v), nullptr);
  const std::string text = code(v);
  std::size_t at = 0;
  if (!text.empty()) r->from_Code(text, at);
  return r;
}

// Receives a deferred Get answer.
struct Slot : ReplyAssembly {
  bool fill(std::size_t, std::unique_ptr<TRtcValueObject> v) override {
    value = std::move(v);
    ++fills;
    return true;
  }
  std::unique_ptr<TRtcValueObject> value;
  int fills = 0;
};

class RelayTest : public ::testing::Test {
 protected:
  RelayTest() { relay = make(config()); }
  static RelayConfig config() {
    RelayConfig c;
    c.getHold = 25s;
    c.loginTimeout = 120s;
    return c;
  }
  std::unique_ptr<Relay> make(RelayConfig c) {
    return std::make_unique<Relay>(
        c, [this](const std::string& l) { logs.push_back(l); }, [this] { return now; });
  }
  void login(const char* user, const std::string& id, bool relogin = false) {
    LoginRequest r;
    r.user = Widen(user);
    r.id = id;
    r.relogin = relogin;
    r.userinfo = std::make_unique<TRtcRecord>();
    r.userinfo->setAsText("login", Widen(user));
    relay->login(std::move(r));
  }
  // The items now queued for `id`, as the record a Get answers.
  std::unique_ptr<TRtcRecord> get(const std::string& id) {
    return asRead(relay->get(id, {}).get());
  }
  // Holds a Get on `slot`; expects it held.
  void hold(const std::string& id, const std::shared_ptr<Slot>& slot) {
    EXPECT_EQ(relay->get(id, DeferredResult(slot, 0)), nullptr);
  }
  std::vector<std::string> put(
      const std::string& id,
      std::initializer_list<std::vector<std::pair<const char*, std::string>>> rows) {
    TRtcDataSet p;
    for (const auto& row : rows) {
      p.Append();
      for (const auto& [field, value] : row) {
        if (std::string(field) == "d")
          p.setAsString(field, value);
        else
          p.setAsText(field, Widen(value));
      }
    }
    return relay->put(id, p).faults;
  }

  Clock::time_point now{};
  std::vector<std::string> logs;
  std::unique_ptr<Relay> relay;
};

// The group notice expected at one element of a Get answer.
void expectNotice(TRtcRecord& answer, const char* origin, int index, bool on, const char* user,
                  const char* group) {
  SCOPED_TRACE(std::string(origin) + "[" + std::to_string(index) + "]");
  TRtcArray* list = answer.asArray(origin);
  ASSERT_NE(list, nullptr);
  TRtcRecord* n = list->asRecord(index);
  ASSERT_NE(n, nullptr);
  EXPECT_TRUE(n->asBoolean(on ? "on" : "off"));
  EXPECT_TRUE(n->isNull(on ? "off" : "on"));
  EXPECT_EQ(n->asText("user"), Widen(user));
  EXPECT_EQ(n->asText("fn"), Widen(group));
  if (on) {
    TRtcRecord* info = n->asRecord("userinfo");
    EXPECT_EQ(info ? info->asText("login") : u"", Widen(user));
  }
}

TEST_F(RelayTest, RowsRelayDataAndTellBothPartiesOfGroupChanges) {
  login("host", "h1");
  login("ann", "a1");
  login("bob", "b1");
  EXPECT_TRUE(put("h1", {{{"s", "desk"}, {"user", "ann"}},
                         {{"s", "desk"}, {"user", "Bob"}},
                         {{"fn", "desk"}, {"d", "frame"}},
                         {{"to", "ann"}, {"d", "only-ann"}}})
                  .empty());
  auto host = get("h1");
  expectNotice(*host, "host", 0, true, "ann", "desk");  // under the owner's own name
  expectNotice(*host, "host", 1, true, "bob", "desk");
  auto ann = get("a1");
  expectNotice(*ann, "host", 0, true, "host", "desk");  // under the owner's name, user = owner
  EXPECT_EQ(ann->asArray("host")->asString(1), "frame");
  EXPECT_EQ(ann->asArray("host")->asString(2), "only-ann");
  auto bob = get("b1");
  EXPECT_EQ(bob->asArray("host")->Count(), 2);
  EXPECT_EQ(bob->asArray("host")->asString(1), "frame");

  // ann leaves, bob is removed: each time both sides hear of it, and data stops reaching them
  EXPECT_TRUE(put("a1", {{{"t", "desk"}, {"user", "host"}}}).empty());
  EXPECT_TRUE(
      put("h1", {{{"u", "desk"}, {"user", "bob"}}, {{"fn", "desk"}, {"d", "lost"}}}).empty());
  host = get("h1");
  expectNotice(*host, "host", 0, false, "ann", "desk");
  expectNotice(*host, "host", 1, false, "bob", "desk");
  ann = get("a1");
  expectNotice(*ann, "host", 0, false, "host", "desk");
  EXPECT_EQ(ann->asArray("host")->Count(), 1);
  bob = get("b1");
  expectNotice(*bob, "host", 0, false, "host", "desk");
  EXPECT_EQ(bob->asArray("host")->Count(), 1);

  // disbanding tells every member
  put("h1", {{{"s", "chat"}, {"user", "ann"}}, {{"s", "chat"}, {"user", "bob"}}});
  get("h1"), get("a1"), get("b1");
  EXPECT_TRUE(put("h1", {{{"uf", "chat"}}}).empty());
  expectNotice(*get("a1"), "host", 0, false, "host", "chat");
  expectNotice(*get("b1"), "host", 0, false, "host", "chat");
  EXPECT_EQ(get("h1")->asArray("host")->Count(), 2);
}

TEST_F(RelayTest, BadRowsAreReportedAndTheGoodOnesStillApply) {
  login("ann", "a1");
  login("bob", "b1");
  TRtcDataSet p;
  p.Append();
  p.setAsText("to", u"bob");
  p.setAsString("d", "one");
  p.Append();
  p.setAsText("zz", u"?");  // unknown kind
  p.Append();
  p.setAsText("to", u"bob");  // no data
  p.Append();
  p.setAsText("s", u"g");  // no user
  p.Append();
  p.setAsText("to", u"nobody");  // not logged in: dropped quietly
  p.setAsString("d", "x");
  p.Append();
  p.setAsText("to", u"bob");
  p.setAsString("d", "two");
  logs.clear();
  const auto faults = relay->put("a1", p).faults;
  ASSERT_EQ(faults.size(), 3u);
  EXPECT_EQ(faults[0], "row 2: unknown row kind");
  EXPECT_EQ(faults[1], "row 3: missing \"d\"");
  EXPECT_EQ(faults[2], "row 4: missing \"user\"");
  ASSERT_EQ(logs.size(), 1u);  // one line for the whole Put
  EXPECT_NE(logs[0].find("event=put-rows-refused user=ann rows=3"), std::string::npos) << logs[0];
  auto bob = get("b1");
  EXPECT_EQ(bob->asArray("ann")->asString(0), "one");
  EXPECT_EQ(bob->asArray("ann")->asString(1), "two");
  TRtcDataSet empty;  // a keep-alive
  EXPECT_TRUE(relay->put("a1", empty).faults.empty());
}

TEST_F(RelayTest, ChannelsShareASessionAndANewLoginReplacesTheOldOne) {
  login("viewer", "v1");
  relay->control("v1", true);
  login("ann", "a1");
  login("ann", "a1");  // the second channel of the same program
  EXPECT_EQ(relay->userCount(), 2u);
  relay->host("a1", true);
  put("a1", {{{"s", "desk"}, {"user", "viewer"}}});
  auto v = get("v1");
  TRtcArray* fromAnn = v->asArray("ann");
  ASSERT_NE(fromAnn, nullptr);
  EXPECT_TRUE(fromAnn->asRecord(0)->asBoolean("isLogin"));
  EXPECT_EQ(fromAnn->asRecord(0)->asRecord("userinfo")->asText("login"), u"ann");

  get("a1");
  auto held = std::make_shared<Slot>();
  hold("a1", held);
  int answeredWhenEnded = -1;
  relay->onEnded([&](const std::string& id) {
    if (id == "a1") answeredWhenEnded = held->fills;
  });
  login("ANN", "a2");         // the program restarted with a new id
  EXPECT_EQ(held->fills, 1);  // the old held Get went back
  // ... after the old id's end was announced (its protocol sessions go first).
  EXPECT_EQ(answeredWhenEnded, 0);
  for (const char* call : {"get", "relogin"}) {
    SCOPED_TRACE(call);
    try {
      if (std::string(call) == "get")
        relay->get("a1", {});
      else
        login("ann", "a1", true);
      ADD_FAILURE() << "no refusal";
    } catch (const ERtcInfo& e) {
      EXPECT_STREQ(e.what(), "LOGGED OUT");
    }
  }
  v = get("v1");
  fromAnn = v->asArray("ann");
  ASSERT_NE(fromAnn, nullptr);
  EXPECT_EQ(fromAnn->isType(0), rtc_Boolean);  // the subscriber: logged out
  EXPECT_FALSE(fromAnn->asBoolean(0));
  expectNotice(*v, "ann", 1, false, "ann", "desk");  // the group partner: left
  EXPECT_EQ(relay->userCount(), 2u);
  EXPECT_THROW(relay->get("", {}), ERtcInfo);
}

// Ended ids stay LOGGED OUT up to the bound, the oldest forgotten first; ids of full length
// that differ only in their last byte are told apart.
TEST_F(RelayTest, EndedIdsAreRememberedUpToTheBoundOldestFirst) {
  RelayConfig c = config();
  c.retiredIds = 3;
  relay = make(c);
  const std::string stem(Relay::kMaxIdLength - 1, 'i');
  for (char last : {'0', '1', '2', '3', '4'}) login("ann", stem + last);  // each replaces
  login("bob", "b1");
  relay->logout("b1", u"bob");
  EXPECT_EQ(relay->retiredCount(), 3u);
  auto refusal = [&](const std::string& id, bool relogin) -> std::string {
    try {
      login("ann", id, relogin);
      return "";
    } catch (const ERtcInfo& e) {
      return e.what();
    }
  };
  EXPECT_EQ(refusal("b1", true), "LOGGED OUT");
  for (char last : {'3', '2'}) {
    EXPECT_EQ(refusal(stem + last, true), "LOGGED OUT") << last;
    EXPECT_EQ(refusal(stem + last, false), "LOGGED OUT") << last;
    EXPECT_THROW(relay->get(stem + last, {}), ERtcInfo);
  }
  EXPECT_EQ(refusal(stem + '1', true), Relay::kUnknownId);  // forgotten
  EXPECT_EQ(relay->userOf(stem + '4'), u"ann");             // the live one is untouched
  EXPECT_EQ(refusal(stem + '4', true), "");
  EXPECT_EQ(relay->retiredCount(), 3u);
  // A forgotten id is a new id: it logs in afresh and replaces the live session.
  EXPECT_EQ(refusal(stem + '0', false), "");
  EXPECT_EQ(refusal(stem + '4', true), "LOGGED OUT");
  EXPECT_EQ(refusal(stem + '2', true), Relay::kUnknownId);  // pushed out by the newest
  EXPECT_EQ(refusal("b1", true), "LOGGED OUT");
  EXPECT_EQ(relay->retiredCount(), 3u);
}

TEST_F(RelayTest, ControlQueuesThePublishedUsersAndLogoutTellsThem) {
  login("ann", "a1");
  relay->host("a1", true);
  login("bob", "b1");  // logged in but not published
  login("viewer", "v1");
  relay->control("v1", true);
  auto v = get("v1");
  EXPECT_NE(v->asArray("ann"), nullptr);
  EXPECT_EQ(v->asArray("bob"), nullptr);
  EXPECT_EQ(v->asArray("viewer"), nullptr);

  auto held = std::make_shared<Slot>();
  hold("v1", held);
  relay->logout("a1", u"ann");
  ASSERT_EQ(held->fills, 1);
  auto* answer = dynamic_cast<TRtcRecord*>(held->value.get());
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(code(answer->asArray("ann")), code(&*[] {
              auto a = std::make_unique<TRtcArray>();
              a->setAsBoolean(0, false);
              return a;
            }()));
  EXPECT_THROW(relay->logout("b1", u"someone-else"), ERtcInfo);
}

TEST_F(RelayTest, HeldGetsAnswerOnDataOnTheirHoldTimeOrOnTheNextGet) {
  login("ann", "a1");
  login("bob", "b1");
  auto first = std::make_shared<Slot>();
  hold("b1", first);
  put("a1", {{{"to", "bob"}, {"d", "one"}}, {{"to", "bob"}, {"d", "two"}}});
  ASSERT_EQ(first->fills, 1);  // one answer with both rows of the Put
  EXPECT_EQ(dynamic_cast<TRtcRecord&>(*first->value).asArray("ann")->Count(), 2);

  auto second = std::make_shared<Slot>();
  hold("b1", second);
  now += 24s;
  relay->tick();
  EXPECT_EQ(second->fills, 0);
  now += 2s;
  relay->tick();
  ASSERT_EQ(second->fills, 1);
  EXPECT_EQ(dynamic_cast<TRtcRecord&>(*second->value).FieldCount(), 0);

  auto third = std::make_shared<Slot>(), fourth = std::make_shared<Slot>();
  hold("b1", third);
  hold("b1", fourth);  // the earlier one goes back empty
  EXPECT_EQ(third->fills, 1);
  EXPECT_EQ(fourth->fills, 0);
  relay->shutdown();
  EXPECT_EQ(fourth->fills, 1);
  EXPECT_NE(relay->get("b1", DeferredResult(std::make_shared<Slot>(), 0)), nullptr);
}

TEST_F(RelayTest, SilentSessionsAreLoggedOutButAHeldGetKeepsOneAlive) {
  login("ann", "a1");
  login("bob", "b1");
  auto held = std::make_shared<Slot>();
  now += 100s;
  hold("b1", held);  // bob polls; ann stays silent
  now += 21s;
  relay->tick();
  EXPECT_EQ(relay->userCount(), 1u);
  EXPECT_THROW(relay->userOf("a1"), ERtcInfo);
  EXPECT_EQ(relay->userOf("b1"), u"bob");
  bool logged = false;
  for (const auto& l : logs)
    logged |= l.find("event=user-logout user=ann reason=timeout") != std::string::npos;
  EXPECT_TRUE(logged);
}

// A full queue keeps what it holds (other senders' items too) and refuses the newcomer to its
// sender; an item larger than the whole queue is refused without touching the queue.
TEST_F(RelayTest, AFullQueueRefusesNewDataToItsSenderAndKeepsWhatItHolds) {
  RelayConfig c = config();
  c.queueLimit = 4000;
  relay = make(c);
  login("ann", "a1");
  login("carl", "c1");
  login("bob", "b1");
  TRtcDataSet early;
  early.Append();
  early.setAsText("to", u"bob");
  early.setAsString("d", "carl's");
  EXPECT_TRUE(relay->put("c1", early).refused.empty());
  TRtcDataSet p;
  for (int i = 0; i < 10; ++i) {
    p.Append();
    p.setAsText("to", u"bob");
    p.setAsString("d", std::to_string(i) + std::string(1000, 'x'));
  }
  p.Append();
  p.setAsText("to", u"bob");
  p.setAsString("d", std::string(5000, 'y'));  // larger than the whole queue
  const PutOutcome outcome = relay->put("a1", p);
  EXPECT_TRUE(outcome.faults.empty());
  ASSERT_GE(outcome.refused.size(), 2u);
  const std::size_t kept = 11 - outcome.refused.size();
  for (std::size_t i = 0; i < outcome.refused.size(); ++i) {
    EXPECT_EQ(outcome.refused[i].row, static_cast<int>(kept + i + 1));  // the newest rows
    EXPECT_EQ(outcome.refused[i].to, u"bob");
    EXPECT_EQ(outcome.refused[i].reason, "receiver queue full");
  }
  EXPECT_LE(relay->queuedBytes(u"bob"), 4000u);
  auto bob = get("b1");
  EXPECT_EQ(bob->asArray("carl")->asString(0), "carl's");
  TRtcArray* items = bob->asArray("ann");
  ASSERT_NE(items, nullptr);
  ASSERT_EQ(static_cast<std::size_t>(items->Count()), kept);
  for (int i = 0; i < items->Count(); ++i)
    EXPECT_EQ(items->asString(i).substr(0, 1), std::to_string(i));  // the oldest stay, in order
  EXPECT_EQ(std::count_if(logs.begin(), logs.end(),
                          [](const std::string& l) {
                            return l.find("event=relay-refused") != std::string::npos;
                          }),
            1)  // the rest of the second is counted into a later line
      << ::testing::PrintToString(logs);
  now += 2s;
  relay->tick();
  EXPECT_NE(
      logs.back().find("event=relay-refused items=" + std::to_string(outcome.refused.size() - 1)),
      std::string::npos)
      << logs.back();
  EXPECT_EQ(relay->queuedBytes(u"bob"), 0u);
}

// A reply on its way still counts against its receiver's queue: a client that never reads its
// replies cannot make the relay hold more than one queue's worth for it.
TEST_F(RelayTest, RepliesOnTheirWayCountAgainstTheQueue) {
  RelayConfig c = config();
  c.queueLimit = 5000;
  relay = make(c);
  login("ann", "a1");
  login("bob", "b1");
  auto rows = [](TRtcDataSet& p, int n) {
    for (int i = 0; i < n; ++i) {
      p.Append();
      p.setAsText("to", u"bob");
      p.setAsString("d", std::string(1000, static_cast<char>('a' + i)));
    }
    return std::ref(p);
  };
  TRtcDataSet first, second, third;
  EXPECT_TRUE(relay->put("a1", rows(first, 3)).refused.empty());
  auto unread = relay->get("b1", {});  // answered, not yet written out
  const std::size_t held = relay->queuedBytes(u"bob");
  EXPECT_GT(held, 3000u);
  EXPECT_EQ(relay->put("a1", rows(second, 3)).refused.size(), 2u);  // one more fits
  unread.reset();
  EXPECT_LT(relay->queuedBytes(u"bob"), held);
  EXPECT_EQ(relay->put("a1", rows(third, 3)).refused.size(), 0u);
}

// The answer of a hostile Put stays small: refusals and faults beyond the first few are counted.
TEST_F(RelayTest, ALargeRefusalIsListedInPartAndCounted) {
  RelayConfig c = config();
  c.queueLimit = 1000;
  relay = make(c);
  login("ann", "a1");
  for (const char* m : {"m1", "m2", "m3"}) {
    login(m, std::string(m) + "-id");
    put("a1", {{{"s", "g"}, {"user", m}}});
  }
  TRtcDataSet p;
  for (int i = 0; i < 300; ++i) {
    p.Append();
    p.setAsText("fn", u"g");
    p.setAsString("d", std::string(2000, 'x'));  // fits no queue
    p.Append();
    p.setAsText("zz", u"?");
  }
  const PutOutcome outcome = relay->put("a1", p);
  EXPECT_EQ(outcome.refused.size(), PutOutcome::kListed);
  EXPECT_EQ(outcome.refused.size() + outcome.moreRefused, 900u);
  EXPECT_EQ(outcome.faults.size(), PutOutcome::kListed);
  EXPECT_EQ(outcome.faults.size() + outcome.moreFaults, 300u);
  EXPECT_NE(logs.back().find("event=put-rows-refused user=ann rows=300"), std::string::npos)
      << logs.back();
}

// Queued items are counted as the memory they hold: many tiny rows fill a queue long before
// their payload bytes would.
TEST_F(RelayTest, TinyItemsAreCountedWithWhatTheyCost) {
  RelayConfig c = config();
  c.queueLimit = 100000;
  relay = make(c);
  login("ann", "a1");
  login("bob", "b1");
  TRtcDataSet p;
  for (int i = 0; i < 2000; ++i) {
    p.Append();
    p.setAsText("to", u"bob");
    p.setAsString("d", "x");
  }
  const PutOutcome outcome = relay->put("a1", p);
  const std::size_t refused = outcome.refused.size() + outcome.moreRefused;
  EXPECT_GT(refused, 1000u);  // at least 100 bytes an item
  EXPECT_GT(relay->heldBytes(), 100u * (2000 - refused));
  get("b1");
  EXPECT_EQ(relay->heldBytes(), 0u);
}

// One copy of a group row serves all its members; senders and the whole relay have budgets of
// their own, charged to the sender until the receivers have taken the items.
TEST_F(RelayTest, GroupRowsAreSharedAndSendersHaveABudget) {
  RelayConfig c = config();
  c.senderLimit = 250000;
  c.totalLimit = 350000;
  relay = make(c);
  login("host", "h1");
  login("eve", "e1");
  std::vector<std::string> members;
  for (int i = 0; i < 20; ++i) {
    members.push_back("m" + std::to_string(i));
    login(members.back().c_str(), "id-" + members.back());
    put("h1", {{{"s", "cast"}, {"user", members.back()}}});
  }
  for (const auto& m : members) get("id-" + m);
  get("h1");
  const std::size_t base = relay->heldBytes();
  EXPECT_EQ(base, 0u);
  const std::string frame(100000, 'f');
  TRtcDataSet first;
  first.Append();
  first.setAsText("fn", u"cast");
  first.setAsString("d", frame);
  auto outcome = relay->put("h1", first);
  EXPECT_TRUE(outcome.refused.empty());
  EXPECT_LT(relay->heldBytes(), 2 * frame.size());  // one copy for 20 members
  for (int i = 0; i < 2; ++i) {
    TRtcDataSet more;
    more.Append();
    more.setAsText("fn", u"cast");
    more.setAsString("d", frame);
    outcome = relay->put("h1", more);
  }
  ASSERT_EQ(outcome.refused.size(), 20u);  // the third frame is over the sender's limit
  EXPECT_EQ(outcome.refused[0].group, u"cast");
  EXPECT_EQ(outcome.refused[0].reason, "sender over its limit");
  TRtcDataSet other;  // another sender still has room in the relay
  other.Append();
  other.setAsText("to", u"m0");
  other.setAsString("d", frame);
  EXPECT_TRUE(relay->put("e1", other).refused.empty());
  other.setAsString("d", frame);      // the Put took it
  outcome = relay->put("e1", other);  // within eve's limit, beyond the relay's
  ASSERT_EQ(outcome.refused.size(), 1u);
  EXPECT_EQ(outcome.refused[0].reason, "relay memory full");
  auto m0 = get("id-m0");
  EXPECT_EQ(m0->asArray("host")->asString(0), frame);
  EXPECT_EQ(m0->asArray("host")->Count(), 2);
  EXPECT_EQ(m0->asArray("eve")->Count(), 1);
  for (const auto& m : members) get("id-" + m);
  EXPECT_EQ(relay->heldBytes(), 0u);  // taken by all: the sender may send again
  TRtcDataSet again;
  again.Append();
  again.setAsText("fn", u"cast");
  again.setAsString("d", frame);
  EXPECT_TRUE(relay->put("h1", again).refused.empty());
}

// The lag bound on a fake clock: "ann" drains about 100 KB a second, "bob" far more.
class RelayLagTest : public RelayTest {
 protected:
  RelayLagTest() {
    RelayConfig c = config();
    c.lagLimit = std::chrono::seconds(1);
    relay = make(c);
    login("host", "h1");
    login("ann", "a1");
    login("bob", "b1");
    put("h1", {{{"s", "desk"}, {"user", "ann"}}, {{"s", "desk"}, {"user", "bob"}}});
    get("h1");
  }
  PutOutcome send(const char* field, const char* target, std::size_t bytes, char fill = 'x') {
    TRtcDataSet p;
    p.Append();
    p.setAsText(field, Widen(target));
    p.setAsString("d", std::string(bytes, fill));
    return relay->put("h1", p);
  }
  // The reasons `user` was refused in `o` (none: it was not).
  static std::vector<std::string> reasons(const PutOutcome& o, const char16_t* user) {
    std::vector<std::string> out;
    for (const auto& r : o.refused)
      if (r.to == user) out.push_back(r.reason);
    return out;
  }
  // A Get of `id` now, and the next one `later`: the reply took that long.
  void drainOver(const std::string& id, Clock::duration later) {
    get(id);
    now += later;
    get(id);
  }
  static std::vector<std::string> one(const char* reason) { return {reason}; }
};

TEST_F(RelayLagTest, ALaggingReceiverGetsNoGroupRowsUntilTheSendersOwnRow) {
  // rates: ann's reply of 100 KB took a second, bob's 10 ms
  EXPECT_TRUE(send("fn", "desk", 100000).refused.empty());
  drainOver("a1", 1s);
  drainOver("b1", 10ms);
  EXPECT_NEAR(relay->deliveryRate(u"ann"), 100000, 5000);

  // ann's backlog grows past a second's worth: refused, bob takes every row
  EXPECT_TRUE(send("fn", "desk", 60000).refused.empty());
  EXPECT_TRUE(send("fn", "desk", 60000).refused.empty());
  auto o = send("fn", "desk", 60000);
  EXPECT_EQ(reasons(o, u"ann"), one(Relay::kLagging));
  ASSERT_EQ(o.refused.size(), 1u);
  EXPECT_EQ(o.refused[0].group, u"desk");
  EXPECT_EQ(o.refused[0].row, 1);
  drainOver("b1", 10ms);
  // rows of other groups and the sender's own rows are not bounded
  EXPECT_TRUE(send("fn", "chat", 60000).refused.empty());
  // the reply on its way counts until the next Get confirms it
  get("a1");
  EXPECT_EQ(reasons(send("fn", "desk", 1000), u"ann"), one(Relay::kLagging));
  now += 2s;
  get("a1");
  // drained, yet the group's rows would not apply to what ann has
  EXPECT_EQ(reasons(send("fn", "desk", 1000), u"ann"), one(Relay::kAwaitingState));
  EXPECT_TRUE(send("to", "ann", 300000, 'i').refused.empty());  // a complete state, over the bound
  auto ann = get("a1");
  ASSERT_NE(ann->asArray("host"), nullptr);
  ASSERT_EQ(ann->asArray("host")->Count(), 1);  // nothing of the group after the first refusal
  EXPECT_EQ(ann->asArray("host")->asString(0)[0], 'i');
  now += 500ms;
  get("a1");
  drainOver("b1", 10ms);
  o = send("fn", "desk", 60000, 'n');
  EXPECT_TRUE(o.refused.empty());
  EXPECT_EQ(get("a1")->asArray("host")->asString(0)[0], 'n');
  for (int i = 0; i < 3; ++i) {  // bob drains at once: never refused
    EXPECT_TRUE(reasons(send("fn", "desk", 200000), u"bob").empty());
    drainOver("b1", 10ms);
  }
  // ...until a reply of his is on its way longer than the limit, whatever his rate was
  send("fn", "desk", 200000);
  get("b1");
  now += 1500ms;
  EXPECT_EQ(reasons(send("fn", "desk", 200000), u"bob"), one(Relay::kLagging));
}

TEST_F(RelayLagTest, UnmeasuredAndEmptyBacklogsAndTheSwitches) {
  // no rate yet: rows queue; a reply that has been on its way long lowers the rate it allows
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(send("fn", "desk", 60000).refused.empty());
  get("a1");
  now += 10s;
  EXPECT_EQ(reasons(send("fn", "desk", 60000), u"ann"), one(Relay::kLagging));
  get("a1");
  // an empty backlog takes a first image larger than the bound
  put("h1", {{{"s", "idesk"}, {"user", "ann"}}});  // joining a group afresh opens it
  get("a1");
  EXPECT_TRUE(send("fn", "idesk", 900000).refused.empty());
  EXPECT_EQ(reasons(send("fn", "idesk", 1000), u"ann"), one(Relay::kLagging));

  // the sender ending clears what waits for it
  relay->logout("h1", u"host");
  get("a1");
  now += 20s;
  get("a1");
  login("host", "h2");
  put("h2", {{{"s", "desk"}, {"user", "ann"}}});
  TRtcDataSet p;
  p.Append();
  p.setAsText("fn", u"desk");
  p.setAsString("d", "small");
  EXPECT_TRUE(relay->put("h2", p).refused.empty());

  // a relay without the bound, or a group outside the list, never refuses this way
  for (int variant = 0; variant < 2; ++variant) {
    RelayConfig c = config();
    if (variant == 0)
      c.lagLimit = 0ms;
    else
      c.boundedGroups = {u"cam"};
    relay = make(c);
    login("host", "h1");
    login("ann", "a1");
    put("h1", {{{"s", "desk"}, {"user", "ann"}}});
    get("a1");
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(send("fn", "desk", 60000).refused.empty());
    get("a1");
    now += 10s;
    EXPECT_TRUE(send("fn", "desk", 60000).refused.empty());
  }
}

// Groups are capped per owner and per member, and ending a user with many groups is bounded.
TEST_F(RelayTest, GroupsAreCappedPerOwnerAndPerMember) {
  RelayConfig c = config();
  c.maxGroupPairs = 3;
  relay = make(c);
  login("ann", "a1");
  login("bob", "b1");
  login("carl", "c1");
  const auto faults = put("a1", {{{"s", "g1"}, {"user", "bob"}},
                                 {{"s", "g2"}, {"user", "bob"}},
                                 {{"s", "g3"}, {"user", "bob"}},
                                 {{"s", "g4"}, {"user", "bob"}},
                                 {{"s", "g1"}, {"user", "bob"}}});  // already in: no fault
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0], "row 4: too many group members");
  EXPECT_EQ(put("c1", {{{"s", "x"}, {"user", "bob"}}}),
            std::vector<std::string>{"row 1: user in too many groups"});
  EXPECT_TRUE(put("a1", {{{"u", "g2"}, {"user", "bob"}}}).empty());  // frees one place
  EXPECT_TRUE(put("c1", {{{"s", "x"}, {"user", "bob"}}}).empty());
  get("b1");
  relay->logout("b1", u"bob");
  EXPECT_TRUE(put("a1", {{{"s", "g5"}, {"user", "carl"}},
                         {{"s", "g6"}, {"user", "carl"}},
                         {{"s", "g7"}, {"user", "carl"}}})
                  .empty());  // bob's places were given back
}

// Receives deferred answers from other threads.
struct SharedSlot : ReplyAssembly {
  bool fill(std::size_t, std::unique_ptr<TRtcValueObject> v) override {
    std::lock_guard<std::mutex> hold(m);
    value = std::move(v);
    cv.notify_all();
    return true;
  }
  std::unique_ptr<TRtcValueObject> wait() {
    std::unique_lock<std::mutex> hold(m);
    cv.wait(hold, [&] { return value != nullptr; });
    return std::move(value);
  }
  std::mutex m;
  std::condition_variable cv;
  std::unique_ptr<TRtcValueObject> value;
};

TEST(RelayThreads, ConcurrentPutsReachAPollingViewerInOrderPerSender) {
  Relay relay(RelayConfig{});
  constexpr int kSenders = 4, kRows = 300;
  auto login = [&](const std::string& name) {
    LoginRequest r;
    r.user = Widen(name);
    r.id = name + "-id";
    relay.login(std::move(r));
  };
  login("viewer");
  for (int s = 0; s < kSenders; ++s) login("s" + std::to_string(s));
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s)
    senders.emplace_back([&relay, s] {
      for (int i = 0; i < kRows; ++i) {
        TRtcDataSet p;
        p.Append();
        p.setAsText("to", u"viewer");
        p.setAsString("d", std::to_string(i));
        relay.put("s" + std::to_string(s) + "-id", p);
      }
    });
  std::vector<int> next(kSenders, 0);
  int total = 0;
  while (total < kSenders * kRows) {
    auto slot = std::make_shared<SharedSlot>();
    auto now = relay.get("viewer-id", DeferredResult(slot, 0));
    if (!now) now = slot->wait();
    auto read = asRead(now.get());
    auto& answer = *read;
    for (int s = 0; s < kSenders; ++s) {
      TRtcArray* items = answer.asArray("s" + std::to_string(s));
      for (int i = 0; items && i < items->Count(); ++i, ++total) {
        ASSERT_EQ(items->asString(i), std::to_string(next[s]++));
      }
    }
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(next, std::vector<int>(kSenders, kRows));
}

TEST(UserStore, ParametersAndPasswordsSurviveAReopen) {
  const auto file =
      std::filesystem::temp_directory_path() / ("vtx-users-" + std::to_string(::getpid()) + ".db");
  std::filesystem::remove(file);
  {
    UserStore store(file.string());
    TRtcBooleanValue yes(true);
    store.setParam(u"Ann", u"RestrictAccess", &yes);
    TRtcRecord users;
    users.setAsBoolean("carl", true);
    users.setAsBoolean("dora", true);
    store.addFields(u"ann", u"AllowUsers", users);
    TRtcRecord gone;
    gone.setAsBoolean("carl", false);
    store.delFields(u"ANN", u"allowusers", gone);
    TRtcTextValue other(u"x");
    store.setParam(u"bob", u"RestrictAccess", &other);
    store.setPassword(u"ann", u"s3cret");
    EXPECT_EQ(store.checkPassword(u"ANN", u"s3cret"), std::optional<bool>(true));
  }
  {
    UserStore store(file.string());
    auto ann = store.params(u"ann");
    EXPECT_TRUE(ann->asBoolean("RestrictAccess"));
    ASSERT_NE(ann->asRecord("AllowUsers"), nullptr);
    EXPECT_TRUE(ann->asRecord("AllowUsers")->asBoolean("dora"));
    EXPECT_TRUE(ann->asRecord("AllowUsers")->isNull("carl"));
    EXPECT_EQ(store.params(u"bob")->asText("RestrictAccess"), u"x");
    store.setParam(u"bob", u"RestrictAccess", nullptr);
    EXPECT_EQ(store.params(u"bob")->FieldCount(), 0);
    EXPECT_EQ(store.checkPassword(u"ann", u"s3cret"), std::optional<bool>(true));
    EXPECT_EQ(store.checkPassword(u"ann", u"S3cret"), std::optional<bool>(false));
    EXPECT_EQ(store.checkPassword(u"bob", u"any"), std::nullopt);
  }
  std::filesystem::remove(file);
  EXPECT_NE(PasswordHash("a", u"p"), PasswordHash("b", u"p"));  // salted
}

}  // namespace
}  // namespace vtx::gateway
