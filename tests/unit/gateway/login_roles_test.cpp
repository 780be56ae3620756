// Roles at login through the relay's functions behind the request core: analysts only with
// their own password, hosts with the shared one, and what a host may not do or read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "gateway/analyst_accounts.h"
#include "gateway/relay_functions.h"
#include "gateway/request_core.h"
#include "protocol_client.h"
#include "util/text.h"

namespace vtx::gateway {
namespace {

using testing::ProtocolClient;
using testing::Reply;
using Results = std::vector<std::unique_ptr<TRtcValue>>;

class RoleGateway {
 public:
  explicit RoleGateway(LoginLimits limits = {1000, 1000})
      : db_((std::filesystem::temp_directory_path() /
             ("vtx-roles-" + std::to_string(::getpid()) + "-" + std::to_string(++counter_) + ".db"))
                .string()),
        sessions_(std::chrono::hours(1), 100),
        store_(":memory:"),
        accounts_(db_),
        relay_(RelayConfig{}, [this](const std::string& l) { logs.push_back(l); }) {
    accounts_.add("ana", "ana-pw");
    accounts_.add("off", "off-pw");
    accounts_.setEnabled("off", false);
    AddRelayFunctions(functions_, relay_, store_, AccountConfig{"shared-pw", true, limits},
                      &accounts_, [this](const std::string& l) { logs.push_back(l); });
    core_ = std::make_unique<RequestCore>(CoreConfig{}, functions_, sessions_, random_);
  }
  ~RoleGateway() {
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
      std::filesystem::remove(db_ + suffix, ec);
  }
  std::unique_ptr<ProtocolClient> client() {
    auto c = std::make_unique<ProtocolClient>(
        [this](const std::string& target, const std::string& body) {
          std::optional<GatewayResponse> answer;
          core_->handle(GatewayRequest{"POST", target, {}, body, "127.0.0.1"},
                        [&answer](GatewayResponse r) { answer = std::move(r); });
          if (!answer) return Reply{-2, {}, {}};
          return Reply{answer->status, answer->body, answer->sessionId};
        },
        ProtocolClient::Settings{}, ++seed_);
    EXPECT_EQ(c->handshake(), 200);
    return c;
  }
  bool logged(const char* event) const {
    for (const auto& l : logs)
      if (l.find(event) != std::string::npos) return true;
    return false;
  }
  const std::string& db() const { return db_; }
  AnalystAccounts& accounts() { return accounts_; }
  Relay& relay() { return relay_; }
  std::vector<std::string> logs;

