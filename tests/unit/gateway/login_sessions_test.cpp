// The session table's room rules (who makes room, per address, logged-in sessions kept, a
// login taking its sessions along) and the relay's login rules that bound what one client or
// address can hold (re-login of unknown ids, users per address, keeping a live session).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gateway/relay.h"
#include "gateway/session.h"
#include "util/exceptions.h"
#include "util/text.h"

namespace vtx::gateway {
namespace {

using namespace std::chrono_literals;

class Table {
 public:
  explicit Table(std::size_t max, std::size_t perPeer = 0)
      : store(
            60s, max, [this] { return now; }, perPeer) {}
  std::string open(const std::string& peer) {
    const std::string id = "s" + std::to_string(++n_);
    return store.create(id, peer) ? id : std::string();
  }
  bool alive(const std::string& id) { return store.find(id) != nullptr; }

  Clock::time_point now{};
  SessionStore store;

 private:
  int n_ = 0;
};

TEST(SessionTable, TheLeastRecentlyUsedSessionNotLoggedInMakesRoom) {
  Table t(3);
  const auto a = t.open("10.0.0.1"), b = t.open("10.0.0.1"), c = t.open("10.0.0.2");
  t.now += 1s;
  ASSERT_TRUE(t.alive(a));  // a is now more recent than b and c
  ASSERT_TRUE(t.store.bind(c, "login-c"));
  const auto d = t.open("10.0.0.3");
  ASSERT_FALSE(d.empty());
  EXPECT_FALSE(t.alive(b));  // the oldest not logged in
  EXPECT_TRUE(t.alive(a));
  EXPECT_TRUE(t.alive(c));
  EXPECT_TRUE(t.store.loggedIn(c));
  EXPECT_FALSE(t.store.loggedIn(a));
  ASSERT_TRUE(t.store.bind(a, "login-a"));
  ASSERT_TRUE(t.store.bind(d, "login-d"));
  EXPECT_TRUE(t.open("10.0.0.4").empty());  // all logged in: no room
  EXPECT_EQ(t.store.size(), 3u);
  EXPECT_EQ(t.store.evicted(), 1u);
  t.now += 61s;  // idle sessions still go, logged in or not
  EXPECT_FALSE(t.open("10.0.0.4").empty());
  EXPECT_EQ(t.store.size(), 1u);
}

TEST(SessionTable, AFloodFromOneAddressPushesOutOnlyItsOwnSessions) {
  Table t(100, 10);
  const auto other = t.open("10.0.0.9");
  const auto mine = t.open("10.0.0.1");
  ASSERT_TRUE(t.store.bind(mine, "login-1"));
  for (int i = 0; i < 10000; ++i) ASSERT_FALSE(t.open("10.0.0.1").empty()) << i;
  EXPECT_EQ(t.store.peerSize("10.0.0.1"), 10u);
  EXPECT_EQ(t.store.size(), 11u);
  EXPECT_TRUE(t.alive(other));
  EXPECT_TRUE(t.alive(mine));
  for (int i = 0; i < 9; ++i) t.store.bind(t.open("10.0.0.1"), "login-x" + std::to_string(i));
  EXPECT_TRUE(t.open("10.0.0.1").empty());   // its share is all logged in
  EXPECT_FALSE(t.open("10.0.0.2").empty());  // others still get in
}

TEST(SessionTable, ALoginTakesItsSessionsAlongAndBindsOnlyOnce) {
  Table t(10);
  const auto get = t.open("10.0.0.1"), put = t.open("10.0.0.1"), other = t.open("10.0.0.2");
  EXPECT_TRUE(t.store.bind(get, "id-1"));
  EXPECT_TRUE(t.store.bind(put, "id-1"));
  EXPECT_TRUE(t.store.bind(put, "id-1"));   // the same id again is fine
  EXPECT_FALSE(t.store.bind(put, "id-2"));  // another one is not
  EXPECT_TRUE(t.store.bind(other, "id-2"));
  EXPECT_FALSE(t.store.bind("gone", "id-3"));
  auto dropped = t.store.dropLogin("id-1");
  std::sort(dropped.begin(), dropped.end());
  EXPECT_EQ(dropped, (std::vector<std::string>{get, put}));
  EXPECT_FALSE(t.alive(get));
  EXPECT_FALSE(t.alive(put));
  EXPECT_TRUE(t.alive(other));
  EXPECT_EQ(t.store.peerSize("10.0.0.1"), 0u);
  EXPECT_TRUE(t.store.dropLogin("id-1").empty());
  t.store.remove(other);  // a removed session leaves no trace behind its login id
  EXPECT_TRUE(t.store.dropLogin("id-2").empty());
  EXPECT_EQ(t.store.size(), 0u);
}

class LoginRules : public ::testing::Test {
 protected:
  void make(RelayConfig c = {}) {
    relay = std::make_unique<Relay>(c, [this](const std::string& l) { logs.push_back(l); });
    relay->onEnded([this](const std::string& id) { ended.push_back(id); });
  }
  // The refusal's text, or "" when the login went through.
  std::string login(const char* user, const std::string& id, const std::string& peer,
                    bool relogin = false) {
    LoginRequest r;
    r.user = Widen(user);
    r.id = id;
    r.peer = peer;
    r.relogin = relogin;
    try {
      relay->login(std::move(r));
      return {};
    } catch (const ERtcInfo& e) {
      return e.what();
    }
  }
  bool logged(const char* needle) const {
    for (const auto& l : logs)
      if (l.find(needle) != std::string::npos) return true;
    return false;
  }

