// The JSON-lines event log on a client with a chat module: what is recorded and its form.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "module_test_support.h"
#include "platform/system_info.h"
#include "portal/portal_chat.h"
#include "portal/portal_json_log.h"
#include "util/exceptions.h"

namespace vtx {
namespace {

namespace fs = std::filesystem;

std::vector<nlohmann::json> ReadLines(const fs::path& p) {
  std::ifstream in(p);
  std::vector<nlohmann::json> out;
  for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
  return out;
}

TEST(PortalJsonLog, ChatLinesAndGroupNoticesBecomeOneObjectEach) {
  const fs::path file = fs::temp_directory_path() / ("vtx-json-log-" + std::to_string(getpid()));
  fs::remove(file);
  FixedSystemInfo system{"PC-9", "ana", "10.0.0.9"};
  {
    TnxPortalJsonLog log(file, &system, [] { return std::chrono::system_clock::time_point{}; });
    testing::FakeClient client;
    client.setPortalLog(&log);
    TRtcPChat chat;
    chat.setBeTheHost(true);
    chat.setClient(&client);
    client.joinedMine("chat", "ann");
    auto msg = testing::Fn(u"msg");
    msg->setAsText("s", u"ol\u00e1; a = b\r");
    client.data("ann", *msg);
    msg->setAsText("s", u"\u0001hidden");  // control lines are not recorded
    client.data("ann", *msg);
    log.setLogBefore(true);
    TRtcValue notice;
    TRtcRecord& rec = notice.NewRecord();
    rec.setAsText("user", u"ann");
    rec.setAsText("group", u"chat");
    rec.NewRecord("UserInfo").NewRecord("userinfo").setAsText("info_ip", u"10.1.1.1");
    client.CallEvent(nullptr, "UserLeftMyGroup", false, nullptr, &notice);
    // Bytes that are no UTF-8 are replaced, not fatal.
    TnxPortalLogEntry bad;
    bad.Event = "\"X\"";
    bad.Entries.emplace_back("Msg", std::string("\xff\xfe", 2));
    EXPECT_NE(TnxPortalJsonLog::Format(bad, {}).find("\"Msg\":\""), std::string::npos);
  }
  const auto lines = ReadLines(file);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["event"], "ChatMessage");
  EXPECT_EQ(lines[0]["time"], "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(lines[0]["before"], false);
  EXPECT_EQ(lines[0]["entries"]["Room"], "host");
  EXPECT_EQ(lines[0]["entries"]["User"], "ann");
  EXPECT_EQ(lines[0]["entries"]["Msg"], "ol\xc3\xa1; a = b\r");
  EXPECT_EQ(lines[1]["event"], "UserLeftMyGroup");
  EXPECT_EQ(lines[1]["before"], true);
  EXPECT_EQ(lines[1]["info"]["ip"], "10.1.1.1");
  EXPECT_EQ(lines[2]["entries"]["Group"], "chat");
  fs::remove(file);

  EXPECT_THROW(TnxPortalJsonLog(fs::path("/nonexistent-dir/x/y.jsonl")), ERtcInfo);
}

}  // namespace
}  // namespace vtx
