// The console's desktop view: the screen a capture sends, rebuilt through the viewer module from
// "init" and "next" updates at each pixel format, the cursor record, the recovery from a broken
// update, and the clipboard text wire form.
#include "analyst/desktop_view.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "desktop/screen_capture.h"
#include "desktop/screen_palette.h"
#include "platform/fake/fake_desktop.h"
#include "unit/portal/module_test_support.h"
#include "util/exceptions.h"

namespace vtx::analyst {
namespace {

using testing::FakeClient;
using testing::Fn;

class DesktopViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    viewer.setClient(&client);
    viewer.setOnQueryAccess([](TRtcPModule&, const std::string&, bool& allow) { allow = true; });
    view.setUserName("h");
    view.setModule(&viewer);
    client.joinedOther("idesk", "h");
    client.joinedOther("desk", "h");
    client.leftOther("idesk", "h");
  }
  void TearDown() override {
    view.setModule(nullptr);
    viewer.setClient(nullptr);
  }
  void Send(const char* field, const std::string& screen, const std::string& cursor = {}) {
    auto f = Fn(u"desk");
    if (!screen.empty()) f->setAsString(field, screen);
    if (!cursor.empty()) f->setAsString("cur", cursor);
    client.data("h", *f);
  }
  // Every pixel the view shows equals want(screen pixel).
  template <class F>
  void ExpectScreen(F want) {
    ASSERT_EQ(view.Height(), desk.Height());
    const std::vector<uint32_t> px = view.Pixels();
    for (int y = 0; y < desk.Height(); ++y)
      for (int x = 0; x < desk.Width(); ++x)
        ASSERT_EQ(px[static_cast<size_t>(y) * view.Width() + x], want(desk.Pixel(x, y)))
            << x << "," << y;
  }

  FakeClient client;
  TRtcPDesktopControl viewer;
  DesktopView view;
  FakeDesktop desk{64, 24};
};

uint32_t Same(uint32_t p) {
  return p & 0xFFFFFF;
}
uint32_t Palettised(uint32_t p) {
  const PaletteColor c = Palette256()[PaletteIndex::of256(p)];
  return uint32_t{c.red} << 16 | uint32_t{c.green} << 8 | c.blue;
}
uint32_t Expand565(uint32_t p) {
  const uint32_t r = (p >> 19) & 31, g = (p >> 10) & 63, b = (p >> 3) & 31;
  return ((r << 3 | r >> 2) << 16) | ((g << 2 | g >> 4) << 8) | (b << 3 | b >> 2);
}

TEST_F(DesktopViewTest, InitAndNextRebuildTheScreenAtEveryPixelFormat) {
  struct Case {
    int bpp;
    uint32_t (*want)(uint32_t);
  } cases[] = {{4, Same}, {1, Palettised}, {2, Expand565}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bpp);
    desk.Noise({0, 0, 64, 24}, 7);
    TRtcScreenCapture cap(desk);
    cap.setBPPLimit(c.bpp);
    cap.setScreenBlockCount(2);
    // A late viewer: the first image is the complete one of a capture that already ran (one
    // block a grab).
    for (int i = 0; i < 3; ++i) {
      cap.GrabScreen();
      cap.GetScreenDelta();
    }
    client.leftOther("desk", "h");
    client.joinedOther("idesk", "h");
    client.joinedOther("desk", "h");
    EXPECT_FALSE(view.WaitForImage(std::chrono::milliseconds(0)));
    Send("init", cap.GetScreen());
    ASSERT_TRUE(view.WaitForImage(std::chrono::milliseconds(0)));
    ExpectScreen(c.want);

    desk.Fill({5, 3, 20, 10}, 0x123456);
    desk.Fill({40, 0, 24, 24}, 0xFFFFFF);
    for (int i = 0; i < 4; ++i) {
      cap.GrabScreen();
      Send("next", cap.GetScreenDelta());
    }
    ExpectScreen(c.want);
    EXPECT_EQ(view.Errors(), 0);
  }
}

TEST_F(DesktopViewTest, CursorRecordsMoveTheCursorWithoutTouchingTheScreen) {
  TRtcScreenCapture cap(desk);
  cap.GrabScreen();
  desk.MoveCursor(10, 12);
  cap.GrabMouse();
  Send("init", cap.GetScreenDelta(), cap.GetMouse());
  EXPECT_TRUE(view.Cursor().known);
  EXPECT_EQ(view.Cursor().x, 10);
  EXPECT_EQ(view.Cursor().y, 12);
  const int64_t updates = view.Updates();
  desk.MoveCursor(30, 2);
  cap.GrabMouse();
  Send("next", "", cap.GetMouseDelta());
  EXPECT_EQ(view.Cursor().x, 30);
  EXPECT_EQ(view.Cursor().y, 2);
  EXPECT_EQ(view.Updates(), updates);
}