  std::unique_ptr<Relay> relay;
  std::vector<std::string> logs, ended;
};

TEST_F(LoginRules, AReLoginOfAnUnknownIdIsRefusedRecoverably) {
  make();
  EXPECT_EQ(login("ann", "never-seen", "10.0.0.1", true), Relay::kUnknownId);
  EXPECT_EQ(relay->userCount(), 0u);
  EXPECT_EQ(login("ann", "a-1", "10.0.0.1"), "");
  EXPECT_EQ(login("ann", "a-1", "10.0.0.1", true), "");  // the other channel of the same client
  relay->logout("a-1", u"ann");
  EXPECT_EQ(ended, (std::vector<std::string>{"a-1"}));
  EXPECT_EQ(login("ann", "a-1", "10.0.0.1", true), Relay::kLoggedOut);  // ended: for good
  EXPECT_EQ(login("ann", std::string(Relay::kMaxIdLength + 1, 'x'), "10.0.0.1"),
            "Login id too long.");
}

TEST_F(LoginRules, AReplacementIsLoggedWithBothAddressesAndEndsTheOldId) {
  make();
  EXPECT_EQ(login("ann", "a-1", "10.0.0.1"), "");
  EXPECT_EQ(login("ANN", "a-2", "10.0.0.2"), "");
  EXPECT_EQ(ended, (std::vector<std::string>{"a-1"}));
  EXPECT_TRUE(logged("event=user-replaced user=ann peer=10.0.0.1 by=10.0.0.2"));
  EXPECT_EQ(login("ann", "a-1", "10.0.0.1", true), Relay::kLoggedOut);
  EXPECT_EQ(Utf8Encode(relay->userOf("a-2")), "ANN");
}

TEST_F(LoginRules, KeepingLiveSessionsRefusesReplacementFromAnotherAddressOnly) {
  RelayConfig c;
  c.keepLiveSessions = true;
  make(c);
  EXPECT_EQ(login("ann", "a-1", "10.0.0.1"), "");
  EXPECT_EQ(login("ann", "a-2", "10.0.0.2"), Relay::kLiveElsewhere);
  EXPECT_TRUE(logged("event=replace-refused user=ann peer=10.0.0.1 by=10.0.0.2"));
  EXPECT_EQ(Utf8Encode(relay->userOf("a-1")), "ann");
  EXPECT_TRUE(ended.empty());
  EXPECT_EQ(login("ann", "a-3", "10.0.0.1"), "");  // the same address restarting the program
  EXPECT_EQ(ended, (std::vector<std::string>{"a-1"}));
  relay->logout("a-3", u"ann");
  EXPECT_EQ(login("ann", "a-4", "10.0.0.2"), "");  // once it ended, anyone may log in
}

TEST_F(LoginRules, OneAddressHoldsOnlySoManyUsers) {
  RelayConfig c;
  c.usersPerPeer = 3;
  make(c);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(login(("u" + std::to_string(i)).c_str(), "id" + std::to_string(i), "10.0.0.1"), "");
  EXPECT_EQ(login("u9", "id9", "10.0.0.1"), Relay::kTooManyUsers);
  EXPECT_EQ(login("u0", "id0b", "10.0.0.1"), "");  // replacing its own user is fine
  EXPECT_EQ(login("u9", "id9", "10.0.0.2"), "");   // another address is not affected
  relay->logout("id1", u"u1");
  EXPECT_EQ(login("u8", "id8", "10.0.0.1"), "");  // a logout gives the place back
  EXPECT_EQ(relay->userCount(), 4u);
}

}  // namespace
}  // namespace vtx::gateway
