// The capture on a real X server: a private Xvfb, patterns drawn on the root window, and the
// update records decoded the way a viewer does.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "desktop/gdi_screen_encoder.h"
#include "desktop/screen_capture.h"
#include "desktop/screen_image.h"
#include "desktop/screen_palette.h"
#include "platform/x11/x11_desktop.h"
#include "support/xvfb_display.h"

// Last: the X headers define macros (None, Bool, CursorShape ...) that clash with other names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#undef KeyPress  // an Xlib macro; the capture object has a method of that name
#undef CursorShape

namespace vtx {
namespace {

class X11Capture : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    xvfb_ = std::make_unique<test::XvfbDisplay>(GetParam());
    if (xvfb_->name().empty()) GTEST_SKIP() << "Xvfb could not be started";
    dpy_ = XOpenDisplay(xvfb_->name().c_str());
    ASSERT_NE(dpy_, nullptr);
    root_ = DefaultRootWindow(dpy_);
    width_ = DisplayWidth(dpy_, 0);
    height_ = DisplayHeight(dpy_, 0);
    depth_ = DefaultDepth(dpy_, 0);
  }
  void TearDown() override {
    if (dpy_) XCloseDisplay(dpy_);
  }

  // Draws 0x00RRGGBB pixels made by f(x, y) into a rectangle of the root window.
  template <class F>
  void draw(int x0, int y0, int w, int h, F f) {
    std::vector<uint32_t> rgb(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) rgb[static_cast<size_t>(y) * w + x] = f(x0 + x, y0 + y);
    XImage* img =
        XCreateImage(dpy_, DefaultVisual(dpy_, 0), static_cast<unsigned>(depth_), ZPixmap, 0,
                     nullptr, static_cast<unsigned>(w), static_cast<unsigned>(h), 32, 0);
    img->data = static_cast<char*>(std::malloc(static_cast<size_t>(img->bytes_per_line) * h));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint32_t p = rgb[static_cast<size_t>(y) * w + x];
        unsigned long v =
            depth_ == 16 ? ((p >> 8) & 0xF800) | ((p >> 5) & 0x07E0) | ((p >> 3) & 0x1F) : p;
        XPutPixel(img, x, y, v);
      }
    GC gc = XCreateGC(dpy_, root_, 0, nullptr);
    XPutImage(dpy_, root_, gc, img, 0, 0, x0, y0, static_cast<unsigned>(w),
              static_cast<unsigned>(h));
    XFreeGC(dpy_, gc);
    XDestroyImage(img);
    XSync(dpy_, False);
  }

  void drawPatterns(uint32_t seed) {
    draw(0, 0, width_, height_, [&](int x, int y) {
      uint32_t v = (x * 7 + y * 3 + seed) & 0xFF;
      return (v << 16) | (((x ^ y) & 0xFF) << 8) | ((y + seed) & 0xFF);
    });
    uint32_t s = seed * 2654435761u + 1;
    draw(100, 120, 300, 200, [&](int, int) {
      s ^= s << 13, s ^= s >> 17, s ^= s << 5;
      return s & 0xFFFFFF;
    });
    draw(500, 50, 200, 600, [&](int, int) { return 0x336699u; });
  }

  // The screen as 0x00RRGGBB, read back from the server.
  uint32_t screenPixel(XImage* img, int x, int y) {
    if (x >= width_ || y >= height_) return 0;
    unsigned long v = XGetPixel(img, x, y);
    if (depth_ == 16) {
      uint32_t r = (v >> 11) & 31, g = (v >> 5) & 63, b = v & 31;
      return ((r << 3 | r >> 2) << 16) | ((g << 2 | g >> 4) << 8) | (b << 3 | b >> 2);
    }
    return static_cast<uint32_t>(v) & 0xFFFFFF;
  }

  // Captures until nothing changes and checks every pixel of the viewer's image.
  template <class F>
  void captureAndCompare(TRtcScreenCapture& cap, ScreenImage& viewer, F expected) {
    for (int i = 0; i < 64; ++i) {
      cap.GrabScreen();
      std::string d = cap.GetScreenDelta();
      if (d.empty()) break;
      viewer.Apply(d);
    }
    ASSERT_EQ(viewer.Height(), height_);
    ASSERT_EQ(viewer.Width(), (width_ + 15) / 16 * 16);
    XImage* img = XGetImage(dpy_, root_, 0, 0, static_cast<unsigned>(width_),
                            static_cast<unsigned>(height_), AllPlanes, ZPixmap);
    ASSERT_NE(img, nullptr);
    int bad = 0;
    for (int y = 0; y < height_ && bad < 5; ++y)
      for (int x = 0; x < viewer.Width() && bad < 5; ++x) {
        uint32_t want = x < width_ ? expected(screenPixel(img, x, y), XGetPixel(img, x, y)) : 0;
        if (viewer.RawPixel(x, y) != want) {
          ADD_FAILURE() << "pixel " << x << "," << y << ": " << viewer.RawPixel(x, y)
                        << " != " << want;
          ++bad;
        }
      }
    XDestroyImage(img);
  }

  std::unique_ptr<test::XvfbDisplay> xvfb_;
  Display* dpy_ = nullptr;
  Window root_ = 0;
  int width_ = 0, height_ = 0, depth_ = 0;
};

