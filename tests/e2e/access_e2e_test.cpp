// Who gets in, with real parts: the gateway process with analyst accounts in its database, the
// headless host (vtxtool host) as the customer, and the analyst console. Only a provisioned
// analyst with its own password reaches the customer; a copy of the program's shared password
// gets nothing, and the audit trail lists the access.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/e2e_process.h"
#include "e2e/gateway_child.h"
#include "support/analyst_account.h"
#include "support/xvfb_display.h"

namespace vtx {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using e2e::Child;
using e2e::readAll;
using e2e::waitForText;
using test::XvfbDisplay;

const char* const kShared = "fyduzAKrpRQdnnwXjRM";  // in every copy of the program
const char* const kSecureKey = "kgQWdXnb5mVpW";
const char* const kOwn = "ana-own-Pw-41";

class Access : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vtx-access-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    db_ = (dir_ / "gateway.db").string();
    testing::ProvisionAnalyst(VTX_GATEWAY_PATH, db_, "ana", kOwn);
    gw_ = std::make_unique<testing::GatewayChild>(
        std::vector<std::string>{"--threads", "2", "--login-password", kShared, "--secure-key",
                                 kSecureKey, "--db", db_, "--get-hold", "2", "--force-encryption",
                                 "--login-failures", "1000"},
        testing::GatewayChild::Transport::Tls, true);
    xvfb_ = std::make_unique<XvfbDisplay>("320x200x24");
    fs::create_directories(dir_ / "remote");
    std::ofstream(dir_ / "remote" / "secret.txt") << "customer data";
    std::vector<std::string> env = {"XDG_DATA_HOME=" + (dir_ / "data").string()};
    if (!xvfb_->name().empty()) env.push_back("DISPLAY=" + xvfb_->name());
    host_ = std::make_unique<Child>(
        std::vector<std::string>{VTX_TOOL_PATH, "host", "--gateway", "127.0.0.1:" + gw_->port(),
                                 "--user", "cust", "--password", kShared, "--key", kSecureKey,
                                 "--inbox", (dir_ / "inbox").string(), "--tls-ca", gw_->caFile()},
        dir_ / "host.out", env);
    ASSERT_TRUE(waitForText(dir_ / "host.out", "\"show\":\"ready\"", 20s));
  }
  void TearDown() override {
    host_.reset();
    gw_.reset();
    std::error_code ec;
    if (!dir_.empty() && !std::getenv("VTX_KEEP_E2E")) fs::remove_all(dir_, ec);
  }

  // Runs one console command as `user` with `password` to its end; its exit code. Output in
  // dir_/<name>, errors in dir_/<name>.err.
  int console(const std::string& name, const std::string& user, const std::string& password,
              std::vector<std::string> command) {
    std::vector<std::string> a = {VTX_ANALYST_PATH, "--gateway",  "127.0.0.1:" + gw_->port(),
                                  "--user",         user,         "--password",
                                  password,         "--key",      kSecureKey,
                                  "--tls-ca",       gw_->caFile()};
    a.insert(a.end(), command.begin(), command.end());
    Child c(a, dir_ / name);
    return c.wait(90s);
  }
  std::string out(const std::string& name) { return readAll(dir_ / name); }
  std::string err(const std::string& name) { return readAll(dir_ / (name + ".err")); }
  std::string hostOut() { return readAll(dir_ / "host.out"); }

  fs::path dir_;
  std::string db_;
  std::unique_ptr<testing::GatewayChild> gw_;
  std::unique_ptr<XvfbDisplay> xvfb_;
  std::unique_ptr<Child> host_;
};

