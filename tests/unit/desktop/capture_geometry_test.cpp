#include "desktop/capture_geometry.h"

#include <gtest/gtest.h>

#include <random>

#include <limits>

#include "desktop/pixel_convert.h"
#include "desktop/placeholder.h"
#include "desktop/screen_palette.h"

namespace vtx {
namespace {

CaptureGeometry geometry(int w, int h, int bpp, GeometrySettings s = {}) {
  DisplayInfo d;
  d.rect = {0, 0, w, h};
  d.bitsPerPixel = bpp;
  return ComputeGeometry(d, s);
}

TEST(CaptureGeometry, WidthRoundsUpTo16AndDepthMapsToPixelCodes) {
  EXPECT_EQ(geometry(1366, 768, 32).captureWidth, 1376);
  EXPECT_EQ(geometry(1920, 1080, 32).captureWidth, 1920);
  const int codes[][2] = {{1, 0},  {4, 0},  {5, 1},  {8, 1},  {9, 2}, {16, 2},
                          {17, 3}, {24, 3}, {32, 4}, {30, 3}, {0, 3}, {48, 3}};
  for (auto [bpp, code] : codes) EXPECT_EQ(PixelSizeCode(bpp), code) << bpp;
  // 24-bit displays are captured as 16-bit; the limit clamps every deeper display.
  EXPECT_EQ(geometry(64, 8, 24).bytesPerPixel, 2);
  EXPECT_EQ(geometry(64, 8, 32).bytesPerPixel, 4);
  for (int bpp : {8, 16, 24, 32}) {
    GeometrySettings s;
    s.bppLimit = 1;
    EXPECT_EQ(geometry(64, 8, bpp, s).bytesPerPixel, 1) << bpp;
  }
  GeometrySettings s;
  s.bppLimit = 3;  // a 24-bit limit is still 16-bit
  EXPECT_EQ(geometry(64, 8, 32, s).bytesPerPixel, 2);
  s.bppLimit = -5;  // out of range: the smallest code
  EXPECT_EQ(geometry(64, 8, 32, s).bytesPerPixel, 0);
  s.bppLimit = 99;
  EXPECT_EQ(geometry(64, 8, 32, s).bytesPerPixel, 4);
  EXPECT_EQ(geometry(64, 8, 4).bppWidth, 32u);  // two pixels per byte
}

TEST(CaptureGeometry, BlocksAndTheShortLastBlock) {
  GeometrySettings s;
  s.maxBlockCount = 5;
  CaptureGeometry g = geometry(1024, 768, 32, s);
  EXPECT_EQ(g.blockHeight, 153);
  EXPECT_EQ(g.blockCount, 6);
  EXPECT_EQ(g.lastBlockHeight, 3);
  EXPECT_EQ(g.blockSize, 153u * 4096);
  EXPECT_EQ(g.lastBlockSize, 3u * 4096);
  EXPECT_EQ(g.allBlockSize, 768u * 4096);

  GeometrySettings budget;
  budget.maxTotalSize = 65536;
  g = geometry(1920, 1080, 32, budget);
  EXPECT_EQ(g.blockHeight, 8);
  EXPECT_EQ(g.blockCount, 135);
  EXPECT_EQ(g.lastBlockHeight, 8);

  budget.maxTotalSize = 100;  // less than a row: at least two rows
  EXPECT_EQ(geometry(1920, 1080, 32, budget).blockHeight, 2);
  budget.maxTotalSize = -1;  // negative: no budget
  EXPECT_EQ(geometry(1920, 1080, 32, budget).blockCount, 1);

  GeometrySettings many;
  many.maxBlockCount = 1000000;  // far above 12: two-row blocks, nothing worse
  g = geometry(64, 7, 32, many);
  EXPECT_EQ(g.blockHeight, 2);
  EXPECT_EQ(g.blockCount, 4);
  EXPECT_EQ(g.lastBlockHeight, 1);
}

TEST(CaptureGeometry, FixedRegionsAreWidenedAndCutToTheScreen) {
  // The width becomes a multiple of 4: the left edge moves by 4 - width mod 4, or the right
  // edge when the left one would become negative.
  EXPECT_EQ(WidenFixedRegion({10, 0, 17, 100}), (ScreenRect{9, 0, 17, 100}));
  EXPECT_EQ(WidenFixedRegion({1, 0, 8, 100}), (ScreenRect{0, 0, 8, 100}));
  EXPECT_EQ(WidenFixedRegion({0, 0, 7, 100}), (ScreenRect{0, 0, 8, 100}));
  EXPECT_EQ(WidenFixedRegion({1, 0, 6, 100}), (ScreenRect{1, 0, 9, 100}));
  EXPECT_EQ(WidenFixedRegion({4, 0, 12, 5}), (ScreenRect{4, 0, 12, 5}));
  // Reversed and extreme rectangles stay as they are instead of overflowing.
  EXPECT_EQ(WidenFixedRegion({50, 0, 10, 5}), (ScreenRect{50, 0, 10, 5}));
  const int lo = std::numeric_limits<int>::min(), hi = std::numeric_limits<int>::max();
  EXPECT_EQ(WidenFixedRegion({lo, 0, hi, 5}), (ScreenRect{lo, 0, hi, 5}));
  EXPECT_EQ(WidenFixedRegion({hi - 6, 0, hi, 5}), (ScreenRect{hi - 8, 0, hi, 5}));
  EXPECT_EQ(WidenFixedRegion({1, 0, hi, 5}), (ScreenRect{1, 0, hi, 5}));
  EXPECT_EQ((ScreenRect{lo, 0, hi, 0}).width(), hi);

  GeometrySettings s;
  s.fullScreen = false;
  s.fixedRegion = {-20, -10, 100, 50};
  CaptureGeometry g = geometry(640, 480, 32, s);
  EXPECT_EQ(g.captureLeft, 0);
  EXPECT_EQ(g.captureTop, 0);
  EXPECT_EQ(g.captureWidth, 100);
  EXPECT_EQ(g.captureHeight, 50);
  s.fixedRegion = {600, 400, 2000, 2000};
  g = geometry(640, 480, 32, s);
  EXPECT_EQ(g.captureWidth, 40);
  EXPECT_EQ(g.captureHeight, 80);
  // Regions outside the screen and zero-size screens capture nothing.
  for (ScreenRect r : {ScreenRect{700, 0, 800, 10}, ScreenRect{0, 0, 0, 0},
                       ScreenRect{50, 40, 10, 5}, ScreenRect{2147483000, 0, 2147483647, 10}}) {
    s.fixedRegion = r;
    EXPECT_TRUE(geometry(640, 480, 32, s).empty());
  }
  EXPECT_TRUE(geometry(0, 0, 32).empty());
  EXPECT_TRUE(geometry(640, 0, 32).empty());
}

TEST(CaptureGeometry, AtOffsetsForBothRowOrders) {
  GeometrySettings s;
  s.maxBlockCount = 3;
  CaptureGeometry g = geometry(16, 10, 32, s);  // blocks of 3 rows, last of 1
  ASSERT_EQ(g.blockCount, 4);
  size_t row = 64;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(g.offsetOf(i, false), i * 3 * row);
  EXPECT_EQ(g.offsetOf(3, true), 0u);
  EXPECT_EQ(g.offsetOf(2, true), 1 * row);
  EXPECT_EQ(g.offsetOf(1, true), 4 * row);
  EXPECT_EQ(g.offsetOf(0, true), 7 * row);
}

TEST(ScreenPalette, RecordsCubeAndGreysWithTiesToEven) {
  std::string p = PaletteRecord(256);
  ASSERT_EQ(p.size(), 1028u);
  auto byte = [&](size_t i) { return static_cast<uint8_t>(p[i]); };
  EXPECT_EQ(byte(0), 0x00);
  EXPECT_EQ(byte(1), 0x03);
  EXPECT_EQ(byte(2), 0x00);
  EXPECT_EQ(byte(3), 0x01);
  const auto& c = Palette256();
  EXPECT_EQ(c[0], (PaletteColor{0, 0, 128}));
  EXPECT_EQ(c[5], (PaletteColor{128, 0, 128}));
  EXPECT_EQ(c[6], (PaletteColor{0, 0, 0}));
  EXPECT_EQ(c[7], (PaletteColor{0, 42, 0}));  // 255/6 = 42.5 -> 42
  // i = 2 (blue 2 × 255 / 4 = 127.5 -> 128), j = 1 (red 51), k = 3 (green 127.5 -> 128).
  EXPECT_EQ(c[6 + 2 * 42 + 1 * 7 + 3], (PaletteColor{51, 128, 128}));
  EXPECT_EQ(c[215], (PaletteColor{255, 255, 255}));
  EXPECT_EQ(c[216], (PaletteColor{6, 6, 6}));
  EXPECT_EQ(c[255], (PaletteColor{249, 249, 249}));
  EXPECT_EQ(byte(4 + 4 * 7 + 1), 42);
  EXPECT_EQ(byte(4 + 4 * 7 + 3), 0);

  std::string p16 = PaletteRecord(16);
  EXPECT_EQ(byte(2), 0x00);
  EXPECT_EQ(static_cast<uint8_t>(p16[2]), 16);
  EXPECT_EQ(static_cast<uint8_t>(p16[4 + 4 * 15]), 255);
  for (size_t i = 4 + 16 * 4; i < 1028; ++i) ASSERT_EQ(p16[i], 0) << i;
}

TEST(PixelConvert, FormatsMasksAndRowOrder) {
  const uint32_t src[4] = {0xFF123456, 0x00FFFFFF, 0x00000000, 0x00FF0000};
  uint8_t out[16];
  ConvertRow32To32(src, 4, 0x80F8F8F8, out);
  EXPECT_EQ(out[0], 0x50);  // blue 0x56 & 0xF8
  EXPECT_EQ(out[3], 0x00);  // the unused byte is zero whatever the source and mask
  ConvertRow32To16(src + 1, 1, out);
  EXPECT_EQ(out[0] | out[1] << 8, 0xFFFF);
  ConvertRow32To16(src + 3, 1, out);
  EXPECT_EQ(out[0] | out[1] << 8, 0xF800);
  ConvertRow32To8(src + 1, 3, out);
  EXPECT_EQ(Palette256()[out[0]], (PaletteColor{255, 255, 255}));
  EXPECT_EQ(Palette256()[out[1]], (PaletteColor{0, 0, 0}));
  EXPECT_EQ(Palette256()[out[2]], (PaletteColor{255, 0, 0}));
  ConvertRow32To4(src + 1, 2, out);
  EXPECT_EQ(out[0], 0xF0);  // white then black, left pixel in the high half

  // A narrower grab leaves black; bottom-up storage reverses the rows; 16-bit sources.
  uint16_t raw16[2] = {0xF800, 0x001F};
  RawImage raw;
  raw.data = reinterpret_cast<const uint8_t*>(raw16);
  raw.stride = 2;
  raw.width = 1;
  raw.height = 2;
  raw.layout = {16, 0xF800, 0x07E0, 0x001F};
  uint32_t dest[4];
  ConvertTarget t;
  t.width = 2;
  t.height = 2;
  t.stride = 8;
  t.bottomUp = true;
  ConvertPixels(raw, t, reinterpret_cast<uint8_t*>(dest));
  EXPECT_EQ(dest[0], 0x0000FFu);
  EXPECT_EQ(dest[1], 0u);
  EXPECT_EQ(dest[2], 0xFF0000u);
  EXPECT_EQ(dest[3], 0u);
}

TEST(PixelConvert, SameAsConvertedSeesEveryChangedPixelAndNoMaskedBit) {
  std::mt19937 rng(11);
  for (int width : {1, 7, 8, 15, 16, 17, 31, 33, 64, 65, 1920})
    for (uint32_t mask32 : {0u, 0x80F8F8F8u})
      for (bool bottomUp : {false, true}) {
        const int height = 3;
        size_t rawStride = 4 * static_cast<size_t>(width) + 8;
        std::vector<uint8_t> pixels(rawStride * height);
        for (auto& b : pixels) b = static_cast<uint8_t>(rng());  // garbage pad bytes too
        RawImage raw;
        raw.data = pixels.data();
        raw.stride = rawStride;
        raw.width = width;
        raw.height = height;
        ConvertTarget t;
        t.width = width;
        t.height = height;
        t.stride = 4 * static_cast<size_t>(width) + 4;
        t.bottomUp = bottomUp;
        t.mask32 = mask32;
        std::vector<uint8_t> image(t.stride * height);
        ConvertPixels(raw, t, image.data());
        std::string what = std::to_string(width) + (bottomUp ? " bottom-up" : "");
        for (bool wide : {true, false}) {
          EXPECT_TRUE(SameAsConverted(raw, t, image.data(), wide)) << what;
          for (int x : {0, width / 2, width - 1})
            for (int y = 0; y < height; ++y) {
              uint8_t& green = pixels[y * rawStride + 4 * static_cast<size_t>(x) + 1];
              uint8_t& pad = pixels[y * rawStride + 4 * static_cast<size_t>(x) + 3];
              green ^= 0x80;  // kept by both masks
              EXPECT_FALSE(SameAsConverted(raw, t, image.data(), wide)) << what << " " << x;
              green ^= 0x80;
              pad ^= 0x41;  // never part of the image
              if (mask32) green ^= 0x04;
              EXPECT_TRUE(SameAsConverted(raw, t, image.data(), wide)) << what << " " << x;
              pad ^= 0x41;
              if (mask32) green ^= 0x04;
            }
        }
      }
}

TEST(Placeholder, WhiteWithTextAtTwenty) {
  std::vector<uint32_t> img = PlaceholderImage(600, 60);
  ASSERT_EQ(img.size(), 600u * 60);
  int ink = 0;
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 600; ++x)
      if (img[y * 600 + x] != 0xFFFFFF) {
        ++ink;
        EXPECT_GE(x, 20);
        EXPECT_GE(y, 20);
      }
  EXPECT_GT(ink, 200);
  EXPECT_EQ(img[20 * 600 + 20], 0u);  // the N's first column
  EXPECT_TRUE(PlaceholderImage(0, 10).empty());
  EXPECT_EQ(PlaceholderImage(10, 10).size(), 100u);  // clipped, no writes outside
}

}  // namespace
}  // namespace vtx
