// The real gateway process with an analyst account in its database: rows between two hosts,
// and a host's Control, are refused in their answers; analyst and host still exchange rows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "gateway_process.h"
#include "http_transport.h"
#include "protocol_client.h"
#include "support/analyst_account.h"
#include "util/text.h"

namespace vtx::gateway {
namespace {

using testing::GatewayProcess;
using testing::HttpConnection;
using testing::ProtocolClient;
using Results = std::vector<std::unique_ptr<TRtcValue>>;

// One logged-in user on its own connection.
class User {
 public:
  // Logs in as `name` with the login id `id` (default NAME-id) from the address `from`.
  User(unsigned short port, const char* name, const char* password, std::string id = {},
       const std::string& from = {})
      : http_(port, std::chrono::seconds(10), from), client_(http_.transport(), {}) {
    EXPECT_EQ(client_.handshake(), 200);
    TRtcFunctionInfo login(u"Login");
    login.setAsText("user", Widen(name));
    login.setAsText("pwd", Widen(password));
    login.setAsString("id", id.empty() ? std::string(name) + "-id" : id);
    auto r = call(login);
    if (r->isType() == rtc_Exception) refusal = Utf8Encode(r->asException());
  }
  std::string refusal;  // of the login; empty when logged in
  // The HTTP status of one call (410 once the login has ended).
  int status(const TRtcFunctionInfo& f) {
    Results r;
    return client_.call(f, r);
  }
  std::unique_ptr<TRtcValue> call(const TRtcFunctionInfo& f) {
    Results r;
    EXPECT_EQ(client_.call(f, r), 200);
    return r.size() == 1 ? std::move(r[0]) : std::make_unique<TRtcValue>();
  }
  // A Put of one row; its answer.
  std::unique_ptr<TRtcValue> put(std::vector<std::pair<const char*, std::string>> row) {
    TRtcFunctionInfo f(u"Put");
    f.setAsInteger("x", ++tick_);
    TRtcDataSet& p = f.NewDataSet("p");
    p.Append();
    for (const auto& [field, value] : row) {
      if (std::string(field) == "d")
        p.setAsString(field, value);
      else
        p.setAsText(field, Widen(value));
    }
    return call(f);
  }
  // The data now waiting from `from`.
  std::vector<std::string> dataFrom(const char* from) {
    TRtcFunctionInfo get(u"Get");
    get.setAsInteger("x", ++tick_);
    auto r = call(get);
    std::vector<std::string> out;
    TRtcRecord* rec = r->isType() == rtc_Record ? r->asRecord() : nullptr;
    TRtcArray* list = rec ? rec->asArray(Widen(from)) : nullptr;
    for (int i = 0; list && i < list->Count(); ++i)
      if (list->isType(i) == rtc_String) out.push_back(list->asString(i));
    return out;
  }

 private:
  HttpConnection http_;
  ProtocolClient client_;
  int tick_ = 0;
};

// The reason of the first refusal in a Put's answer; empty when none.
std::string refusalOf(TRtcValue& answer) {
  if (answer.isType() != rtc_Record) return {};
  TRtcRecord* r = answer.asRecord();
  TRtcArray* refused = r ? r->asArray("refused") : nullptr;
  TRtcRecord* first = refused ? refused->asRecord(0) : nullptr;
  return first ? first->asString("reason") : std::string();
}

TEST(AccessProcess, HostsReachOnlyAnalystsAndCannotListUsers) {
  const std::string db = (std::filesystem::temp_directory_path() /
                          ("vtx-access-" + std::to_string(::getpid()) + ".db"))
                             .string();
  vtx::testing::ProvisionAnalyst(VTX_GATEWAY_PATH, db, "ana", "ana-own");
  {
    GatewayProcess g({"--login-password", "pw", "--db", db, "--get-hold", "0.2"}, true);
    User a(g.port(), "hostA", "pw"), b(g.port(), "hostB", "pw"), ana(g.port(), "ana", "ana-own");
    ASSERT_EQ(a.refusal + b.refusal + ana.refusal, "");
    struct Case {
      User* from;
      const char* fromName;
      User* to;
      const char* toName;
      bool delivered;
    };
    const std::vector<Case> cases = {
        {&b, "hostB", &a, "hostA", false},
        {&a, "hostA", &b, "hostB", false},
        {&ana, "ana", &a, "hostA", true},
        {&a, "hostA", &ana, "ana", true},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.fromName) + " -> " + c.toName);
      auto answer = c.from->put({{"to", c.toName}, {"d", "payload"}});
      EXPECT_EQ(refusalOf(*answer), c.delivered ? "" : "not permitted");
      EXPECT_EQ(c.to->dataFrom(c.fromName),
                c.delivered ? std::vector<std::string>{"payload"} : std::vector<std::string>{});
    }
    // A host cannot put another host into its group either.
    EXPECT_EQ(refusalOf(*b.put({{"s", "desk"}, {"user", "hostA"}})), "not permitted");
    EXPECT_EQ(refusalOf(*a.put({{"s", "desk"}, {"user", "ana"}})), "");

    TRtcFunctionInfo control(u"Control");
    control.setAsBoolean("on", true);
    auto refused = b.call(control);
    ASSERT_EQ(refused->isType(), rtc_Exception);
    EXPECT_EQ(refused->asException(), u"Only analysts may do this.");
    EXPECT_NE(ana.call(control)->isType(), rtc_Exception);
    EXPECT_NE(g.log().find("relay-not-permitted"), std::string::npos);
    EXPECT_NE(g.log().find("control-refused"), std::string::npos);
  }
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(db + suffix, ec);
}

// A live customer's name is not taken over from another address unless the operator allows
// it; the program restarting from the same address always replaces its session.
TEST(AccessProcess, ALiveHostIsNotTakenOverFromAnotherAddress) {
  struct Case {
    bool allowTakeover;
    const char* from;
    std::string refusal;
  };
  const std::vector<Case> cases = {
      {false, "127.0.0.2", "This user is logged in from another address."},
      {false, "127.0.0.1", ""},
      {true, "127.0.0.2", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.from) + (c.allowTakeover ? " allowed" : ""));
    std::vector<std::string> options = {"--login-password", "pw", "--get-hold", "0.2"};
    if (c.allowTakeover) options.push_back("--allow-host-takeover");
    GatewayProcess g(options, true);
    User first(g.port(), "cust", "pw", "first", "127.0.0.1");
    ASSERT_EQ(first.refusal, "");
    User second(g.port(), "cust", "pw", "second", c.from);
    EXPECT_EQ(second.refusal, c.refusal);
    // The first session lives on exactly when the second was refused.
    EXPECT_EQ(first.status(TRtcFunctionInfo(u"Get")), c.refusal.empty() ? 410 : 200);
  }
}

}  // namespace
}  // namespace vtx::gateway
