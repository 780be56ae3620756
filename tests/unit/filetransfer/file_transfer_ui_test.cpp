// The progress adapter's figures, speeds and time texts, and its link to the module.
#include "filetransfer/file_transfer_ui.h"

#include <gtest/gtest.h>

#include "platform/fake/fake_file_system.h"
#include "unit/portal/module_test_support.h"
#include "util/exceptions.h"

namespace vtx {
namespace {

using testing::FakeClient;

struct Fixture {
  Fixture() : ft(&fs) {
    ft.setClient(&client);
    ui.setUserName("ana");
    ui.setModule(&ft);
    ui.setTickSource([this] { return now; });
  }
  FakeFileSystem fs;
  FakeClient client;
  TRtcPFileTransfer ft;
  TRtcPFileTransferUI ui;
  uint32_t now = 1000;
};

TEST(FileTransferUI, TimeTexts) {
  EXPECT_EQ(FileTransferTimeText(0), "00:00:00");
  EXPECT_EQ(FileTransferTimeText(59), "00:00:59");
  EXPECT_EQ(FileTransferTimeText(3600), "01:00:00");
  EXPECT_EQ(FileTransferTimeText(3661), "01:01:01");
  EXPECT_EQ(FileTransferTimeText(100 * 3600 + 5), "100:00:05");
}

TEST(FileTransferUI, SendFiguresSpeedAndEta) {
  Fixture f;
  std::vector<std::string> seen;
  f.ui.OnSendStart = [&](TRtcPFileTransferUI& u) {
    seen.push_back(u.Send_FirstTime() ? "first" : "start");
  };
  f.ui.Call_ReadStart(nullptr, "a.bin", 1000, "/d/");
  f.ui.Call_ReadStart(nullptr, "a.bin", 1000, "/e/");
  EXPECT_EQ(seen, (std::vector<std::string>{"first", "start"}));
  EXPECT_FALSE(f.ui.Send_FirstTime());
  EXPECT_EQ(f.ui.Send_FileCount(), 2);
  EXPECT_EQ(f.ui.Send_BytesTotal(), 2000);
  f.ui.Call_Read(nullptr, "a.bin", 500, "/d/");
  EXPECT_EQ(f.ui.Send_BytesPrepared(), 500);
  EXPECT_EQ(f.ui.Send_FileOut(), 500);
  EXPECT_EQ(f.ui.Send_FileSize(), 2000);  // both entries share one record
  f.now = 3000;
  f.ui.Call_ReadUpdate(nullptr);
  EXPECT_EQ(f.ui.Send_BytesComplete(), 500);
  EXPECT_EQ(f.ui.Send_KBit(), 2);          // 500 / 2000 ms * 8
  EXPECT_EQ(f.ui.Send_ETA(), "00:00:06");  // 1500 bytes at 250 bytes/s
  EXPECT_EQ(f.ui.Send_TotalTime(), "00:00:02");
  // The first stop only lowers the shared count; the second ends the record.
  f.ui.Call_ReadStop(nullptr, "a.bin", 0, "/d/");
  EXPECT_EQ(f.ui.Send_FileCount(), 1);
  f.ui.Call_ReadCancel(nullptr, "a.bin", 0, "/e/");
  EXPECT_EQ(f.ui.Send_FileCount(), 0);
  EXPECT_EQ(f.ui.Send_BytesTotal(), 500);  // only what was really sent
  f.ui.Call_ReadUpdate(nullptr);
  EXPECT_EQ(f.ui.Send_BytesTotal(), 0);  // reset once nothing runs
  EXPECT_EQ(f.ui.Send_ETA(), "");
  EXPECT_EQ(f.ui.Send_TotalTime(), "00:00:00");
}

TEST(FileTransferUI, CancelledSendKeepsOnlyTheBytesSent) {
  Fixture f;
  f.ui.Call_ReadStart(nullptr, "x", 1000, "/");
  f.ui.Call_Read(nullptr, "x", 400, "/");
  f.ui.Call_ReadCancel(nullptr, "x", 0, "/");
  EXPECT_EQ(f.ui.Send_BytesTotal(), 400);
}

TEST(FileTransferUI, ReceiveFiguresAndFailures) {
  Fixture f;
  EXPECT_THROW(f.ui.Call_WriteStart(nullptr, "", 10, ""), ERtcInfo);
  try {
    f.ui.Call_Write(nullptr, "never", 10, "");
    FAIL();
  } catch (const ERtcInfo& e) {
    EXPECT_STREQ(e.what(), "File \"never\" not initialized for upload.");
  }
  EXPECT_EQ(f.ui.Recv_FileCount(), 0);  // figures untouched by the failures
  f.ui.Call_WriteStart(nullptr, "r.bin", 300, "");
  f.ui.Call_Write(nullptr, "r.bin", 100, "");
  f.now = 2000;
  EXPECT_EQ(f.ui.Recv_BytesComplete(), 100);
  EXPECT_EQ(f.ui.Recv_FileIn(), 100);
  EXPECT_EQ(f.ui.Recv_KBit(), 1);  // 100 / 1000 ms * 8 = 0.8
  EXPECT_EQ(f.ui.Recv_ETA(), "00:00:02");
  f.ui.Call_WriteStop(nullptr, "r.bin", 200, "");
  EXPECT_EQ(f.ui.Recv_FileCount(), 0);
  EXPECT_EQ(f.ui.Recv_BytesTotal(), 0);  // reset after the last stop
}

TEST(FileTransferUI, OpenCloseCountsAndForwarding) {
  Fixture f;
  int opens = 0, closes = 0;
  f.ui.OnOpen = [&](TRtcPFileTransferUI&) { ++opens; };
  f.ui.OnClose = [&](TRtcPFileTransferUI&) { ++closes; };
  f.ui.Call_Open(nullptr);
  f.ui.Call_Open(nullptr);
  EXPECT_EQ(opens, 1);
  EXPECT_TRUE(f.ui.Active());
  f.ui.Call_Close(nullptr);
  EXPECT_EQ(closes, 0);
  f.ui.Call_Close(nullptr);
  EXPECT_EQ(closes, 1);
  f.ui.Call_Close(nullptr);
  EXPECT_EQ(closes, 1);
  f.ui.setActive(false);  // nothing open: no Close
  EXPECT_TRUE(f.client.calls.empty());
  f.ui.Cmd_NewFolder("/x");
  f.ui.GetFileList("/y", "*.txt");
  ASSERT_EQ(f.client.sent.size(), 2u);
  EXPECT_EQ(f.client.sent[0].to, "ana");
  EXPECT_EQ(f.client.sent[0].text("dir"), "/x");
  EXPECT_EQ(f.client.sent[1].text("mask"), "*.txt");
  // The module routes its events to the adapter registered for the user.
  f.client.joinedOther("file", "ana");
  EXPECT_EQ(opens, 2);
  EXPECT_THROW(f.ui.setUserName(""), ERtcInfo);
  EXPECT_TRUE(f.ui.CloseAndClear());
  EXPECT_EQ(f.ui.Module(), nullptr);
}

}  // namespace
}  // namespace vtx
