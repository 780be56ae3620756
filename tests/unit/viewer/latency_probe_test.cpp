// The latency probe: the frame number read back from a marker as the console's image shows it,
// at any colour setting, and nothing read from whatever else is on the screen there.
#include "analyst/latency_probe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace vtx::analyst {
namespace {

struct Image {
  int width, height;
  std::vector<uint32_t> px;
  Image(int w, int h, uint32_t fill) : width(w), height(h), px(size_t(w) * h, fill) {}
  PixelReader Reader() {
    return [this](int x, int y) {
      EXPECT_TRUE(x >= 0 && y >= 0 && x < width && y < height) << x << "," << y;
      return px.at(size_t(y) * width + x);
    };
  }
  // Draws the marker as the bench's marker client does, in the given shades.
  void Mark(int x, int y, int value, uint32_t one = 0xFFFFFF, uint32_t zero = 0) {
    for (int i = 0; i < 2 * kMarkerBits; ++i) {
      const int bit = i < kMarkerBits ? (value >> (kMarkerBits - 1 - i)) & 1
                                      : !((value >> (2 * kMarkerBits - 1 - i)) & 1);
      for (int dy = 0; dy < kMarkerCell; ++dy)
        for (int dx = 0; dx < kMarkerCell; ++dx)
          px[size_t(y + dy) * width + x + i * kMarkerCell + dx] = bit ? one : zero;
    }
  }
};

TEST(LatencyProbe, ReadsTheNumberAtEveryShadeAndRejectsEverythingElse) {
  Image img(200, 20, 0x808080);
  for (int v : {0, 1, 1234, (1 << kMarkerBits) - 1}) {
    img.Mark(3, 5, v);
    EXPECT_EQ(ReadMarker(img.Reader(), img.width, img.height, 3, 5), v);
  }
  // A palette's near-white and near-black, as reduced colour settings give them.
  img.Mark(3, 5, 2730, 0xF8FCF8, 0x080408);
  EXPECT_EQ(ReadMarker(img.Reader(), img.width, img.height, 3, 5), 2730);
  // One cell position off: the halves no longer agree.
  img.Mark(3, 5, 1234);
  EXPECT_EQ(ReadMarker(img.Reader(), img.width, img.height, 3 + kMarkerCell, 5), std::nullopt);
  // Plain areas and a marker with a broken inverted half.
  EXPECT_EQ(ReadMarker(Image(200, 20, 0xFFFFFF).Reader(), 200, 20, 0, 0), std::nullopt);
  EXPECT_EQ(ReadMarker(Image(200, 20, 0).Reader(), 200, 20, 0, 0), std::nullopt);
  img.px[size_t(5 + 1) * img.width + 3 + (2 * kMarkerBits - 1) * kMarkerCell + 1] ^= 0xFFFFFF;
  img.px[size_t(5 + 2) * img.width + 3 + (2 * kMarkerBits - 1) * kMarkerCell + 2] ^= 0xFFFFFF;
  EXPECT_EQ(ReadMarker(img.Reader(), img.width, img.height, 3, 5), std::nullopt);
}

TEST(LatencyProbe, APositionTheMarkerDoesNotFitIsNeverRead) {
  Image img(kMarkerWidth, kMarkerCell, 0);
  img.Mark(0, 0, 7);
  EXPECT_EQ(ReadMarker(img.Reader(), img.width, img.height, 0, 0), 7);
  EXPECT_EQ(ReadMarker(img.Reader(), img.width, img.height, 1, 0), std::nullopt);
  EXPECT_EQ(ReadMarker(img.Reader(), img.width, img.height, 0, 1), std::nullopt);
  EXPECT_EQ(ReadMarker(img.Reader(), img.width, img.height, -1, 0), std::nullopt);
  EXPECT_EQ(ReadMarker(img.Reader(), 0, 0, 0, 0), std::nullopt);  // no image yet
}

TEST(LatencyProbe, LogsEachNewNumberOnce) {
  std::FILE* log = std::tmpfile();
  ASSERT_NE(log, nullptr);
  LatencyProbe probe(10, 2, log);
  Image img(120, 10, 0x336699);
  EXPECT_EQ(probe.Applied(img.Reader(), img.width, img.height), std::nullopt);
  img.Mark(10, 2, 5);
  EXPECT_EQ(probe.Applied(img.Reader(), img.width, img.height), 5);
  EXPECT_EQ(probe.Applied(img.Reader(), img.width, img.height), std::nullopt);  // unchanged
  img.Mark(10, 2, 9);
  EXPECT_EQ(probe.Applied(img.Reader(), img.width, img.height), 9);
  std::rewind(log);
  long long t1 = 0, t2 = 0;
  int v1 = -1, v2 = -1;
  ASSERT_EQ(std::fscanf(log, "latency-probe %lld %d\nlatency-probe %lld %d\n", &t1, &v1, &t2, &v2),
            4);
  EXPECT_EQ(v1, 5);
  EXPECT_EQ(v2, 9);
  EXPECT_LE(t1, t2);
  EXPECT_EQ(std::fgetc(log), EOF);
  std::fclose(log);
}

TEST(LatencyProbe, PositionIsTwoPlainNumbers) {
  int x = -1, y = -1;
  ParseProbePosition("1176,8", x, y);
  EXPECT_EQ(x, 1176);
  EXPECT_EQ(y, 8);
  for (const char* bad : {"", "1176", ",8", "1176,", "-1,8", "1,2,3", "a,b", " 1,2", "99999999,1"})
    EXPECT_THROW(ParseProbePosition(bad, x, y), std::invalid_argument) << bad;
}

}  // namespace
}  // namespace vtx::analyst