TEST_F(Access, OnlyTheAnalystWithItsOwnPasswordReachesTheCustomer) {
  const std::string remote = (dir_ / "remote").string();
  const std::string secret = (dir_ / "remote" / "secret.txt").string();
  struct Step {
    std::string name;
    std::vector<std::string> command;
  };
  const std::vector<Step> steps = {
      {"hosts", {"--json", "--for", "1", "hosts"}},
      {"ls", {"--wait", "3", "ls", "cust", remote}},
      {"fetch", {"--wait", "3", "fetch", "cust", secret, "FETCHED"}},
      {"chat", {"--wait", "3", "--for", "1", "chat", "cust", "hello from NAME"}},
      {"cmd", {"--wait", "3", "cmd", "cust", "<CMD-NAME>"}},
      {"clip", {"--wait", "3", "clip", "cust", "get"}},
      {"view", {"--wait", "3", "view", "cust", "--png", "PNG"}},
  };
  auto run = [&](const std::string& who, const std::string& password, const Step& s) {
    std::vector<std::string> command;
    for (std::string part : s.command) {
      if (part == "FETCHED") part = (dir_ / (who + "-fetched")).string();
      if (part == "PNG") part = (dir_ / (who + ".png")).string();
      if (const auto at = part.find("NAME"); at != std::string::npos) part.replace(at, 4, who);
      command.push_back(part);
    }
    return console(who + "-" + s.name, who, password, command);
  };

  // An intruder holding only what ships in every copy of the program.
  for (const auto& s : steps) {
    SCOPED_TRACE("intruder " + s.name);
    const int code = run("mallory", kShared, s);
    if (s.name == "hosts") {
      EXPECT_EQ(out("mallory-hosts").find("cust"), std::string::npos) << out("mallory-hosts");
    } else {
      EXPECT_NE(code, 0) << err("mallory-" + s.name);
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "mallory-fetched" / "secret.txt"));
  EXPECT_FALSE(fs::exists(dir_ / "mallory.png"));

  // The analyst's name with the shared password is refused as a wrong password.
  EXPECT_EQ(console("ana-shared", "ana", kShared, {"hosts"}), 4) << err("ana-shared");

  // The analyst with its own password does all of it.
  for (const auto& s : steps) {
    SCOPED_TRACE("analyst " + s.name);
    if (s.name == "view" && xvfb_->name().empty()) continue;  // no screen to view
    EXPECT_EQ(run("ana", kOwn, s), 0) << err("ana-" + s.name);
  }
  EXPECT_NE(out("ana-hosts").find("cust"), std::string::npos) << out("ana-hosts");
  EXPECT_EQ(readAll(dir_ / "ana-fetched" / "secret.txt"), "customer data");
  EXPECT_TRUE(waitForText(dir_ / "host.out", "<CMD-ana>", 10s));
  EXPECT_TRUE(waitForText(dir_ / "host.out", "hello from ana", 10s));
  // The host never saw the intruder.
  EXPECT_EQ(hostOut().find("mallory"), std::string::npos) << hostOut();

  // The audit trail lists the analyst's access, with times.
  std::string audit;
  for (int i = 0; i < 50; ++i) {  // the last access ends as its console logs out
    audit = testing::AuditOutput(VTX_GATEWAY_PATH, db_, {"--analyst", "ana"});
    if (audit.find("access-end\tanalyst=ana\thost=cust\tmodule=files") != std::string::npos) break;
    std::this_thread::sleep_for(100ms);
  }
  for (const char* expected :
       {"analyst-login\tanalyst=ana", "access-start\tanalyst=ana\thost=cust\tmodule=chat",
        "access-start\tanalyst=ana\thost=cust\tmodule=files", "analyst-logout\tanalyst=ana"})
    EXPECT_NE(audit.find(expected), std::string::npos) << expected << "\n" << audit;
  if (!xvfb_->name().empty()) {
    EXPECT_NE(audit.find("host=cust\tmodule=desktop"), std::string::npos) << audit;
  }
  EXPECT_EQ(audit.find("mallory"), std::string::npos);
  EXPECT_EQ(testing::AuditOutput(VTX_GATEWAY_PATH, db_, {"--analyst", "mallory"}), "");
}

TEST_F(Access, ADisabledAnalystIsCutOffMidSession) {
  Child ana(std::vector<std::string>{VTX_ANALYST_PATH, "--gateway", "127.0.0.1:" + gw_->port(),
                                     "--user", "ana", "--password", kOwn, "--key", kSecureKey,
                                     "--tls-ca", gw_->caFile(), "session"},
            dir_ / "session.out");
  ana.send("chat cust still here");
  ASSERT_TRUE(waitForText(dir_ / "host.out", "still here", 20s)) << readAll(dir_ / "session.out");
  testing::ChangeAnalyst(VTX_GATEWAY_PATH, db_, "--disable-analyst", "ana");
  const int code = ana.wait(60s);
  EXPECT_NE(code, 0);
  EXPECT_NE(code, -1) << "the console was not cut off";
  // And it cannot come back until enabled again.
  EXPECT_NE(console("again", "ana", kOwn, {"hosts"}), 0);
  EXPECT_NE(err("again").find("disabled"), std::string::npos) << err("again");
  testing::ChangeAnalyst(VTX_GATEWAY_PATH, db_, "--enable-analyst", "ana");
  EXPECT_EQ(console("back", "ana", kOwn, {"--json", "--for", "1", "hosts"}), 0) << err("back");
}

}  // namespace
}  // namespace vtx
