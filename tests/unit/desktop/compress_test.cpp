#include "desktop/compress.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "desktop/screen_decoder.h"
#include "util/exceptions.h"

namespace vtx {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes dwords(std::initializer_list<uint32_t> values) {
  Bytes out;
  for (uint32_t v : values)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return out;
}

Bytes pack(const Bytes& in) {
  Bytes out(PackedSizeBound(in.size()));
  out.resize(PackImage(in, out));
  return out;
}

Bytes packDelta(const Bytes& prev, const Bytes& cur) {
  Bytes out(PackedSizeBound(cur.size()));
  out.resize(PackImageDelta(prev, cur, out));
  return out;
}

struct Line {
  Bytes control, data;
};

Line packLine(const Bytes& in) {
  Line l{Bytes(LineControlBound(in.size())), Bytes(LineDataBound(in.size()))};
  LineCode c = PackLine(in, l.control, l.data);
  l.control.resize(c.controlLength);
  l.data.resize(c.dataLength);
  return l;
}

Line packLineDelta(const Bytes& prev, const Bytes& cur) {
  Line l{Bytes(LineControlBound(cur.size())), Bytes(LineDataBound(cur.size()))};
  LineCode c = PackLineDelta(prev, cur, l.control, l.data);
  l.control.resize(c.controlLength);
  l.data.resize(c.dataLength);
  return l;
}

Bytes repeat(const Bytes& unit, size_t times) {
  Bytes out;
  for (size_t i = 0; i < times; ++i) out.insert(out.end(), unit.begin(), unit.end());
  return out;
}

TEST(PackImage, ValueFormsAndCountWidths) {
  EXPECT_EQ(pack({0x11, 0x22, 0x33, 0x44, 0x11, 0x22, 0x33, 0x44}),
            (Bytes{0xF6, 0x02, 0x11, 0x22, 0x33, 0x44}));
  EXPECT_EQ(pack(Bytes(12, 0)), (Bytes{0xF4, 0x03, 0x00}));
  EXPECT_EQ(pack(repeat({0x12, 0x34}, 6)), (Bytes{0xF5, 0x03, 0x12, 0x34}));
  EXPECT_EQ(pack(repeat(dwords({0x00FF00FF}), 300)), (Bytes{0xF8, 0x2C, 0x01, 0xFF, 0x00}));
  EXPECT_EQ(pack(repeat(dwords({0x01020304}), 255)), (Bytes{0xF6, 0xFF, 4, 3, 2, 1}));
  EXPECT_EQ(pack(repeat(dwords({0x01020304}), 256)), (Bytes{0xF9, 0x00, 0x01, 4, 3, 2, 1}));
  EXPECT_EQ(pack(repeat(dwords({0x01020304}), 65535)), (Bytes{0xF9, 0xFF, 0xFF, 4, 3, 2, 1}));
  EXPECT_EQ(pack(repeat({7}, 4 * 65536)), (Bytes{0xFA, 0x00, 0x00, 0x01, 0x00, 7}));
}

TEST(PackImage, LiteralsStopBeforeEqualPairs) {
  const uint32_t A = 0x0A0A0A01, B = 0x0B0B0B02, C = 0x0C0C0C03, D = 0x0D0D0D04;
  Bytes expected{0xFD, 0x02};
  for (uint32_t v : {A, B}) {
    Bytes d = dwords({v});
    expected.insert(expected.end(), d.begin(), d.end());
  }
  expected.insert(expected.end(),
                  {0xF6, 0x02, 0x03, 0x0C, 0x0C, 0x0C, 0xFD, 0x01, 4, 0xD, 0xD, 0xD});
  EXPECT_EQ(pack(dwords({A, B, C, C, D})), expected);
}

TEST(PackImage, LiteralCountWidthsAndTail) {
  Bytes in;
  for (uint32_t i = 0; i < 256; ++i) {
    Bytes d = dwords({i * 0x01000193u + 5});
    in.insert(in.end(), d.begin(), d.end());
  }
  Bytes out = pack(in);
  ASSERT_EQ(out.size(), 3 + in.size());
  EXPECT_EQ((Bytes{out[0], out[1], out[2]}), (Bytes{0xFE, 0x00, 0x01}));

  Bytes ten{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(pack(ten), (Bytes{0xFD, 0x02, 1, 2, 3, 4, 5, 6, 7, 8, 0x00, 0x02, 9, 10}));
  // Inputs shorter than a dword carry only the tail.
  EXPECT_EQ(pack({9, 8}), (Bytes{0x00, 0x02, 9, 8}));
  EXPECT_TRUE(pack({}).empty());
}

// Literals of 255, 256 and more distinct dwords ending in an equal pair, in full and delta
// streams and with much or little input left behind them: the count width follows the count.
TEST(PackImage, LiteralHeadersAroundTheWidthThresholds) {
  for (size_t count : {254u, 255u, 256u, 257u, 65535u, 65536u}) {
    for (size_t after : {2u, 70000u}) {
      Bytes in;
      for (uint32_t i = 0; i < count; ++i) {
        Bytes d = dwords({i * 2654435761u | 1});
        in.insert(in.end(), d.begin(), d.end());
      }
      Bytes zero(4 * after, 0);
      in.insert(in.end(), zero.begin(), zero.end());
      Bytes header = count <= 255     ? Bytes{0xFD, static_cast<uint8_t>(count)}
                     : count <= 65535 ? Bytes{0xFE, static_cast<uint8_t>(count),
                                              static_cast<uint8_t>(count >> 8)}
                                      : Bytes{0xFF, 0x00, 0x00, 0x01, 0x00};
      Bytes out = pack(in);
      ASSERT_EQ(Bytes(out.begin(), out.begin() + header.size()), header) << count << " " << after;
      ASSERT_EQ(out.size(), header.size() + 4 * count +
                                (after <= 255     ? 3
                                 : after <= 65535 ? 4
                                                  : 6));
      Bytes frame(in.size(), 0xFF);
      DecodeBlockStream(out, frame, 0);
      ASSERT_EQ(frame, in);
      Bytes prev(in.size(), 0xEE);
      out = packDelta(prev, in);
      ASSERT_EQ(Bytes(out.begin(), out.begin() + header.size()), header) << count << " " << after;
    }
  }
}

TEST(PackImage, RejectsTooSmallOutput) {
  Bytes in(64, 1), out(PackedSizeBound(64) - 1);
  EXPECT_THROW(PackImage(in, out), ERtcInfo);
}

TEST(PackImageDelta, SkipsAndPendingSkip) {
  Bytes zeros(400 * 4, 0);
  EXPECT_TRUE(packDelta(zeros, zeros).empty());

  Bytes last = zeros;
  last[399 * 4] = 9;
  EXPECT_EQ(packDelta(zeros, last), (Bytes{0xF2, 0x8F, 0x01, 0xFD, 0x01, 9, 0, 0, 0}));

  Bytes cur = zeros;
  Bytes first = dwords({0x04030201}), mid = dwords({0x0D0C0B0A});
  std::memcpy(cur.data(), first.data(), 4);
  for (int i = 300; i <= 302; ++i) std::memcpy(cur.data() + 4 * i, mid.data(), 4);
  EXPECT_EQ(packDelta(zeros, cur), (Bytes{0xFD, 0x01, 0x01, 0x02, 0x03, 0x04, 0xF2, 0x2B, 0x01,
                                          0xF6, 0x03, 0x0A, 0x0B, 0x0C, 0x0D}));

  Bytes tail42(42, 0), changed(42, 0);
  changed[41] = 5;
  EXPECT_EQ(packDelta(tail42, changed), (Bytes{0x0A, 0x00, 0x02, 0x00, 0x05}));
  EXPECT_TRUE(packDelta(tail42, tail42).empty());
}

TEST(PackImageDelta, SkipThresholds) {
  for (size_t k : {241u, 242u, 65535u, 65536u}) {
    Bytes prev((k + 1) * 4, 0), cur = prev;
    cur[k * 4] = 1;
    Bytes out = packDelta(prev, cur);
    Bytes lit{0xFD, 0x01, 1, 0, 0, 0};
    Bytes head;
    if (k <= 241)
      head = {static_cast<uint8_t>(k)};
    else if (k <= 65535)
      head = {0xF2, static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8)};
    else
      head = {0xF3, 0x00, 0x00, 0x01, 0x00};
    head.insert(head.end(), lit.begin(), lit.end());
    EXPECT_EQ(out, head) << k;
  }
}

TEST(PackImageDelta, RunsAreConfinedToTheChangedSegment) {
  // Current 5 5 5 5 against 0 0 5 0: the run stops where current equals previous.
  Bytes prev = dwords({0, 0, 5, 0}), cur = dwords({5, 5, 5, 5});
  EXPECT_EQ(packDelta(prev, cur), (Bytes{0xF6, 0x02, 5, 0, 0, 0, 0x01, 0xFD, 0x01, 5, 0, 0, 0}));
}

TEST(PackImageDelta, MismatchedLengthsThrow) {
  Bytes a(8), b(12), out(64);
  EXPECT_THROW(PackImageDelta(a, b, out), ERtcInfo);
}

TEST(PackLine, FullLineCodeTokens) {
  Line l = packLine(repeat(dwords({0x01020304}), 300));
  EXPECT_EQ(l.control, (Bytes{0xF5, 0x2C, 0x01}));
  EXPECT_EQ(l.data, (Bytes{4, 3, 2, 1}));
  l = packLine(repeat(dwords({0x01020304}), 200));
  EXPECT_EQ(l.control, (Bytes{0xC8}));
  EXPECT_EQ(packLine(repeat(dwords({0x01020304}), 244)).control, (Bytes{0xF4}));
  EXPECT_EQ(packLine(repeat(dwords({0x01020304}), 245)).control, (Bytes{0xF5, 0xF5, 0x00}));

  Bytes in = dwords({0x04030201, 0x08070605, 0x0D0C0B0A, 0x0D0C0B0A, 0, 0, 0x34343434, 0x34343434});
  in.push_back(0xAB);
  l = packLine(in);
  EXPECT_EQ(l.control, (Bytes{0xFD, 0x02, 0x02, 0xFA, 0x02, 0xFA, 0x02, 0x00, 0x01}));
  EXPECT_EQ(l.data, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0x0A, 0x0B, 0x0C, 0x0D, 0x00, 0x34, 0xAB}));

  EXPECT_EQ(packLine(repeat({1, 2}, 2 * 300)).control, (Bytes{0xF8, 0x2C, 0x01}));
  EXPECT_EQ(packLine(repeat({1, 2}, 2 * 3)).control, (Bytes{0xF7, 0x03}));
  EXPECT_EQ(packLine(Bytes(4 * 256, 9)).control, (Bytes{0xFB, 0x00, 0x01}));
}

