#include "gateway/options.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vtx::gateway {
namespace {

TEST(GatewayOptions, DefaultsBlackBoxLineAndRefusals) {
  const GatewayOptions d = ParseGatewayOptions({});
  EXPECT_EQ(d.server.address, "127.0.0.1");
  EXPECT_EQ(d.server.port, 1025);
  EXPECT_EQ(d.core.path, "/$rdgate");
  EXPECT_FALSE(d.echo);

  const GatewayOptions o = ParseGatewayOptions(
      {"--listen", "127.0.0.1:4321", "--secure-key", "K", "--encryption", "0", "--force-encryption",
       "--enable-echo", "--path", "gate", "--session-timeout", "0.25", "--max-request-size", "1000",
       "--compression", "max"});
  EXPECT_EQ(o.server.port, 4321);
  EXPECT_EQ(o.core.secureKey, "K");
  EXPECT_EQ(o.core.encryptionKey, 16u);  // forcing needs a key length
  EXPECT_TRUE(o.core.forceEncryption && o.echo);
  EXPECT_EQ(o.core.path, "/gate");
  EXPECT_EQ(o.sessionTimeout, std::chrono::milliseconds(250));
  EXPECT_EQ(o.server.maxBody, 1000u);
  EXPECT_EQ(o.core.maxBody, 1000u);
  EXPECT_EQ(o.core.compression, Compression::Max);

  for (std::vector<std::string> bad : {std::vector<std::string>{"--listen", "127.0.0.1"},
                                       {"--listen", "h:70000"},
                                       {"--encryption", "-1"},
                                       {"--session-timeout", "0"},
                                       {"--session-timeout", "x"},
                                       {"--compression", "lots"},
                                       {"--max-request-size", "0"},
                                       {"--threads"},
                                       {"--bogus"}})
    EXPECT_THROW(ParseGatewayOptions(bad), std::invalid_argument) << bad[0];
}

TEST(GatewayOptions, RelayOptions) {
  const GatewayOptions d = ParseGatewayOptions({});
  EXPECT_EQ(d.relay.getHold, std::chrono::seconds(25));
  EXPECT_EQ(d.relay.loginTimeout, std::chrono::seconds(120));
  EXPECT_EQ(d.relay.queueLimit, 8u << 20);
  EXPECT_TRUE(d.db.empty() && d.accounts.loginPassword.empty());
  EXPECT_EQ(std::filesystem::path(DefaultDatabasePath()).filename(), "gateway.db");

  const GatewayOptions o =
      ParseGatewayOptions({"--db", ":memory:", "--login-password", "pw", "--get-hold", "1.5",
                           "--login-timeout", "30", "--queue-limit", "65536"});
  EXPECT_EQ(o.db, ":memory:");
  EXPECT_EQ(o.accounts.loginPassword, "pw");
  EXPECT_EQ(o.relay.getHold, std::chrono::milliseconds(1500));
  EXPECT_EQ(o.relay.loginTimeout, std::chrono::seconds(30));
  EXPECT_EQ(o.relay.queueLimit, 65536u);
  for (std::vector<std::string> bad : {std::vector<std::string>{"--get-hold", "0"},
                                       {"--login-timeout", "-3"},
                                       {"--queue-limit", "0"},
                                       {"--db", ""},
                                       {"--login-password"}})
    EXPECT_THROW(ParseGatewayOptions(bad), std::invalid_argument) << bad[0];
  for (const char* option :
       {"--db", "--login-password", "--get-hold", "--login-timeout", "--queue-limit"})
    EXPECT_NE(std::string(kGatewayUsage).find(option), std::string::npos) << option;
}

TEST(GatewayOptions, LagBound) {
  const GatewayOptions d = ParseGatewayOptions({});
  EXPECT_EQ(d.relay.lagLimit, std::chrono::milliseconds(500));
  EXPECT_EQ(d.relay.boundedGroups, (std::vector<RtcWideString>{u"desk", u"idesk"}));
  const GatewayOptions o =
      ParseGatewayOptions({"--lag-limit", "2.5", "--bounded-groups", ",screen,,cam"});
  EXPECT_EQ(o.relay.lagLimit, std::chrono::milliseconds(2500));
  EXPECT_EQ(o.relay.boundedGroups, (std::vector<RtcWideString>{u"screen", u"cam"}));
  EXPECT_EQ(ParseGatewayOptions({"--lag-limit", "0"}).relay.lagLimit.count(), 0);
  EXPECT_TRUE(ParseGatewayOptions({"--bounded-groups", ""}).relay.boundedGroups.empty());
  EXPECT_THROW(ParseGatewayOptions({"--lag-limit", "-1"}), std::invalid_argument);
  EXPECT_THROW(ParseGatewayOptions({"--lag-limit", "soon"}), std::invalid_argument);
}

}  // namespace
}  // namespace vtx::gateway