 private:
  static inline int counter_ = 0;
  std::string db_;
  unsigned seed_ = 0;
  FunctionRegistry functions_;
  SessionStore sessions_;
  RandomSource random_;
  UserStore store_;
  AnalystAccounts accounts_;
  Relay relay_;
  std::unique_ptr<RequestCore> core_;
};

std::unique_ptr<TRtcFunctionInfo> loginCall(const std::string& user, const std::string& pwd,
                                            const std::string& id = {}) {
  auto f = std::make_unique<TRtcFunctionInfo>(u"Login");
  f->setAsText("user", Utf8Decode(user));
  f->setAsText("pwd", Utf8Decode(pwd));
  f->setAsString("id", id.empty() ? user + "-id" : id);
  return f;
}

std::unique_ptr<TRtcValue> call(std::unique_ptr<ProtocolClient>& c, const TRtcFunctionInfo& f) {
  Results r;
  EXPECT_EQ(c->call(f, r), 200);
  if (r.size() != 1) return std::make_unique<TRtcValue>();
  return std::move(r[0]);
}

std::unique_ptr<TRtcValue> call(std::unique_ptr<ProtocolClient>& c,
                                const std::unique_ptr<TRtcFunctionInfo>& f) {
  return call(c, *f);
}

// The refusal text of a result; empty when it is no exception.
std::string refusal(const TRtcValue& v) {
  return v.isType() == rtc_Exception ? Utf8Encode(v.asException()) : std::string();
}

TEST(LoginRoles, AnalystsOnlyWithTheirOwnPasswordEveryoneElseAHost) {
  RoleGateway g;
  struct Case {
    std::string user, pwd, refused;  // refused: the exception text; empty = admitted
    Role role;
  };
  const std::vector<Case> cases = {
      {"ana", "ana-pw", "", Role::Analyst},
      {"ana", "shared-pw", "Invalid user name or password.", Role::Host},
      {"ANA", "wrong", "Invalid user name or password.", Role::Host},
      {"ana", std::string(60000, 'a'), "Invalid user name or password.", Role::Host},
      {"off", "off-pw", "This analyst account is disabled.", Role::Host},
      {"off", "shared-pw", "This analyst account is disabled.", Role::Host},
      {"cust", "shared-pw", "", Role::Host},
      {"cust2", "ana-pw", "Invalid user name or password.", Role::Host},
      {"cust3", "", "Invalid user name or password.", Role::Host},
      {"cu\x01st", "shared-pw", "Invalid user name or password.", Role::Host},
      {"cu\x7fst", "shared-pw", "Invalid user name or password.", Role::Host},
      {" ana\t", "shared-pw", "Invalid user name or password.", Role::Host},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user + " / " + c.pwd.substr(0, 16));
    auto client = g.client();
    EXPECT_EQ(refusal(*call(client, loginCall(c.user, c.pwd))), c.refused);
    if (c.refused.empty()) {
      EXPECT_EQ(g.relay().roleOf(c.user + "-id"), c.role);
    }
  }
  EXPECT_TRUE(g.logged("login-refused"));
}

// A second login under a live name replaces the first session. An analyst's replaced session
// (another console command under its name) is told why in words its client can print; a host's
// keeps today's answer.
TEST(LoginRoles, AReplacedAnalystSessionIsToldItWasLoggedInElsewhere) {
  struct Case {
    std::string user, pwd, refusal;
  };
  const std::vector<Case> cases = {
      {"ana", "ana-pw", "Logged in again elsewhere."},
      {"cust", "shared-pw", "LOGGED OUT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user);
    RoleGateway g;
    auto first = g.client();
    ASSERT_EQ(refusal(*call(first, loginCall(c.user, c.pwd, c.user + "-1"))), "");
    auto second = g.client();
    ASSERT_EQ(refusal(*call(second, loginCall(c.user, c.pwd, c.user + "-2"))), "");
    EXPECT_EQ(g.relay().userOf(c.user + "-2"), Utf8Decode(c.user));

    // The replaced session's next call ends its protocol session; its client then logs in
    // again with its id and reads why.
    Results r;
    EXPECT_EQ(first->call(TRtcFunctionInfo(u"Get"), r), 410);
    auto again = g.client();
    auto relogin = loginCall(c.user, c.pwd, c.user + "-1");
    relogin->setFunctionName(u"ReLogin");
    EXPECT_EQ(refusal(*call(again, relogin)), c.refusal);
    EXPECT_EQ(g.relay().userOf(c.user + "-2"), Utf8Decode(c.user));  // untouched
  }
}

TEST(LoginRoles, AHostListsNobodyClaimsNoPasswordAndReadsAnalystsOnly) {
  RoleGateway g;
  auto ana = g.client(), cust = g.client();
  ASSERT_EQ(refusal(*call(ana, loginCall("ana", "ana-pw"))), "");
  ASSERT_EQ(refusal(*call(cust, loginCall("cust", "shared-pw"))), "");

  TRtcFunctionInfo control(u"Control");
  control.setAsBoolean("on", true);
  EXPECT_EQ(refusal(*call(cust, control)), "Only analysts may do this.");
  EXPECT_TRUE(g.logged("control-refused"));
  EXPECT_EQ(refusal(*call(ana, control)), "");

  auto change = [](const char* user, const char* old, const char* fresh) {
    auto f = std::make_unique<TRtcFunctionInfo>(u"ChangePwd");
    f->setAsText("username", Widen(user));
    f->setAsText("oldpassword", Widen(old));
    f->setAsText("newpassword", Widen(fresh));
    return f;
  };
  EXPECT_EQ(refusal(*call(cust, change("cust", "shared-pw", "mine"))),
            "Only analysts may do this.");
  EXPECT_EQ(refusal(*call(ana, change("ana", "ana-pw", "bad\x01"))),
            "The new password contains control characters.");
  EXPECT_EQ(call(ana, change("ana", "ana-pw", "ana-new"))->asText(), u"Password changed.");
  EXPECT_EQ(g.accounts().check(u"ana", u"ana-new"), AnalystAccounts::Check::Match);
  EXPECT_FALSE(g.accounts().known(u"cust"));  // no account was made for the host

  // A host's own access parameters are ignored; it reads "the enabled analysts only".
  TRtcFunctionInfo set(u"User.Set");
  set.setAsBoolean("RestrictAccess", false);
  set.setAsText("Theme", u"dark");
  EXPECT_EQ(refusal(*call(cust, set)), "");
  TRtcFunctionInfo add(u"User.Add");
  add.NewRecord("AllowUsers").setAsBoolean("intruder", true);
  EXPECT_EQ(refusal(*call(cust, add)), "");
  EXPECT_TRUE(g.logged("access-param-ignored"));
  auto params = call(cust, TRtcFunctionInfo(u"User.Get"));
  TRtcRecord* p = params->asRecord();
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->asBoolean("RestrictAccess"));
  EXPECT_EQ(p->asText("Theme"), u"dark");
  for (const char* list : {"AllowUsers", "SuperUsers"}) {
    TRtcRecord* names = p->asRecord(list);
    ASSERT_NE(names, nullptr) << list;
    EXPECT_EQ(names->FieldCount(), 1) << list;  // "off" is disabled, "intruder" ignored
    EXPECT_TRUE(names->asBoolean("ana")) << list;
  }
  // An analyst's own parameters are its own.
  EXPECT_EQ(refusal(*call(ana, set)), "");
  auto mine = call(ana, TRtcFunctionInfo(u"User.Get"));
  ASSERT_NE(mine->asRecord(), nullptr);
  EXPECT_FALSE(mine->asRecord()->asBoolean("RestrictAccess"));
}

TEST(LoginRoles, GuessingAnAnalystWithTheSharedPasswordIsSlowedAndOthersGoOn) {
  RoleGateway g(LoginLimits{1000, 3});
  auto intruder = g.client();
  std::vector<std::string> seen;
  for (int i = 0; i < 5; ++i)
    seen.push_back(refusal(*call(intruder, loginCall("ana", "shared-pw"))));
  EXPECT_EQ(seen.front(), "Invalid user name or password.");
  EXPECT_EQ(seen.back(), "Too many failed logins; try again later.");
  auto cust = g.client();
  EXPECT_EQ(refusal(*call(cust, loginCall("cust", "shared-pw"))), "");
}

TEST(LoginRoles, ADisabledOrRemovedAnalystIsCutOff) {
  RoleGateway g;
  g.accounts().add("bea", "bea-pw");
  auto ana = g.client(), bea = g.client(), cust = g.client();
  ASSERT_EQ(refusal(*call(ana, loginCall("ana", "ana-pw"))), "");
  ASSERT_EQ(refusal(*call(bea, loginCall("bea", "bea-pw"))), "");
  ASSERT_EQ(refusal(*call(cust, loginCall("cust", "shared-pw"))), "");
  EndWithdrawnAnalysts(g.relay(), g.accounts());  // nothing withdrawn yet
  EXPECT_EQ(g.relay().usersWithRole(Role::Analyst).size(), 2u);

  AnalystAccounts operatorSide(g.db());
  operatorSide.setEnabled("ana", false);
  operatorSide.remove("bea");
  EndWithdrawnAnalysts(g.relay(), g.accounts());
  EXPECT_TRUE(g.relay().usersWithRole(Role::Analyst).empty());
  EXPECT_EQ(g.relay().usersWithRole(Role::Host).size(), 1u);
  EXPECT_THROW(g.relay().userOf("ana-id"), std::exception);
  auto again = g.client();
  EXPECT_EQ(refusal(*call(again, loginCall("ana", "ana-pw"))), "This analyst account is disabled.");
  // A removed analyst's name is an ordinary host name again.
  auto bea2 = g.client();
  EXPECT_EQ(refusal(*call(bea2, loginCall("bea", "shared-pw", "bea-2"))), "");
  EXPECT_EQ(g.relay().roleOf("bea-2"), Role::Host);
  // Provisioned again, the name is taken back from the host that held it.
  operatorSide.add("bea", "bea-pw2");
  EndWithdrawnAnalysts(g.relay(), g.accounts());
  EXPECT_THROW(g.relay().userOf("bea-2"), std::exception);
  EXPECT_EQ(g.relay().usersWithRole(Role::Host), std::vector<RtcWideString>{u"cust"});
}

}  // namespace
}  // namespace vtx::gateway