TEST(PackLine, RejectsLongLines) {
  Bytes in(kMaxLineBytes + 1), c(LineControlBound(in.size())), d(in.size());
  EXPECT_THROW(PackLine(in, c, d), ERtcInfo);
}

TEST(PackLineDelta, TokensAndUnpack) {
  Bytes prev(300 * 4 + 2, 0), cur = prev;
  EXPECT_TRUE(packLineDelta(prev, cur).control.empty());
  for (int i = 250; i < 300; ++i) cur[4 * i] = 7;
  cur[300 * 4 + 1] = 3;
  Line l = packLineDelta(prev, cur);
  EXPECT_EQ(l.control, (Bytes{0xF2, 0xFA, 0x00, 0xF6, 0x32, 0x00, 0x02}));
  EXPECT_EQ(l.data, (Bytes{7, 0, 0, 0, 0, 3}));

  Bytes dest = prev;
  UnpackLineDelta(l.data, l.control, dest.data(), dest.size(), 0);
  EXPECT_EQ(dest, cur);

  // Writing past destLimit is refused and nothing is written.
  Bytes small(dest.size(), 0);
  try {
    UnpackLineDelta(l.data, l.control, small.data(), small.size() - 1, 0);
    FAIL() << "no exception";
  } catch (const ERtcInfo& e) {
    EXPECT_STREQ(e.what(), "Assertion failure");
  }
  EXPECT_EQ(small, prev);
}