namespace vtx::gateway {
namespace {

TEST(GatewayOptions, SessionAndLoginLimits) {
  const GatewayOptions d = ParseGatewayOptions({});
  EXPECT_EQ(d.maxSessionsPerPeer, 1024u);
  EXPECT_EQ(d.core.maxBodyBeforeLogin, 64u << 10);
  EXPECT_EQ(d.server.maxBodyBeforeLogin, 64u << 10);
  EXPECT_EQ(d.relay.usersPerPeer, 256u);
  EXPECT_TRUE(d.relay.keepLiveSessions);
  const GatewayOptions o =
      ParseGatewayOptions({"--max-sessions-per-peer", "7", "--max-request-size-before-login",
                           "4096", "--max-users-per-peer", "3", "--keep-live-sessions",
                           "--param-quota", "500", "--max-ended-ids", "12"});
  EXPECT_EQ(o.maxSessionsPerPeer, 7u);
  EXPECT_EQ(o.core.maxBodyBeforeLogin, 4096u);
  EXPECT_EQ(o.server.maxBodyBeforeLogin, 4096u);
  EXPECT_EQ(o.relay.usersPerPeer, 3u);
  EXPECT_TRUE(o.relay.keepLiveSessions);
  EXPECT_EQ(d.paramQuota, 1u << 20);
  EXPECT_EQ(o.paramQuota, 500u);
  EXPECT_EQ(d.relay.retiredIds, 100000u);
  EXPECT_EQ(o.relay.retiredIds, 12u);
  EXPECT_THROW(ParseGatewayOptions({"--max-ended-ids", "-1"}), std::invalid_argument);
  EXPECT_THROW(ParseGatewayOptions({"--max-ended-ids"}), std::invalid_argument);
  for (const char* option : {"--max-sessions-per-peer", "--max-request-size-before-login",
                             "--max-users-per-peer", "--max-ended-ids"}) {
    EXPECT_THROW(ParseGatewayOptions({option, "0"}), std::invalid_argument) << option;
    EXPECT_NE(std::string(kGatewayUsage).find(option), std::string::npos) << option;
  }
  EXPECT_NE(std::string(kGatewayUsage).find("--keep-live-sessions"), std::string::npos);
}

}  // namespace
}  // namespace vtx::gateway

namespace vtx::gateway {
namespace {

TEST(GatewayOptions, RolesTakeoverAndDatabaseCommands) {
  using Kind = AdminCommand::Kind;
  const GatewayOptions d = ParseGatewayOptions({});
  EXPECT_FALSE(d.trustSharedPassword);
  EXPECT_EQ(d.admin.kind, Kind::None);
  EXPECT_FALSE(ParseGatewayOptions({"--allow-host-takeover"}).relay.keepLiveSessions);
  EXPECT_TRUE(ParseGatewayOptions({"--trust-shared-password"}).trustSharedPassword);
  struct Case {
    std::vector<std::string> args;
    Kind kind;
    std::string name;
  };
  const std::vector<Case> cases = {
      {{"--add-analyst", "ana"}, Kind::AddAnalyst, "ana"},
      {{"--disable-analyst", "ana"}, Kind::DisableAnalyst, "ana"},
      {{"--enable-analyst", "ana"}, Kind::EnableAnalyst, "ana"},
      {{"--remove-analyst", "ana"}, Kind::RemoveAnalyst, "ana"},
      {{"--list-analysts"}, Kind::ListAnalysts, ""},
      {{"--audit", "--since", "2026-01-02", "--analyst", "ana", "--host", "cust"}, Kind::Audit, ""},
  };
  for (const auto& c : cases) {
    const GatewayOptions o = ParseGatewayOptions(c.args);
    EXPECT_EQ(o.admin.kind, c.kind) << c.args[0];
    EXPECT_EQ(o.admin.name, c.name) << c.args[0];
    EXPECT_NE(std::string(kGatewayUsage).find(c.args[0]), std::string::npos) << c.args[0];
  }
  const GatewayOptions audit = ParseGatewayOptions(cases.back().args);
  EXPECT_EQ(audit.admin.since, "2026-01-02");
  EXPECT_EQ(audit.admin.analyst, "ana");
  EXPECT_EQ(audit.admin.host, "cust");
  for (const auto& bad : std::vector<std::vector<std::string>>{
           {"--add-analyst"}, {"--host", "cust"}, {"--list-analysts", "--audit"}})
    EXPECT_THROW(ParseGatewayOptions(bad), std::invalid_argument) << bad[0];
}

}  // namespace
}  // namespace vtx::gateway