TEST_P(X11Capture, UpdatesReproduceTheScreen) {
  auto platform = OpenX11Desktop({xvfb_->name(), true, true});
  drawPatterns(1);
  {
    TRtcScreenCapture cap(*platform);
    cap.setScreenBlockCount(4);
    ScreenImage viewer;
    bool deep = depth_ == 24;
    auto exact = [&](uint32_t rgb, unsigned long raw) {
      return deep ? rgb : static_cast<uint32_t>(raw);
    };
    captureAndCompare(cap, viewer, exact);
    auto rec = TRtcRecord::FromCode(cap.GetScreen());
    EXPECT_EQ(rec->asRecord("res")->asInteger("Bits"), deep ? 32 : 16);
    EXPECT_EQ(rec->asRecord("res")->asInteger("Bytes"), deep ? 4 : 2);
    drawPatterns(2);
    captureAndCompare(cap, viewer, exact);
    ScreenImage late;  // a viewer joining now gets the same image at once
    late.Apply(cap.GetScreen());
    EXPECT_EQ(late.Data(), viewer.Data());
  }
  {
    TRtcScreenCapture cap(*platform);
    cap.setBPPLimit(1);
    cap.setMaxTotalSize(200000);
    ScreenImage viewer;
    captureAndCompare(cap, viewer, [](uint32_t rgb, unsigned long) {
      return uint32_t{PaletteIndex::of256(rgb)};
    });
  }
  {
    TRtcScreenCapture cap(*platform);
    cap.setBPPLimit(0);
    ScreenImage viewer;
    captureAndCompare(
        cap, viewer, [](uint32_t rgb, unsigned long) { return uint32_t{PaletteIndex::of16(rgb)}; });
  }
  {
    TRtcScreenCapture cap(*platform);
    cap.setReduce32bit(0x00E0E0E0);
    cap.setReduce16bit(0xCF38CF38);
    ScreenImage viewer;
    bool deep = depth_ == 24;
    captureAndCompare(cap, viewer, [&](uint32_t rgb, unsigned long raw) {
      return deep ? rgb & 0xE0E0E0 : static_cast<uint32_t>(raw) & 0xCF38;
    });
  }
}

TEST_P(X11Capture, DamageSeamGivesByteIdenticalUpdates) {
  auto plain = OpenX11Desktop({xvfb_->name(), false, true});
  auto tracked = OpenX11Desktop({xvfb_->name(), true, true});
  auto noShm = OpenX11Desktop({xvfb_->name(), false, false});
  TRtcScreenCapture a(*plain), b(*tracked), c(*noShm);
  for (auto* cap : {&a, &b, &c}) {
    cap->setScreenBlockCount(6);
    cap->setMaxTotalSize(300000);
  }
  int skipped = 0;
  for (int step = 0; step < 12; ++step) {
    if (step == 0) drawPatterns(3);
    if (step % 3 == 1)
      draw(40 * step, 30 * step, 50, 20, [&](int x, int y) { return uint32_t(x * y + step); });
    if (step % 4 == 2)
      draw(0, height_ - 3, width_, 3, [&](int x, int) { return uint32_t(x * step); });
    a.GrabScreen();
    b.GrabScreen();
    c.GrabScreen();
    std::string da = a.GetScreenDelta();
    ASSERT_EQ(da, b.GetScreenDelta()) << "step " << step;
    ASSERT_EQ(da, c.GetScreenDelta()) << "step " << step;
    skipped += static_cast<TRtcGDIScreenEncoder*>(b.Encoder())->SkippedBlocks();
  }
  EXPECT_GT(skipped, 12);
}