TEST(Reducers, MaskAndMerge) {
  Bytes in = dwords({0x00123456, 0x00123457, 0x00123455, 0x00FF0000});
  in.push_back(0xFF);
  Bytes masked = in;
  MaskPixels(masked.data(), masked.size(), 0x00FFFFF0);
  EXPECT_EQ(masked, [] {
    Bytes b = dwords({0x00123450, 0x00123450, 0x00123450, 0x00FF0000});
    b.push_back(0xFF);
    return b;
  }());
  Bytes merged = in;
  MergeNearPixels(merged.data(), merged.size(), 0x00FFFFF0);
  Bytes expected = dwords({0x00123456, 0x00123456, 0x00123456, 0x00FF0000});
  expected.push_back(0xFF);
  EXPECT_EQ(merged, expected);
}

class LineEncoders : public ::testing::Test {
 protected:
  std::unique_ptr<LineScratch> scratch = std::make_unique<LineScratch>();
  Bytes record = Bytes(65536 + 64);
};

TEST_F(LineEncoders, UnchangedLineSendsNothing) {
  Bytes ref(64, 3), cur = ref;
  bool firstPass = true;
  EXPECT_EQ(EncodeLineChange(*scratch, ref.data(), cur.data(), ref.size(), 0, firstPass, 0, 0,
                             record, true),
            0u);
  EXPECT_FALSE(firstPass);
}

