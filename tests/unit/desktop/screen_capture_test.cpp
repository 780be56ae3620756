#include "desktop/screen_capture.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <new>
#include <string>

#include "desktop/compress.h"
#include "desktop/gdi_screen_encoder.h"
#include "desktop/pixel_convert.h"
#include "desktop/screen_image.h"
#include "desktop/screen_palette.h"
#include "platform/fake/fake_desktop.h"
#include "util/exceptions.h"

namespace vtx {
namespace {

std::unique_ptr<TRtcRecord> parse(const std::string& wire) {
  EXPECT_FALSE(wire.empty());
  return TRtcRecord::FromCode(wire);
}

// The "at" offsets of an update record, in order.
std::vector<int> offsets(const std::string& wire) {
  std::vector<int> at;
  auto rec = parse(wire);
  TRtcArray* scr = rec->asArray("scr");
  for (int i = 0; scr && i < scr->Count(); ++i) at.push_back(scr->asRecord(i)->asInteger("at"));
  return at;
}

size_t streamBytes(const std::string& wire) {
  size_t n = 0;
  auto rec = parse(wire);
  TRtcArray* scr = rec->asArray("scr");
  for (int i = 0; scr && i < scr->Count(); ++i) n += scr->asRecord(i)->asString("img").size();
  return n;
}

// Every pixel of the viewer's image equals f(screen pixel).
template <class F>
void expectImage(const ScreenImage& img, const FakeDesktop& d, F f) {
  ASSERT_EQ(img.Height(), d.Height());
  for (int y = 0; y < d.Height(); ++y)
    for (int x = 0; x < img.Width(); ++x) {
      uint32_t want = x < d.Width() ? f(d.Pixel(x, y)) : 0;
      ASSERT_EQ(img.RawPixel(x, y), want) << x << "," << y;
    }
}
uint32_t same(uint32_t p) {
  return p;
}

TEST(ScreenCapture, FourBlocksWithoutBudgetArriveOneCaptureEach) {
  FakeDesktop d(64, 40);
  d.Noise({0, 0, 64, 40}, 1);
  TRtcScreenCapture cap(d);
  cap.setScreenBlockCount(4);
  ScreenImage viewer;

  cap.GrabScreen();
  std::string first = cap.GetScreenDelta();
  auto rec = parse(first);
  ASSERT_NE(rec->asRecord("res"), nullptr);
  EXPECT_EQ(rec->asRecord("res")->asInteger("Width"), 64);
  EXPECT_EQ(rec->asRecord("res")->asInteger("Height"), 40);
  EXPECT_EQ(rec->asRecord("res")->asInteger("Bits"), 32);
  EXPECT_EQ(rec->asRecord("res")->asInteger("Bytes"), 4);
  EXPECT_EQ(rec->isType("pal"), rtc_Null);
  EXPECT_EQ(offsets(first), std::vector<int>{0});
  viewer.Apply(first);

  // A new viewer right now gets every block, the unsent ones as their (zero) images.
  ScreenImage late;
  late.Apply(cap.GetScreen());
  EXPECT_EQ(offsets(cap.GetScreen()), (std::vector<int>{0, 2560, 5120, 7680}));
  EXPECT_EQ(late.Data(), viewer.Data());

  for (int block = 1; block < 4; ++block) {
    cap.GrabScreen();
    std::string delta = cap.GetScreenDelta();
    EXPECT_EQ(parse(delta)->asRecord("res"), nullptr);
    EXPECT_EQ(offsets(delta), std::vector<int>{block * 2560});
    viewer.Apply(delta);
  }
  expectImage(viewer, d, same);
  cap.GrabScreen();
  EXPECT_EQ(cap.GetScreenDelta(), "");

  d.Fill({10, 35, 20, 36}, 0x123456);  // only the last block changes
  cap.GrabScreen();
  std::string last = cap.GetScreenDelta();
  EXPECT_EQ(offsets(last), std::vector<int>{7680});
  viewer.Apply(last);
  expectImage(viewer, d, same);
}

TEST(ScreenCapture, BudgetCutsTheUpdateAndTheNextOneGoesOn) {
  FakeDesktop d(64, 24);
  TRtcScreenCapture cap(d);
  cap.setScreenBlockCount(3);
  cap.setMaxTotalSize(1024);
  ScreenImage viewer;
  cap.GrabScreen();  // a geometry change sends every block at once
  EXPECT_EQ(offsets(cap.GetScreenDelta()).size(), 3u);
  viewer.Apply(cap.GetScreenDelta());

  for (int b = 0; b < 3; ++b) d.Noise({0, 8 * b, 64, 8 * b + 3}, 10 + b);  // ~770 bytes each
  cap.GrabScreen();
  std::string one = cap.GetScreenDelta();
  EXPECT_EQ(offsets(one), (std::vector<int>{0, 2048}));
  EXPECT_GT(streamBytes(one), 1024u);
  cap.GrabScreen();
  std::string two = cap.GetScreenDelta();
  EXPECT_EQ(offsets(two), std::vector<int>{4096});
  viewer.Apply(one);
  viewer.Apply(two);
  expectImage(viewer, d, same);
  cap.GrabScreen();
  EXPECT_EQ(cap.GetScreenDelta(), "");
}

TEST(ScreenCapture, DepthChangeSendsResolutionAndFullStreams) {
  FakeDesktop d(32, 16);
  d.Noise({0, 0, 32, 16}, 3);
  TRtcScreenCapture cap(d);
  cap.GrabScreen();
  ScreenImage viewer;
  viewer.Apply(cap.GetScreenDelta());
  cap.GrabScreen();
  EXPECT_EQ(cap.GetScreenDelta(), "");

  d.SetDepth(16);
  cap.GrabScreen();
  std::string changed = cap.GetScreenDelta();
  auto rec = parse(changed);
  ASSERT_NE(rec->asRecord("res"), nullptr);
  EXPECT_EQ(rec->asRecord("res")->asInteger("Bits"), 16);
  EXPECT_EQ(rec->asRecord("res")->asInteger("Bytes"), 2);
  viewer.Apply(changed);
  expectImage(viewer, d, [](uint32_t p) {
    return ((p >> 8) & 0xF800) | ((p >> 5) & 0x07E0) | ((p >> 3) & 0x1F);
  });

  d.Reset(48, 8, 24);  // a 24-bit display of another size: 16-bit images, width 48
  cap.GrabScreen();
  rec = parse(cap.GetScreenDelta());
  EXPECT_EQ(rec->asRecord("res")->asInteger("Width"), 48);
  EXPECT_EQ(rec->asRecord("res")->asInteger("Bytes"), 2);
}

TEST(ScreenCapture, BottomUpRowsAndOddWidths) {
  FakeDesktop d(100, 10);  // captured 112 wide; the 12 extra columns are black
  d.SetBottomUp(true);
  d.Noise({0, 0, 100, 10}, 4);
  TRtcScreenCapture cap(d);
  cap.setScreenBlockCount(3);  // 3, 3, 3 and a last block of 1 row
  cap.setMaxTotalSize(1 << 20);
  cap.GrabScreen();
  std::string wire = cap.GetScreenDelta();
  EXPECT_EQ(offsets(wire), (std::vector<int>{7 * 448, 4 * 448, 1 * 448, 0}));
  ScreenImage viewer(true);
  viewer.Apply(wire);
  EXPECT_EQ(viewer.Width(), 112);
  expectImage(viewer, d, same);
}

TEST(ScreenCapture, ReducedColoursPalettesAndMasks) {
  FakeDesktop d(48, 8);
  d.Noise({0, 0, 48, 8}, 5);
  {
    TRtcScreenCapture cap(d);
    cap.setBPPLimit(1);
    cap.GrabScreen();
    std::string wire = cap.GetScreenDelta();
    auto rec = parse(wire);
    EXPECT_EQ(rec->asString("pal"), PaletteRecord(256));
    EXPECT_EQ(rec->asRecord("res")->asInteger("Bytes"), 1);
    ScreenImage viewer;
    viewer.Apply(wire);
    expectImage(viewer, d, [](uint32_t p) { return uint32_t{PaletteIndex::of256(p)}; });
    // A new viewer gets the palette too.
    EXPECT_EQ(parse(cap.GetScreen())->asString("pal").size(), 1028u);
  }
  {
    TRtcScreenCapture cap(d);
    cap.setBPPLimit(0);
    cap.GrabScreen();
    ScreenImage viewer;
    viewer.Apply(cap.GetScreenDelta());
    EXPECT_EQ(viewer.RowBytes(), 24u);
    expectImage(viewer, d, [](uint32_t p) { return uint32_t{PaletteIndex::of16(p)}; });
  }
  {
    TRtcScreenCapture cap(d);
    cap.setBPPLimit(2);
    cap.setReduce16bit(0xCF38CF38);
    cap.GrabScreen();
    ScreenImage viewer;
    viewer.Apply(cap.GetScreenDelta());
    expectImage(viewer, d, [](uint32_t p) {
      return (((p >> 8) & 0xF800) | ((p >> 5) & 0x07E0) | ((p >> 3) & 0x1F)) & 0xCF38;
    });
  }
  {
    TRtcScreenCapture cap(d);
    cap.setReduce32bit(0x80F8F8F8);
    cap.GrabScreen();
    ScreenImage viewer;
    viewer.Apply(cap.GetScreenDelta());
    expectImage(viewer, d, [](uint32_t p) { return p & 0xF8F8F8; });
  }
}

TEST(ScreenCapture, PlaceholderWithoutAccessAndGrabFailures) {
  FakeDesktop d(640, 48);
  d.SetInputDesktopAccess(false);
  TRtcScreenCapture cap(d);
  for (int round = 0; round < 2; ++round) {  // every capture re-initialises
    cap.GrabScreen();
    std::string wire = cap.GetScreenDelta();
    ASSERT_NE(parse(wire)->asRecord("res"), nullptr);
    ScreenImage viewer;
    viewer.Apply(wire);
    EXPECT_EQ(viewer.Pixel(0, 0), 0xFFFFFFu);
    EXPECT_EQ(viewer.Pixel(20, 20), 0u);
  }
  EXPECT_TRUE(d.Grabs().empty());

  d.SetInputDesktopAccess(true);
  cap.setScreenBlockCount(4);
  cap.setMaxTotalSize(1 << 20);
  d.Noise({0, 0, 640, 48}, 6);
  d.SetGrabLimit(2);  // the third block's grab fails
  cap.GrabScreen();
  EXPECT_EQ(offsets(cap.GetScreenDelta()).size(), 2u);
  d.SetGrabLimit(-1);
  d.ClearGrabs();
  cap.GrabScreen();  // not cut by the budget: starts again at block 0
  EXPECT_EQ(offsets(cap.GetScreenDelta()), (std::vector<int>{2 * 30720, 3 * 30720}));
  ASSERT_FALSE(d.Grabs().empty());
  EXPECT_EQ(d.Grabs().front().top, 0);

  d.SetReachable(false);  // no display at all: nothing, no error
  cap.Clear();
  cap.GrabScreen();
  EXPECT_EQ(cap.GetScreenDelta(), "");
  EXPECT_EQ(cap.GetScreen(), "");
}

TEST(ScreenCapture, AccessBackReplacesThePlaceholderWithoutDrawing) {
  // Nothing is drawn while the placeholder is shown, so reported changes do not cover it.
  for (bool tracked : {false, true}) {
    FakeDesktop d(64, 24);
    d.SetTrackChanges(tracked);
    d.Noise({0, 0, 64, 24}, 5);
    TRtcScreenCapture cap(d);
    cap.setScreenBlockCount(3);
    cap.setMaxTotalSize(1 << 30);
    ScreenImage viewer;
    for (bool access : {true, false, false, true}) {
      d.SetInputDesktopAccess(access);
      cap.GrabScreen();
      viewer.Apply(cap.GetScreenDelta());
    }
    expectImage(viewer, d, same);
    cap.GrabScreen();
    EXPECT_EQ(cap.GetScreenDelta(), "") << tracked;
  }
}

// The fake desktop with grabs that throw (as when a grab buffer cannot be had) once `left`
// more have been made.
class ThrowingGrabs final : public DesktopPlatform {
 public:
  explicit ThrowingGrabs(FakeDesktop& d) : d_(d) {}
  std::unique_ptr<ScreenSource> OpenScreen() override {
    return std::make_unique<Screen>(d_.OpenScreen(), left);
  }
  std::unique_ptr<CursorSource> OpenCursor() override { return d_.OpenCursor(); }
  int left = -1;  // -1: never