TEST_P(X11Capture, CursorFollowsMovesAndShapes) {
  auto platform = OpenX11Desktop({xvfb_->name(), true, true});
  TRtcScreenCapture cap(*platform);
  cap.GrabMouse();
  cap.GetMouseDelta();
  XTestFakeMotionEvent(dpy_, -1, 321, 123, CurrentTime);
  XSync(dpy_, False);
  cap.GrabMouse();
  auto rec = TRtcRecord::FromCode(cap.GetMouseDelta());
  EXPECT_EQ(rec->asInteger("X"), 321);
  EXPECT_EQ(rec->asInteger("Y"), 123);

  Cursor hand = XCreateFontCursor(dpy_, XC_hand2);
  XFixesSetCursorName(dpy_, hand, "hand2");
  XDefineCursor(dpy_, root_, hand);
  XSync(dpy_, False);
  cap.GrabMouse();
  rec = TRtcRecord::FromCode(cap.GetMouseDelta());
  EXPECT_EQ(rec->asInteger("C"), 21);
  EXPECT_EQ(rec->isType("X"), rtc_Null);

  static const char bits[8] = {0x0F, 0x0F, 0x0F, 0x0F, 0, 0, 0, 0};
  Pixmap shape = XCreateBitmapFromData(dpy_, root_, bits, 8, 8);
  XColor black{}, white{};
  white.red = white.green = white.blue = 0xFFFF;
  Cursor own = XCreatePixmapCursor(dpy_, shape, shape, &white, &black, 2, 3);
  XDefineCursor(dpy_, root_, own);
  XSync(dpy_, False);
  cap.GrabMouse();
  rec = TRtcRecord::FromCode(cap.GetMouseDelta());
  EXPECT_EQ(rec->asInteger("HX"), 2);
  EXPECT_EQ(rec->asInteger("HY"), 3);
  ASSERT_NE(rec->asByteStream("I"), nullptr);
  ASSERT_NE(rec->asByteStream("M"), nullptr);
  EXPECT_EQ(rec->asByteStream("I")->bytes().substr(0, 2), "BM");
  XFreePixmap(dpy_, shape);
  XFreeCursor(dpy_, own);
  XFreeCursor(dpy_, hand);
}

TEST_P(X11Capture, ChangeWatchReportsDrawingsOnceAndNothingElse) {
  auto platform = OpenX11Desktop({xvfb_->name(), true, true});
  auto watch = platform->OpenChangeWatch();
  ASSERT_NE(watch, nullptr);
  // The notice travels on the watch's own connection: wait for it (bounded).
  const auto seen = [&] {
    for (int i = 0; i < 400; ++i) {
      if (watch->Changed()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  };
  EXPECT_TRUE(watch->Changed());  // anything before it was made
  EXPECT_FALSE(watch->Changed());
  for (int round = 0; round < 3; ++round) {
    draw(10 + round, 10, 4, 4, [&](int, int) { return 0x102030u * (round + 1); });
    EXPECT_TRUE(seen()) << round;
    EXPECT_FALSE(watch->Changed()) << round;
  }
  // Pointer moves and cursor shapes are no drawings.
  XTestFakeMotionEvent(dpy_, -1, 200, 100, CurrentTime);
  Cursor hand = XCreateFontCursor(dpy_, XC_hand2);
  XDefineCursor(dpy_, root_, hand);
  XSync(dpy_, False);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(watch->Changed());
  XFreeCursor(dpy_, hand);

  // Through the capture object: no encoder yet means a grab is due whatever the watch says.
  TRtcScreenCapture cap(*platform);
  EXPECT_TRUE(cap.ScreenMayHaveChanged());
  cap.GrabScreen();
  cap.GetScreenDelta();
  EXPECT_FALSE(cap.ScreenMayHaveChanged());
  draw(0, 0, 8, 8, [](int, int) { return 0xFFFFFFu; });
  bool changed = false;
  for (int i = 0; i < 400 && !changed; ++i) {
    changed = cap.ScreenMayHaveChanged();
    if (!changed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(changed);
  cap.GrabScreen();
  EXPECT_FALSE(cap.GetScreenDelta().empty());

  EXPECT_EQ(OpenX11Desktop({xvfb_->name(), false, true})->OpenChangeWatch(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Xvfb, X11Capture, ::testing::Values("1280x800x24", "1366x768x16"));

TEST(X11CaptureNoDisplay, GrabsFailQuietly) {
  auto platform = OpenX11Desktop({":65000", true, true});
  TRtcScreenCapture cap(*platform);
  cap.GrabScreen();
  EXPECT_EQ(cap.GetScreenDelta(), "");
  EXPECT_EQ(cap.GetScreen(), "");
  cap.GrabMouse();
  EXPECT_EQ(cap.GetMouseDelta(), "");  // never visible: nothing to report
  EXPECT_FALSE(TRtcRecord::FromCode(cap.GetMouse())->asBoolean("V"));
}

}  // namespace
}  // namespace vtx