TEST_F(LineEncoders, ExactChangePicksSmallerAndKeepsReferenceInStep) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    size_t len = rng() % 200;
    Bytes ref(len), cur(len);
    for (auto& b : ref) b = static_cast<uint8_t>(rng() % 3);
    cur = ref;
    for (size_t i = 0; i < len; ++i)
      if (rng() % 4 == 0) cur[i] = static_cast<uint8_t>(rng());
    Bytes viewer = ref;
    bool firstPass = false;
    size_t n =
        EncodeLineChange(*scratch, ref.data(), cur.data(), len, 0, firstPass, 0, 0, record, true);
    if (n == 0) {
      EXPECT_EQ(viewer, cur);
      continue;
    }
    DecodeLineRecord({record.data(), n}, viewer, 0);
    EXPECT_EQ(viewer, cur);
    EXPECT_EQ(ref, cur);
  }
}

TEST_F(LineEncoders, CoarsePassSendsReducedLineAndStaysSet) {
  Bytes ref(4 * 64, 0), cur(4 * 64);
  for (size_t i = 0; i < 64; ++i) {
    uint32_t v = 0x00808080u + static_cast<uint32_t>(i % 3);
    std::memcpy(cur.data() + 4 * i, &v, 4);
  }
  Bytes viewer = ref;
  bool firstPass = true;
  size_t n = EncodeLineChange(*scratch, ref.data(), cur.data(), cur.size(), 0, firstPass,
                              0x00FCFCFC, 0, record, true);
  ASSERT_GT(n, 0u);
  EXPECT_TRUE(firstPass);
  DecodeLineRecord({record.data(), n}, viewer, 0);
  EXPECT_EQ(viewer, ref);
  EXPECT_EQ(viewer, repeat(dwords({0x00808080}), 64));

  // With a percentage the coarse pass is used only when it saves enough; here it does not.
  Bytes ref2(4 * 64, 0), cur2 = repeat(dwords({0x00808081}), 64);
  firstPass = true;
  n = EncodeLineChange(*scratch, ref2.data(), cur2.data(), cur2.size(), 50, firstPass, 0x00FCFCFC,
                       0, record, true);
  ASSERT_GT(n, 0u);
  EXPECT_FALSE(firstPass);
  EXPECT_EQ(ref2, cur2);
}

TEST_F(LineEncoders, FullLineExactAndReduced) {
  Bytes cur(4 * 32);
  for (size_t i = 0; i < cur.size(); ++i) cur[i] = static_cast<uint8_t>(i * 37);
  Bytes ref(cur.size(), 0);
  bool firstPass = false;
  size_t n = EncodeLineFull(*scratch, ref.data(), cur.data(), cur.size(), 0, firstPass, 0, 0,
                            record, true);
  EXPECT_EQ(record[0], kLineKindFull);
  Bytes viewer(cur.size(), 0xEE);
  DecodeLineRecord({record.data(), n}, viewer, 0);
  EXPECT_EQ(viewer, cur);
  EXPECT_EQ(ref, cur);

  firstPass = true;
  Bytes ref2(cur.size(), 0);
  n = EncodeLineFull(*scratch, ref2.data(), cur.data(), cur.size(), 0, firstPass, 0, 0x000000F0,
                     record, true);
  EXPECT_TRUE(firstPass);
  DecodeLineRecord({record.data(), n}, viewer, 0);
  EXPECT_EQ(viewer, ref2);

  // Against itself, without update: the exact current line.
  firstPass = true;
  n = EncodeLineFull(*scratch, cur.data(), cur.data(), cur.size(), 0, firstPass, 0, 0, record,
                     false);
  EXPECT_FALSE(firstPass);
  Line exact = packLine(cur);
  EXPECT_EQ(n, kLineRecordHeader + exact.control.size() + exact.data.size());
}

// An empty line arrives as null pointers; every mask and pass combination must not copy from
// them (the sanitizer build reports such copies) and the record still decodes.
TEST_F(LineEncoders, EmptyLinesWithNullPointers) {
  struct Case {
    uint32_t andMask, mergeMask;
    int percent;
    bool firstPass;
  };
  const Case cases[] = {{0, 0, 0, false},
                        {0x00F0F0F0, 0, 0, true},
                        {0, 0x00E0E0E0, 30, true},
                        {0x00F0F0F0, 0x00E0E0E0, 60, true},
                        {0x00F0F0F0, 0, 0, false}};
  for (const Case& c : cases) {
    bool firstPass = c.firstPass;
    EXPECT_EQ(EncodeLineChange(*scratch, nullptr, nullptr, 0, c.percent, firstPass, c.andMask,
                               c.mergeMask, record, true),
              0u);
    firstPass = c.firstPass;
    size_t n = EncodeLineFull(*scratch, nullptr, nullptr, 0, c.percent, firstPass, c.andMask,
                              c.mergeMask, record, true);
    ASSERT_GE(n, kLineRecordHeader);
    Bytes viewer;
    DecodeLineRecord({record.data(), n}, viewer, 0);
    EXPECT_TRUE(viewer.empty());
  }
}

}  // namespace
}  // namespace vtx