TEST_F(DesktopViewTest, BrokenUpdateAsksOnceForACompleteImageAndIgnoresDeltasUntilThen) {
  desk.Noise({0, 0, 64, 24}, 3);
  TRtcScreenCapture cap(desk);
  cap.GrabScreen();
  Send("init", cap.GetScreenDelta());
  ASSERT_TRUE(view.WaitForImage(std::chrono::milliseconds(0)));
  client.sent.clear();

  // A block that writes past the frame, then plain garbage.
  TRtcRecord bad;
  TRtcRecord& item = bad.NewArray("scr").NewRecord(0);
  item.setAsLargeInt("at", 1 << 30);
  item.setAsString("img", "xyz");
  Send("next", bad.toCode());
  Send("next", "not a record");
  EXPECT_EQ(view.Errors(), 2);
  EXPECT_FALSE(view.WaitForImage(std::chrono::milliseconds(0)));
  ASSERT_EQ(client.sent.size(), 1u);
  EXPECT_EQ(client.sent[0].name(), "refreshdesk");

  // Deltas are dropped until a complete image comes.
  desk.Fill({0, 0, 64, 24}, 0x00FF00);
  cap.GrabScreen();
  Send("next", cap.GetScreenDelta());
  EXPECT_FALSE(view.WaitForImage(std::chrono::milliseconds(0)));
  Send("init", cap.GetScreen());
  EXPECT_TRUE(view.WaitForImage(std::chrono::milliseconds(0)));
  ExpectScreen(Same);
}

// A host's resolution and cursor records beyond the view's limits are refused before they cost
// memory; the view says why and keeps what it had.
TEST(DesktopViewLimits, OversizedScreensAndCursorsAreRefused) {
  struct Case {
    const char* name;
    ViewLimits limits;
    int width, height, bytes;
    std::size_t cursorBytes;  // a cursor record of about this size; 0: none
    bool screenTaken, cursorTaken;
  };
  const ViewLimits small{1000, 1 << 20, 4096};
  const std::vector<Case> cases = {
      {"within", small, 500, 500, 4, 0, true, true},
      {"a side too long", small, 1001, 2, 1, 0, false, true},
      {"a height too long", small, 2, 1001, 1, 0, false, true},
      {"too many bytes", small, 1000, 1000, 4, 0, false, true},
      {"the default side limit", {}, 16385, 1, 1, 0, false, true},
      {"the default byte limit", {}, 16384, 16384, 4, 0, false, true},
      {"a huge cursor", small, 10, 10, 4, 5000, true, false},
      {"a cursor within", small, 10, 10, 4, 1000, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClient client;
    TRtcPDesktopControl viewer;
    DesktopView view(c.limits);
    viewer.setClient(&client);
    viewer.setOnQueryAccess([](TRtcPModule&, const std::string&, bool& allow) { allow = true; });
    view.setUserName("h");
    view.setModule(&viewer);
    client.joinedOther("idesk", "h");
    client.joinedOther("desk", "h");
    client.leftOther("idesk", "h");
    TRtcRecord screen;
    TRtcRecord& res = screen.NewRecord("res");
    res.setAsInteger("Width", c.width);
    res.setAsInteger("Height", c.height);
    res.setAsInteger("Bytes", c.bytes);
    res.setAsInteger("Bits", c.bytes * 8);
    auto f = Fn(u"desk");
    f->setAsString("init", screen.toCode());
    if (c.cursorBytes > 0) {
      TRtcRecord cursor;
      cursor.setAsInteger("X", 7);
      cursor.setAsString("I", std::string(c.cursorBytes, 'c'));
      f->setAsString("cur", cursor.toCode());
    }
    client.data("h", *f);
    EXPECT_EQ(view.WaitForImage(std::chrono::milliseconds(0)), c.screenTaken);
    EXPECT_EQ(view.Width(), c.screenTaken ? c.width : 0);
    if (c.cursorBytes > 0) {
      EXPECT_EQ(view.Cursor().known, c.cursorTaken);
    }
    const bool refused = !c.screenTaken || !c.cursorTaken;
    EXPECT_EQ(view.Errors(), refused ? 1 : 0);
    EXPECT_EQ(view.LastError().find("refused") != std::string::npos, refused) << view.LastError();
    view.setModule(nullptr);
    viewer.setClient(nullptr);
  }
}

TEST_F(DesktopViewTest, PngNeedsAnImageAndHoldsTheScreen) {
  const auto file =
      std::filesystem::temp_directory_path() / ("vtx_view_" + std::to_string(::getpid()) + ".png");
  EXPECT_THROW(view.WritePng(file.string()), std::runtime_error);
  TRtcScreenCapture cap(desk);
  cap.GrabScreen();
  Send("init", cap.GetScreenDelta());
  view.WritePng(file.string());
  std::ifstream in(file, std::ios::binary);
  char sig[8] = {};
  in.read(sig, 8);
  EXPECT_EQ(std::string(sig + 1, 3), "PNG");
  std::filesystem::remove(file);
  EXPECT_THROW(view.WritePng("/nonexistent/dir/x.png"), std::runtime_error);
}

TEST(ClipboardText, RoundTripsUnicodeAndRejectsOrSkipsOtherRows) {
  const std::u16string text = u"Ol\u00e1, a\u00e7\u00e3o \U0001F600";
  EXPECT_EQ(ClipboardText(ClipboardFromText(text)), text);
  EXPECT_EQ(ClipboardFromText(u""), "");
  EXPECT_EQ(ClipboardText(""), u"");

  TRtcDataSet ds;
  ds.Append();
  ds.setAsText("form", u"image/png");
  ds.setAsString("data", "\x89PNG");
  EXPECT_EQ(ClipboardText(ds.toCode()), u"");
  EXPECT_THROW(ClipboardText("garbage"), std::exception);

  MemoryClipboard clip;
  clip.WriteClipboard(ClipboardFromText(u"x"));
  EXPECT_EQ(ClipboardText(clip.ReadClipboard()), u"x");
}

}  // namespace
}  // namespace vtx::analyst
