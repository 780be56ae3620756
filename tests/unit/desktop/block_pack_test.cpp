#include "desktop/block_pack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "util/exceptions.h"

namespace vtx {
namespace {

using Bytes = std::vector<uint8_t>;

// Pixels as 0x00RRGGBB, row by row, and their encoding in a source layout.
struct Picture {
  int width = 0, height = 0;
  std::vector<uint32_t> rgb;
  uint32_t& at(int x, int y) { return rgb[static_cast<size_t>(y) * width + x]; }
};

enum class Source { Standard32, Swapped32, Bits24, Bits565 };

struct Grab {
  Bytes storage;
  RawImage raw;
};

// Encodes the picture like a grab would deliver it: rows stride apart, optionally starting at
// an odd address, the 32-bit pad byte filled with garbage.
Grab encode(const Picture& p, Source s, int extraStride, bool misaligned, std::mt19937& rng) {
  Grab g;
  PixelLayout l;
  if (s == Source::Swapped32) l.redMask = 0xFF, l.blueMask = 0xFF0000;
  if (s == Source::Bits24) l.bitsPerPixel = 24;
  if (s == Source::Bits565) l = {16, 0xF800, 0x07E0, 0x001F};
  size_t bpp = static_cast<size_t>(l.bitsPerPixel) / 8;
  size_t stride = bpp * p.width + extraStride;
  size_t offset = misaligned ? 1 : 0;
  g.storage.assign(offset + stride * p.height + 4, 0x5A);
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) {
      uint32_t v = p.rgb[static_cast<size_t>(y) * p.width + x];
      uint32_t r = v >> 16 & 0xFF, gr = v >> 8 & 0xFF, b = v & 0xFF;
      uint32_t enc = v;
      if (s == Source::Standard32) enc = v | (rng() & 0xFF000000u);
      if (s == Source::Swapped32) enc = b << 16 | gr << 8 | r;
      if (s == Source::Bits565) enc = (r >> 3) << 11 | (gr >> 2) << 5 | b >> 3;
      std::memcpy(&g.storage[offset + y * stride + bpp * x], &enc, bpp);
    }
  g.raw.data = g.storage.data() + offset;
  g.raw.stride = stride;
  g.raw.width = p.width;
  g.raw.height = p.height;
  g.raw.layout = l;
  return g;
}

struct Result {
  Bytes image, stream;
};

// The old path: convert, mask, then pack the whole image.
Result reference(const RawImage& raw, const ConvertTarget& t, uint32_t mask, const Bytes* prev) {
  Result r;
  r.image.assign(t.stride * static_cast<size_t>(t.height), 0);
  ConvertPixels(raw, t, r.image.data());
  if (mask) MaskPixels(r.image.data(), r.image.size(), mask);
  r.stream.resize(PackedSizeBound(r.image.size()));
  r.stream.resize(prev ? PackImageDelta(*prev, r.image, r.stream) : PackImage(r.image, r.stream));
  return r;
}

Result fused(const RawImage& raw, const ConvertTarget& t, uint32_t mask, const Bytes* prev,
             bool wideScan) {
  Result r;
  r.image.assign(t.stride * static_cast<size_t>(t.height), 0xCD);  // every byte must be written
  r.stream.assign(PackedSizeBound(r.image.size()), 0xEE);
  BlockPackJob job;
  job.raw = &raw;
  job.target = t;
  job.dwordMask = mask;
  job.previous = prev ? prev->data() : nullptr;
  job.image = r.image.data();
  job.wideScan = wideScan;
  r.stream.resize(ConvertAndPackBlock(job, r.stream));
  return r;
}

void expectSame(const RawImage& raw, const ConvertTarget& t, uint32_t mask, const Bytes* prev,
                const std::string& what) {
  Result want = reference(raw, t, mask, prev);
  for (bool wide : {true, false}) {
    Result got = fused(raw, t, mask, prev, wide);
    ASSERT_EQ(got.image, want.image) << what << (wide ? " wide scan" : " narrow scan");
    ASSERT_EQ(got.stream, want.stream) << what << (wide ? " wide scan" : " narrow scan");
    BlockPackJob job;
    job.raw = &raw;
    job.target = t;
    job.dwordMask = mask;
    if (!prev || !PacksInPlace(job)) continue;
    // Over the previous image itself.
    Result over{*prev, Bytes(PackedSizeBound(prev->size()), 0xEE)};
    job.previous = job.image = over.image.data();
    job.wideScan = wide;
    over.stream.resize(ConvertAndPackBlock(job, over.stream));
    ASSERT_EQ(over.image, want.image) << what << " in place";
    ASSERT_EQ(over.stream, want.stream) << what << " in place";
  }
}

// A picture of the given kind: noise, runs of a few colours, or text-like sparse dots.
Picture picture(int w, int h, int kind, std::mt19937& rng) {
  Picture p{w, h, std::vector<uint32_t>(static_cast<size_t>(w) * h)};
  const uint32_t few[] = {0xFFFFFF, 0x000000, 0x102030, 0x808080};
  uint32_t v = 0;
  int left = 0;
  for (auto& px : p.rgb) {
    if (kind == 0) {
      px = rng() & 0xFFFFFF;
    } else if (kind == 1) {
      if (left-- <= 0) v = few[rng() % 4], left = static_cast<int>(rng() % (rng() % 2 ? 3 : 300));
      px = v;
    } else {
      px = rng() % 5 == 0 ? rng() & 0xFFFFFF : 0xF0F0F0;
    }
  }
  return p;
}

// The next frame: everything new, scattered changes, one changed rectangle, nothing, or pixels
// set to their left neighbour (pairs and runs that start inside changed stretches).
Picture change(Picture p, int kind, std::mt19937& rng) {
  int w = p.width, h = p.height;
  switch (kind) {
    case 0:
      return picture(w, h, static_cast<int>(rng() % 3), rng);
    case 1:
      for (auto& px : p.rgb)
        if (rng() % 8 == 0) px = rng() % 2 ? rng() & 0xFFFFFF : 0x123456;
      return p;
    case 2: {
      int x0 = static_cast<int>(rng() % w), y0 = static_cast<int>(rng() % h);
      for (int y = y0; y < h && y < y0 + 3; ++y)
        for (int x = x0; x < w && x < x0 + 20; ++x) p.at(x, y) = rng() & 0xFFFFFF;
      return p;
    }
    case 3:
      return p;
    default:
      for (size_t i = 1; i < p.rgb.size(); ++i)
        if (rng() % 4 == 0) p.rgb[i] = p.rgb[i - 1] ^ (rng() % 3 == 0 ? 1 : 0);
      return p;
  }
}

TEST(BlockPack, EqualsConvertThenPackOnVariedBlocks) {
  std::mt19937 rng(19);
  int cases = 0;
  for (Source s : {Source::Standard32, Source::Swapped32, Source::Bits24, Source::Bits565})
    for (int code : {4, 2, 1, 0})
      for (bool bottomUp : {false, true})
        for (int round = 0; round < 6; ++round) {
          // Widths of whole groups and odd ones, one-row and short blocks, padded strides
          // (streams with tail bytes) and grabs that miss columns or rows.
          const int widths[] = {16, 48, 100, 64, 2, 130};
          const int heights[] = {1, 3, 7, 2, 5, 1};
          ConvertTarget t;
          t.code = code;
          t.width = widths[round];
          t.height = heights[round];
          size_t used =
              code == 0 ? static_cast<size_t>(t.width) / 2 : static_cast<size_t>(code) * t.width;
          t.stride = used + (round == 2 ? 3 : 0);
          t.bottomUp = bottomUp;
          t.mask32 = code == 4 && round % 2 ? 0x80F8F8F8 : 0;
          uint32_t mask = code == 2 && round % 3 == 1 ? 0xCF38CF38 : 0;
          bool partial = round == 4;
          Picture before = picture(partial ? t.width - 1 : t.width,
                                   partial ? t.height - 1 : t.height, round % 3, rng);
          Grab g0 = encode(before, s, round % 2 ? 3 : 0, round == 3, rng);
          std::string what = "source " + std::to_string(static_cast<int>(s)) + " code " +
                             std::to_string(code) + (bottomUp ? " bottom-up" : "") + " round " +
                             std::to_string(round);
          expectSame(g0.raw, t, mask, nullptr, what + " full");
          Bytes prev = reference(g0.raw, t, mask, nullptr).image;
          for (int kind = 0; kind < 5; ++kind) {
            Grab g1 = encode(change(before, kind, rng), s, round % 2 ? 3 : 0, round == 5, rng);
            expectSame(g1.raw, t, mask, &prev, what + " change " + std::to_string(kind));
            ++cases;
          }
        }
  EXPECT_EQ(cases, 4 * 4 * 2 * 6 * 5);
}

TEST(BlockPack, ScreenWideBlocksOfEveryKindOfChange) {
  // Blocks as wide as screens, whose 32-bit rows are converted while they are scanned: the pad
  // byte full of garbage, colour masks, whole and partial last groups, and streams long enough
  // for tokens far from both ends of the buffers.
  std::mt19937 rng(23);
  struct Shape {
    int w, h;
  };
  for (Shape sh : {Shape{1920, 4}, Shape{1366, 5}, Shape{333, 7}})
    for (uint32_t mask32 : {0u, 0x80F8F8F8u})
      for (uint32_t dwordMask : {0u, 0x00FCFCFCu})
        for (int kind = 0; kind < 3; ++kind) {
          ConvertTarget t;
          t.width = sh.w;
          t.height = sh.h;
          t.stride = 4 * static_cast<size_t>(sh.w);
          t.mask32 = mask32;
          Picture before = picture(sh.w, sh.h, kind, rng);
          Grab g0 = encode(before, Source::Standard32, 0, kind == 1, rng);
          std::string what = std::to_string(sh.w) + "x" + std::to_string(sh.h) + " masks " +
                             std::to_string(mask32) + "/" + std::to_string(dwordMask) + " kind " +
                             std::to_string(kind);
          expectSame(g0.raw, t, dwordMask, nullptr, what + " full");
          Bytes prev = reference(g0.raw, t, dwordMask, nullptr).image;
          for (int next = 0; next < 5; ++next) {
            Grab g1 = encode(change(before, next, rng), Source::Standard32, 0, false, rng);
            expectSame(g1.raw, t, dwordMask, &prev, what + " change " + std::to_string(next));
          }
        }
}

// One 32-bit row whose pixels are given: the image equals the pixels, so token boundaries can
// be placed exactly.
struct Row {
  std::vector<uint32_t> px;
  RawImage raw() const {
    RawImage r;
    r.data = reinterpret_cast<const uint8_t*>(px.data());
    r.stride = 4 * px.size();
    r.width = static_cast<int>(px.size());
    r.height = 1;
    return r;
  }
  ConvertTarget target() const {
    ConvertTarget t;
    t.width = static_cast<int>(px.size());
    t.height = 1;
    t.stride = 4 * px.size();
    return t;
  }
};

Row distinct(size_t n, uint32_t seed) {
  Row r{std::vector<uint32_t>(n)};
  for (size_t i = 0; i < n; ++i)
    r.px[i] = (seed * 0x9E3779B1u + static_cast<uint32_t>(i)) & 0xFFFFFF;
  return r;
}

TEST(BlockPack, LongTokensAndTheirLengthForms) {
  // Literal, run and skip lengths at each edge of their count forms, placed across the 64-pixel
  // steps of the scan; a pair right after a long literal; a trailing unchanged stretch.
  const size_t lengths[] = {1, 2, 63, 64, 65, 0xF1, 0xF2, 255, 256, 257, 0xFFFF, 0x10000, 70001};
  for (size_t len : lengths)
    for (size_t lead : {size_t{0}, size_t{1}, size_t{61}}) {
      size_t n = lead + len + 70;
      Row prev = distinct(n, 1), lit = distinct(n, 2), run = lit, skip = lit;
      for (size_t i = lead; i < lead + len; ++i) run.px[i] = 0x445566;     // a run of len
      run.px[lead + len] = run.px[lead + len + 1] = 0x010101;              // then a one-byte run
      lit.px[lead + len] = lit.px[lead + len + 1];                         // a literal, then a pair
      for (size_t i = lead; i < lead + len; ++i) skip.px[i] = prev.px[i];  // unchanged stretch
      for (size_t i = n - 30; i < n; ++i) skip.px[i] = lit.px[i] = prev.px[i];
      Bytes prevImage(prev.px.size() * 4);
      std::memcpy(prevImage.data(), prev.px.data(), prevImage.size());
      for (const Row* r : {&lit, &run, &skip}) {
        std::string what = "length " + std::to_string(len) + " lead " + std::to_string(lead);
        expectSame(r->raw(), r->target(), 0, &prevImage, what + " delta");
        expectSame(r->raw(), r->target(), 0, nullptr, what + " full");
      }
    }
}

TEST(BlockPack, SmallBlocksAndTails) {
  std::mt19937 rng(7);
  // 8-bit images of 1..23 bytes: none, some or all dwords and 0..3 tail bytes; tails equal
  // or not with a pending unchanged stretch before them.
  for (int w = 1; w < 24; ++w)
    for (int kind = 0; kind < 4; ++kind) {
      Picture p = picture(w, 1, kind % 3, rng);
      Grab g0 = encode(p, Source::Standard32, 0, false, rng);
      ConvertTarget t;
      t.code = 1;
      t.width = w;
      t.height = 1;
      t.stride = static_cast<size_t>(w);
      Bytes prev = reference(g0.raw, t, 0, nullptr).image;
      Picture q = p;
      q.rgb.back() = kind == 3 ? q.rgb.back() : (q.rgb.back() ^ 0xFFFFFF);
      if (kind == 2) q.rgb.front() ^= 0xFFFFFF;
      Grab g1 = encode(q, Source::Standard32, 0, false, rng);
      expectSame(g1.raw, t, 0, &prev, "width " + std::to_string(w));
      expectSame(g1.raw, t, 0, nullptr, "full width " + std::to_string(w));
    }
}

TEST(BlockPack, BadJobsAndEmptyBlocks) {
  Row r = distinct(40, 3);
  ConvertTarget t = r.target();
  RawImage raw = r.raw();
  Bytes image(t.stride), out(PackedSizeBound(t.stride) - 1);
  BlockPackJob job;
  job.raw = &raw;
  job.target = t;
  job.image = image.data();
  EXPECT_THROW(ConvertAndPackBlock(job, out), ERtcInfo);
  out.resize(out.size() + 1);
  job.raw = nullptr;
  EXPECT_THROW(ConvertAndPackBlock(job, out), ERtcInfo);
  job.raw = &raw;
  job.image = nullptr;
  EXPECT_THROW(ConvertAndPackBlock(job, out), ERtcInfo);
  job.target.height = 0;
  EXPECT_EQ(ConvertAndPackBlock(job, out), 0u);

  // Only whole 32-bit rows may be converted over their previous image.
  job.target = t;
  job.previous = job.image = image.data();
  EXPECT_TRUE(PacksInPlace(job));
  EXPECT_NO_THROW(ConvertAndPackBlock(job, out));
  for (int change : {0, 1, 2, 3}) {
    BlockPackJob other = job;
    RawImage narrow = raw;
    if (change == 0) other.target.code = 1, other.target.stride = t.stride / 4;
    if (change == 1) other.target.bottomUp = true;
    if (change == 2) narrow.width -= 1;
    if (change == 3) narrow.layout.bitsPerPixel = 24;
    other.raw = &narrow;
    EXPECT_FALSE(PacksInPlace(other)) << change;
    EXPECT_THROW(ConvertAndPackBlock(other, out), ERtcInfo) << change;
  }
}

}  // namespace
}  // namespace vtx