 private:
  struct Screen final : ScreenSource {
    Screen(std::unique_ptr<ScreenSource> s, int& n) : inner(std::move(s)), left(n) {}
    bool Display(bool multi, DisplayInfo& out) override { return inner->Display(multi, out); }
    bool Grab(const ScreenRect& rect, RawImage& out) override {
      if (left >= 0 && left-- == 0) throw std::bad_alloc();
      return inner->Grab(rect, out);
    }
    bool TakeChanges(std::vector<ScreenRect>& out) override { return inner->TakeChanges(out); }
    std::unique_ptr<ScreenSource> inner;
    int& left;
  };
  FakeDesktop& d_;
};

TEST(ScreenCapture, AnUpdateLostToAFailingGrabIsMadeUpFor) {
  // The blocks packed before the failure hold their new images already; neither they nor the
  // failing block may be left out of later updates, with or without reported changes. A failed
  // first update (the one with the resolution) is made again as a whole.
  for (bool first : {false, true})
    for (bool tracked : {false, true})
      for (int failAt : {0, 1, 2}) {
        FakeDesktop d(64, 24);
        d.SetTrackChanges(tracked);
        d.Noise({0, 0, 64, 24}, 3 + failAt);
        ThrowingGrabs platform(d);
        TRtcScreenCapture cap(platform);
        cap.setScreenBlockCount(3);
        cap.setMaxTotalSize(1 << 30);
        ScreenImage viewer;
        if (!first) {
          cap.GrabScreen();
          viewer.Apply(cap.GetScreenDelta());
          d.Noise({0, 0, 64, 24}, 7 + failAt);
        }
        platform.left = failAt;
        EXPECT_FALSE(cap.GrabScreen());
        EXPECT_EQ(cap.GetScreenDelta(), "");
        cap.GrabScreen();
        ASSERT_NO_THROW(viewer.Apply(cap.GetScreenDelta()));
        expectImage(viewer, d, same);
        ScreenImage late;
        late.Apply(cap.GetScreen());
        EXPECT_EQ(late.Data(), viewer.Data()) << first << tracked << failAt;
      }
}

TEST(ScreenCapture, EmptyCaptureAreasGiveNothing) {
  FakeDesktop d(0, 0);
  TRtcScreenCapture cap(d);
  cap.GrabScreen();
  EXPECT_EQ(cap.GetScreenDelta(), "");
  EXPECT_EQ(cap.GetScreen(), "");
  d.Reset(64, 16, 32);
  cap.setFixedRegion({1000, 1000, 1100, 1100});
  cap.GrabScreen();
  EXPECT_EQ(cap.GetScreenDelta(), "");
  cap.setFixedRegion({-2147483647 - 1, -2147483647 - 1, 2147483647, 2147483647});
  cap.GrabScreen();  // cut to the screen
  ScreenImage whole;
  whole.Apply(cap.GetScreenDelta());
  EXPECT_EQ(whole.Width(), 64);
  cap.setFixedRegion({7, 2, 13, 6});  // widened to 5..13
  EXPECT_FALSE(cap.FullScreen());
  EXPECT_EQ(cap.FixedRegion(), (ScreenRect{5, 2, 13, 6}));
  d.Noise({0, 0, 64, 16}, 7);
  cap.GrabScreen();
  ScreenImage viewer;
  viewer.Apply(cap.GetScreenDelta());
  EXPECT_EQ(viewer.Width(), 8);
  EXPECT_EQ(viewer.Height(), 4);
  EXPECT_EQ(viewer.RawPixel(0, 0), d.Pixel(5, 2));
  EXPECT_EQ(viewer.RawPixel(7, 3), d.Pixel(12, 5));
}

TEST(ScreenCapture, SettingsFreeTheEncoderAndNamesFallBack) {
  FakeDesktop d(32, 8);
  TRtcScreenCapture cap(d);
  cap.setEncoderClassName("no such encoder");
  cap.GrabScreen();
  TRtcAbstractScreenEncoder* first = cap.Encoder();
  ASSERT_NE(dynamic_cast<TRtcGDIScreenEncoder*>(first), nullptr);
  cap.setBPPLimit(4);  // unchanged value: same encoder
  cap.setScreenBlockCount(1);
  EXPECT_EQ(cap.Encoder(), first);
  cap.setBPPLimit(2);
  EXPECT_EQ(cap.Encoder(), nullptr);
  cap.setEncoderClassName("mirage MIRROR driver");  // unsupported here: falls back
  cap.GrabScreen();
  EXPECT_NE(dynamic_cast<TRtcGDIScreenEncoder*>(cap.Encoder()), nullptr);
  cap.setLayeredWindows(true);
  EXPECT_FALSE(cap.LayeredWindows());
  EXPECT_EQ(cap.CaptureMask(), 0x00CC0020u);
  EXPECT_NE(cap.Encoder(), nullptr);
  cap.setMultiMonitor(true);
  EXPECT_EQ(cap.Encoder(), nullptr);

  auto& registry = ScreenEncoderRegistry::Instance();
  EXPECT_EQ(registry.Names(), (std::vector<std::string>{"Default (GDI)", "Mirage Mirror Driver"}));
  EXPECT_FALSE(registry.Register("DEFAULT (gdi)", &TRtcGDIScreenEncoder::Make));
  EXPECT_EQ(registry.Find("default (gdi)"), &TRtcGDIScreenEncoder::Make);

  registry.Unregister("Default (GDI)");  // nothing left that works
  cap.setEncoderClassName("");
  EXPECT_THROW(
      {
        try {
          cap.GrabScreen();
        } catch (const ERtcInfo& e) {
          EXPECT_STREQ(e.what(), "Error creating screen encoder");
          throw;
        }
      },
      ERtcInfo);
  EXPECT_TRUE(registry.Register("Default (GDI)", &TRtcGDIScreenEncoder::Make));
  cap.GrabScreen();  // the next attempt works again
  EXPECT_NE(cap.Encoder(), nullptr);
}

TEST(ScreenCapture, MultiMonitorUsesTheVirtualDesktop) {
  FakeDesktop d(64, 16);
  d.SetVirtualRect({-32, 0, 64, 16});
  TRtcScreenCapture cap(d);
  cap.setMultiMonitor(true);
  cap.GrabScreen();
  EXPECT_EQ(cap.ScreenLeft(), -32);
  EXPECT_EQ(cap.ScreenWidth(), 96);
  EXPECT_EQ(cap.CaptureLeft(), -32);
  d.MoveCursor(0, 5);
  cap.GrabMouse();
  EXPECT_EQ(TRtcRecord::FromCode(cap.GetMouseDelta())->asInteger("X"), 32);
}

TEST(ScreenCapture, ChangeSourceGivesByteIdenticalUpdates) {
  for (int blocks : {1, 4}) {
    FakeDesktop full(128, 64), tracked(128, 64);
    tracked.SetTrackChanges(true);
    TRtcScreenCapture a(full), b(tracked);
    for (auto* c : {&a, &b}) {
      c->setScreenBlockCount(blocks);
      c->setMaxTotalSize(blocks == 4 ? 3000 : 0);
    }
    int skipped = 0;
    for (int step = 0; step < 30; ++step) {
      for (FakeDesktop* d : {&full, &tracked}) {
        if (step % 3 == 0) d->Noise({step, step, step + 20, step + 5}, step);
        if (step % 5 == 1) d->Fill({0, 60, 128, 64}, 0x00FF00u * step);
        if (step % 7 == 2) d->Fill({5, 5, 6, 6}, d->Pixel(5, 5));  // drawn, not changed
      }
      a.GrabScreen();
      b.GrabScreen();
      ASSERT_EQ(a.GetScreenDelta(), b.GetScreenDelta()) << blocks << " blocks, step " << step;
      ASSERT_EQ(a.GetScreen(), b.GetScreen());
      skipped += static_cast<TRtcGDIScreenEncoder*>(b.Encoder())->SkippedBlocks();
      EXPECT_EQ(static_cast<TRtcGDIScreenEncoder*>(a.Encoder())->SkippedBlocks(), 0);
    }
    if (blocks == 4) {
      EXPECT_GT(skipped, 20);
    }
    EXPECT_LT(tracked.Grabs().size(), full.Grabs().size());
  }
}

TEST(ScreenCapture, StreamsEqualConvertThenPackOfEachGrabbedBlock) {
  // Every block stream equals converting the block's grab and packing it against the image the
  // viewers hold, at each colour setting and row order, with a short last block.
  struct Setting {
    int bppLimit, blocks;
    bool bottomUp;
    uint32_t mask16, mask32;
  };
  const Setting settings[] = {{4, 1, false, 0, 0},          {4, 3, true, 0, 0x80F8F8F8},
                              {2, 4, false, 0xCF38CF38, 0}, {2, 2, true, 0, 0},
                              {1, 3, true, 0, 0},           {0, 2, false, 0, 0}};
  for (const Setting& set : settings) {
    FakeDesktop d(100, 23);  // 112 pixels wide once rounded; 23 rows leave a short last block
    d.SetBottomUp(set.bottomUp);
    TRtcScreenCapture cap(d);
    cap.setBPPLimit(set.bppLimit);
    cap.setScreenBlockCount(set.blocks);
    cap.setMaxTotalSize(1 << 30);
    cap.setReduce16bit(set.mask16);
    cap.setReduce32bit(set.mask32);
    std::unique_ptr<ScreenSource> source = d.OpenScreen();
    std::vector<std::vector<uint8_t>> sent;
    for (int step = 0; step < 8; ++step) {
      if (step == 0) d.Noise({0, 0, 100, 23}, 40);
      if (step == 1) d.Fill({0, 0, 100, 23}, 0x336699);
      if (step == 2 || step == 5) d.Noise({10 + step, 2, 60, 20}, step);
      if (step == 3) d.Fill({0, 10, 50, 12}, 0xFFFFFF);
      if (step == 6) d.SetPixel(99, 22, 0x010203);
      cap.GrabScreen();
      std::string wire = cap.GetScreenDelta();
      std::map<int, std::string> streams;
      if (!wire.empty()) {
        auto rec = parse(wire);
        TRtcArray* scr = rec->asArray("scr");
        for (int k = 0; scr && k < scr->Count(); ++k)
          streams[scr->asRecord(k)->asInteger("at")] = scr->asRecord(k)->asString("img");
      }
      const CaptureGeometry& g = static_cast<TRtcGDIScreenEncoder*>(cap.Encoder())->Geometry();
      sent.resize(static_cast<size_t>(g.blockCount));
      for (int b = 0; b < g.blockCount; ++b) {
        ConvertTarget t;
        t.code = g.bytesPerPixel;
        t.width = g.blockWidth;
        t.height = g.heightOf(b);
        t.stride = g.bppWidth;
        t.bottomUp = set.bottomUp;
        t.mask32 = set.mask32;
        RawImage raw;
        ASSERT_TRUE(source->Grab(g.rectOf(b), raw));
        std::vector<uint8_t> image(g.sizeOf(b)), out(PackedSizeBound(g.sizeOf(b)));
        ConvertPixels(raw, t, image.data());
        if (t.code == kPixels16Bit && set.mask16)
          MaskPixels(image.data(), image.size(), set.mask16);
        out.resize(step == 0 ? PackImage(image, out) : PackImageDelta(sent[b], image, out));
        EXPECT_EQ(streams[static_cast<int>(g.offsetOf(b, set.bottomUp))],
                  std::string(out.begin(), out.end()))
            << "limit " << set.bppLimit << ", block " << b << ", step " << step;
        sent[b] = std::move(image);
      }
    }
  }
}

TEST(ScreenCapture, WholeScreenChangesAndSmallOnesFollowEachOther) {
  // Full-size streams are packed into the strings of the previous update; small ones are not.
  for (int blocks : {1, 3}) {
    FakeDesktop d(96, 50);
    TRtcScreenCapture cap(d);
    cap.setScreenBlockCount(blocks);
    cap.setMaxTotalSize(1 << 30);  // every block in each update
    ScreenImage viewer;
    for (int step = 0; step < 12; ++step) {
      if (step % 4 < 2) d.Noise({0, 0, 96, 50}, step);
      if (step % 4 == 2) d.Fill({3, 3, 5, 4}, 0x010203u * step);
      cap.GrabScreen();
      std::string delta = cap.GetScreenDelta();
      EXPECT_EQ(delta.empty(), step % 4 == 3) << step;
      viewer.Apply(delta);
      expectImage(viewer, d, same);
      ScreenImage late;
      late.Apply(cap.GetScreen());
      EXPECT_EQ(late.Data(), viewer.Data()) << blocks << " blocks, step " << step;
    }
  }
}

TEST(ScreenCapture, UpdateTextIsTheWireTextOfItsRecord) {
  // The update is written as text directly; it must read back into the record it stands for and
  // be written again byte for byte, with the fields in their order, over a depth change, one
  // block per update, budgets, and 12 blocks where the item count has one or two digits.
  struct Setting {
    int bppLimit, blocks, budget;
  };
  for (Setting set : {Setting{4, 1, 0}, Setting{1, 3, 0}, Setting{4, 12, 2000},
                      Setting{4, 12, 1 << 30}, Setting{0, 5, 300}}) {
    FakeDesktop d(64, 48);
    TRtcScreenCapture cap(d);
    cap.setBPPLimit(set.bppLimit);
    cap.setScreenBlockCount(set.blocks);
    cap.setMaxTotalSize(set.budget);
    ScreenImage viewer;
    for (int step = 0; step < 16; ++step) {
      if (step % 5 == 0) d.Noise({0, 0, 64, 48}, step);
      if (step % 5 == 2) d.Noise({step, 3 * step % 40, step + 9, 3 * step % 40 + 7}, step);
      if (step == 8) d.SetDepth(16);
      cap.GrabScreen();
      const std::string& wire = cap.GetScreenDelta();
      TRtcValue& data = cap.Encoder()->GetScreenData();
      if (wire.empty()) {
        EXPECT_EQ(data.GetType(), rtc_Null);
        continue;
      }
      viewer.Apply(wire);
      auto rec = parse(wire);
      EXPECT_EQ(rec->toCode(), wire) << set.blocks << " blocks, step " << step;
      ASSERT_EQ(data.GetType(), rtc_Record);
      EXPECT_EQ(data.GetObject()->toCode(), wire);
      int n = rec->Count();
      EXPECT_EQ(rec->FieldName(n - 1), u"scr");
      if (rec->asObject("res")) {
        EXPECT_EQ(rec->FieldName(0), u"res");
      }
      if (rec->asObject("pal")) {
        EXPECT_EQ(rec->FieldName(n - 2), u"pal");
      }
    }
    EXPECT_EQ(viewer.Height(), 48);
  }
}

CursorShape customShape() {
  CursorShape s;
  s.name = "my-own";
  s.width = 3;
  s.height = 2;
  s.hotX = 1;
  s.hotY = 0;
  s.argb = {0xFFFF0000, 0x00000000, 0xFF00FF00, 0xFF0000FF, 0x80FFFFFF, 0x00000000};
  return s;
}

TEST(ScreenCaptureCursor, RecordsReportWhatChanged) {
  FakeDesktop d(64, 16);
  TRtcScreenCapture cap(d);
  d.MoveCursor(10, 5);
  cap.GrabMouse();
  auto rec = TRtcRecord::FromCode(cap.GetMouseDelta());
  EXPECT_TRUE(rec->asBoolean("V"));
  EXPECT_EQ(rec->asInteger("X"), 10);
  EXPECT_EQ(rec->asInteger("Y"), 5);
  EXPECT_EQ(rec->asInteger("C"), 2);  // the arrow
  EXPECT_EQ(rec->isType("U"), rtc_Null);
  cap.GrabMouse();
  EXPECT_EQ(cap.GetMouseDelta(), "");

  // A viewer moved the mouse there; a later local move clears the name.
  cap.SetLastMouse("ana", 30, 7);
  d.MoveCursor(30, 7);
  cap.GrabMouse();
  rec = TRtcRecord::FromCode(cap.GetMouseDelta());
  EXPECT_EQ(rec->asText("U"), u"ana");
  EXPECT_EQ(rec->isType("V"), rtc_Null);
  EXPECT_EQ(rec->isType("C"), rtc_Null);
  d.MoveCursor(31, 7);
  cap.GrabMouse();
  rec = TRtcRecord::FromCode(cap.GetMouseDelta());
  EXPECT_EQ(rec->isType("U"), rtc_Null);
  EXPECT_EQ(rec->asInteger("X"), 31);

  // Custom shapes travel as bitmaps with the hot spot; standard names as numbers.
  d.SetCursorShape(customShape());
  cap.GrabMouse();
  rec = TRtcRecord::FromCode(cap.GetMouseDelta());
  EXPECT_EQ(rec->asInteger("HX"), 1);
  EXPECT_EQ(rec->asInteger("HY"), 0);
  ASSERT_NE(rec->asByteStream("I"), nullptr);
  const std::string& bmp = rec->asByteStream("I")->bytes();
  ASSERT_GT(bmp.size(), 54u);
  EXPECT_EQ(bmp.substr(0, 2), "BM");
  EXPECT_EQ(static_cast<uint8_t>(bmp[28]), 32);  // bits per pixel
  EXPECT_EQ(static_cast<uint8_t>(bmp[2]) | static_cast<uint8_t>(bmp[3]) << 8, bmp.size());
  // The first stored row is the bottom one: blue, then a half-transparent white (shown).
  EXPECT_EQ(static_cast<uint8_t>(bmp[54]), 0xFF);
  const std::string& mask = rec->asByteStream("M")->bytes();
  EXPECT_EQ(static_cast<uint8_t>(mask[28]), 4);
  EXPECT_EQ(rec->isType("C"), rtc_Null);
  EXPECT_EQ(rec->isType("X"), rtc_Null);
  CursorShape fleur;
  fleur.name = "fleur";
  d.SetCursorShape(fleur);
  cap.GrabMouse();
  EXPECT_EQ(TRtcRecord::FromCode(cap.GetMouseDelta())->asInteger("C"), 22);

  d.ShowCursor(false);
  cap.GrabMouse();
  rec = TRtcRecord::FromCode(cap.GetMouseDelta());
  EXPECT_FALSE(rec->asBoolean("V"));
  EXPECT_EQ(rec->FieldCount(), 1);

  // GetMouse always reports everything.
  d.ShowCursor(true);
  cap.GrabMouse();
  cap.GetMouseDelta();
  rec = TRtcRecord::FromCode(cap.GetMouse());
  EXPECT_TRUE(rec->asBoolean("V"));
  EXPECT_EQ(rec->asInteger("X"), 31);
  EXPECT_EQ(rec->asInteger("C"), 22);
}

TEST(ScreenCaptureCursor, ReducedBitmapsAndPositionOnly) {
  CursorBitmaps b = MakeCursorBitmaps(customShape(), 1);
  EXPECT_EQ(static_cast<uint8_t>(b.color[28]), 8);
  EXPECT_EQ(b.color.size(), 54u + 1024 + 2 * 4);
  b = MakeCursorBitmaps(customShape(), 0);
  EXPECT_EQ(static_cast<uint8_t>(b.color[28]), 4);
  b = MakeCursorBitmaps(customShape(), 2);
  EXPECT_EQ(static_cast<uint8_t>(b.color[28]), 16);
  CursorShape broken = customShape();
  broken.argb.resize(2);  // fewer pixels than the size says
  EXPECT_TRUE(MakeCursorBitmaps(broken, 4).color.empty());
  EXPECT_EQ(StandardCursorNumber("xterm"), 4);
  EXPECT_EQ(StandardCursorNumber("watch"), 11);
  EXPECT_EQ(StandardCursorNumber(""), -1);

  FakeDesktop d(64, 16);
  d.SetCursorInfoAvailable(false);
  TRtcScreenCapture cap(d);
  d.MoveCursor(3, 4);
  cap.GrabMouse();
  auto rec = TRtcRecord::FromCode(cap.GetMouseDelta());
  EXPECT_EQ(rec->asInteger("X"), 3);
  EXPECT_EQ(rec->isType("C"), rtc_Null);  // shape never reported
  d.SetCursorReadable(false);
  cap.GrabMouse();
  EXPECT_FALSE(TRtcRecord::FromCode(cap.GetMouseDelta())->asBoolean("V"));
}

}  // namespace
}  // namespace vtx
