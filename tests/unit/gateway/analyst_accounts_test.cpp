// Analyst accounts: the operator's commands of the real gateway binary on a real SQLite file,
// and the login test the running gateway makes against what they stored.
#include "gateway/analyst_accounts.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/analyst_account.h"
#include "util/text.h"

namespace vtx::gateway {
namespace {

namespace fs = std::filesystem;
using vtx::testing::RunCommand;

class TempDb {
 public:
  TempDb() {
    static int n = 0;
    dir_ = fs::temp_directory_path() /
           ("vtx-analysts-" + std::to_string(::getpid()) + "-" + std::to_string(++n));
    fs::create_directories(dir_);
  }
  ~TempDb() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string path() const { return (dir_ / "gateway.db").string(); }

 private:
  fs::path dir_;
};

TEST(AnalystCommands, ProvisionRefuseClearlyAndList) {
  TempDb db;
  const std::string big(1 << 20, 'p');
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out, err;  // expected within the output / error text
  };
  const std::vector<Case> cases = {
      {{"--add-analyst", "ana"}, "pw-ana\n", 0, "analyst ana added", ""},
      {{"--add-analyst", "ANA"}, "other\n", 1, "", "exists already"},
      {{"--add-analyst", "bob"}, "", 1, "", "no password on standard input"},
      {{"--add-analyst", "bob"}, "\n", 1, "", "no password on standard input"},
      {{"--add-analyst", "bob"}, big, 1, "", "password longer than"},
      {{"--add-analyst", "bob"}, "bad\x07pw\n", 1, "", "password contains control characters"},
      {{"--add-analyst", "b\x01ob"}, "pw\n", 1, "", "name contains control characters"},
      {{"--add-analyst", "bob\n"}, "pw\n", 1, "", "name contains control characters"},
      {{"--add-analyst", " bob"}, "pw\n", 1, "", "starts or ends with a space"},
      {{"--add-analyst", ""}, "pw\n", 1, "", "analyst name is empty"},
      {{"--add-analyst", std::string(65, 'n')}, "pw\n", 1, "", "name longer than"},
      {{"--add-analyst", "bob"}, "pw-bob\r\n", 0, "analyst bob added", ""},
      {{"--disable-analyst", "Ana"}, "", 0, "analyst Ana disabled", ""},
      {{"--list-analysts"}, "", 0, "ana\tdisabled", ""},
      {{"--list-analysts"}, "", 0, "bob\tenabled", ""},
      {{"--enable-analyst", "zed"}, "", 1, "", "no analyst named zed"},
      {{"--remove-analyst", "bob"}, "", 0, "analyst bob removed", ""},
      {{"--remove-analyst", "bob"}, "", 1, "", "no analyst named bob"},
      {{"--audit", "--since", "yesterday"}, "", 1, "", "invalid date for --since"},
      {{"--since", "2026-01-01"}, "", 1, "", "go with --audit"},
      {{"--add-analyst", "cy", "--list-analysts"}, "pw\n", 1, "", "one command at a time"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--db", db.path()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = RunCommand(VTX_GATEWAY_PATH, args, c.input);
    const std::string what = c.args.front() + " " + (c.args.size() > 1 ? c.args[1] : "");
    EXPECT_EQ(r.status, c.status) << what << ": " << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << what << ": " << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << what << ": " << r.err;
  }
  // What the commands left is what the gateway reads.
  AnalystAccounts accounts(db.path());
  ASSERT_EQ(accounts.list().size(), 1u);
  EXPECT_FALSE(accounts.list()[0].enabled);
  EXPECT_TRUE(accounts.enabledNames().empty());

  const auto r = RunCommand(
      VTX_GATEWAY_PATH,
      {"--db", (fs::path(db.path()) / "no" / "x.db").string(), "--add-analyst", "dan"}, "pw\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open database"), std::string::npos) << r.err;
}

TEST(AnalystAccounts, LoginTestTellsEveryState) {
  TempDb db;
  AnalystAccounts accounts(db.path());
  accounts.add("Ana", "ana-pw");
  accounts.add("off", "off-pw");
  accounts.setEnabled("OFF", false);
  accounts.add("changed", "old-pw");
  accounts.setPassword("changed", "new-pw");
  using Check = AnalystAccounts::Check;
  struct Case {
    const char16_t* user;
    RtcWideString password;
    Check expected;
  };
  const std::vector<Case> cases = {
      {u"ana", u"ana-pw", Check::Match},
      {u"ANA", u"ana-pw", Check::Match},
      {u"ana", u"shared-pw", Check::Mismatch},
      {u"ana", u"", Check::Mismatch},
      {u"ana", u"ANA-PW", Check::Mismatch},
      {u"ana", RtcWideString(1 << 20, u'a'), Check::Mismatch},
      {u"off", u"off-pw", Check::Disabled},
      {u"changed", u"old-pw", Check::Mismatch},
      {u"changed", u"new-pw", Check::Match},
      {u"cust", u"anything", Check::NotAnalyst},
      {u"an", u"ana-pw", Check::NotAnalyst},
  };
  for (const auto& c : cases)
    EXPECT_EQ(accounts.check(c.user, c.password), c.expected) << Utf8Encode(c.user);
  EXPECT_TRUE(accounts.known(u"OFF"));
  EXPECT_FALSE(accounts.known(u"cust"));
  EXPECT_THROW(accounts.setPassword("nobody", "pw"), std::runtime_error);
  EXPECT_THROW(accounts.setPassword("ana", ""), std::invalid_argument);

  // Another connection's change is seen by the version the running gateway polls.
  const auto before = accounts.version();
  AnalystAccounts(db.path()).setEnabled("ana", false);
  EXPECT_NE(accounts.version(), before);
  EXPECT_EQ(accounts.check(u"ana", u"ana-pw"), Check::Disabled);
}

}  // namespace
}  // namespace vtx::gateway
