#include "desktop/screen_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "util/exceptions.h"

namespace vtx {
namespace {

using Bytes = std::vector<uint8_t>;

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

Bytes lineRecord(uint8_t kind, const Bytes& prev, const Bytes& cur) {
  Bytes c(LineControlBound(cur.size())), d(LineDataBound(cur.size()));
  LineCode code = kind == kLineKindFull ? PackLine(cur, c, d) : PackLineDelta(prev, cur, c, d);
  Bytes r{kind, static_cast<uint8_t>(code.controlLength),
          static_cast<uint8_t>(code.controlLength >> 8), static_cast<uint8_t>(code.dataLength),
          static_cast<uint8_t>(code.dataLength >> 8)};
  r.insert(r.end(), c.begin(), c.begin() + code.controlLength);
  r.insert(r.end(), d.begin(), d.begin() + code.dataLength);
  return r;
}

// Structured content: runs of every value form, near-equal pixels, random stretches.
Bytes structured(std::mt19937& rng, size_t length) {
  Bytes out(length);
  size_t i = 0;
  while (i < length) {
    size_t span = 1 + rng() % (rng() % 8 == 0 ? 70000 : 300);
    uint32_t v = rng();
    switch (rng() % 5) {
      case 0:
        v = (v & 0xFF) * 0x01010101u;
        break;
      case 1:
        v = (v & 0xFFFF) * 0x10001u;
        break;
      default:
        break;
    }
    bool noisy = rng() % 3 == 0;
    for (size_t k = 0; k < span && i < length; ++k, ++i) {
      uint32_t w = noisy ? static_cast<uint32_t>(rng()) : v + (rng() % 8 == 0 ? 1 : 0);
      out[i] = static_cast<uint8_t>(w >> (8 * (i % 4)));
    }
  }
  return out;
}

TEST(RoundTrip, FullAndDeltaStreamsOverRandomAndStructuredData) {
  std::mt19937 rng(42);
  std::vector<size_t> lengths{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  for (size_t dw : {241u, 242u, 255u, 256u, 65535u, 65536u})
    for (size_t t = 0; t < 4; ++t) lengths.push_back(4 * dw + t);
  for (int i = 0; i < 30; ++i) lengths.push_back(rng() % 5000);
  for (size_t len : lengths) {
    Bytes prev = structured(rng, len), cur = structured(rng, len);
    // Partly changed: keep some stretches of previous.
    for (size_t i = 0; i + 64 < len; i += 512) std::memcpy(cur.data() + i, prev.data() + i, 64);
    Bytes frame(len, 0xCD);
    DecodeBlockStream(pack(cur), frame, 0);
    ASSERT_EQ(frame, cur) << len;
    frame = prev;
    DecodeBlockStream(packDelta(prev, cur), frame, 0);
    ASSERT_EQ(frame, cur) << len;
    if (len <= kMaxLineBytes) {
      frame.assign(len, 0x11);
      DecodeLineRecord(lineRecord(kLineKindFull, {}, cur), frame, 0);
      ASSERT_EQ(frame, cur) << len;
      frame = prev;
      DecodeLineRecord(lineRecord(kLineKindDelta, prev, cur), frame, 0);
      ASSERT_EQ(frame, cur) << len;
    }
  }
}

TEST(RoundTrip, LongRunAndLiteralCountWidths) {
  for (size_t dw : {255u, 256u, 65535u, 65536u, 70000u}) {
    Bytes run(4 * dw);
    for (size_t i = 0; i < run.size(); ++i) run[i] = static_cast<uint8_t>(0x10 + i % 4);
    Bytes frame(run.size(), 0);
    DecodeBlockStream(pack(run), frame, 0);
    EXPECT_EQ(frame, run);
    Bytes lit(4 * dw);
    for (size_t i = 0; i < lit.size(); ++i) lit[i] = static_cast<uint8_t>(i * 7 + i / 4);
    DecodeBlockStream(pack(lit), frame, 0);
    EXPECT_EQ(frame, lit);
  }
}

TEST(Decoder, AppliesAtOffsetAndLeavesTheRestAlone) {
  Bytes frame(32, 0xEE);
  DecodeBlockStream(Bytes{0x02, 0xF4, 0x02, 0x07}, frame, 8);
  Bytes expected(32, 0xEE);
  std::memset(expected.data() + 16, 7, 8);
  EXPECT_EQ(frame, expected);
  DecodeBlockStream({}, frame, 32);  // an empty delta changes nothing, even at the end
  EXPECT_EQ(frame, expected);
}

// Each bad stream is rejected with a message naming the failed check; the frame is untouched.
TEST(Decoder, RejectsBadStreamsWithoutTouchingTheFrame) {
  struct Case {
    Bytes stream;
    size_t frame;
    int64_t at;
    const char* message;
  };
  const Case cases[] = {
      {{0xFD, 0x02, 1, 2, 3, 4, 5, 6, 7, 8}, 4, 0, "literal of 2 dwords at byte 0 runs past"},
      {{0xFD, 0x02, 1, 2, 3, 4}, 64, 0, "lacks its data bytes"},
      {{0xF4, 0x05, 1}, 16, 0, "run of 5 dwords at byte 0 runs past"},
      {{0xF2, 0x00}, 64, 0, "token 0xF2 at byte 0 is cut short"},
      {{0xF6, 0x02, 1, 2}, 64, 0, "lacks its value"},
      {{0x05}, 16, 0, "skip of 5 dwords"},
      {{0xF3, 0xFF, 0xFF, 0xFF, 0xFF, 0xF4, 0x01, 0x00}, 64, 0, "skip of 4294967295 dwords"},
      {{0x00, 0x04, 1, 2, 3, 4}, 64, 0, "must be 1 to 3"},
      {{0x00, 0x01, 9, 0x01}, 64, 0, "is not the last token"},
      {{0x00, 0x02, 9}, 64, 0, "lacks its data bytes"},
      {{0x00, 0x02, 9, 9}, 64, 63, "tail of 2 bytes at byte 63"},
      {{0xF4, 0x01, 0x00}, 64, -4, "start offset -4"},
      {{0xF4, 0x01, 0x00}, 64, 68, "start offset 68"},
  };
  for (const Case& c : cases) {
    Bytes frame(c.frame, 0x5A), before = frame;
    try {
      DecodeBlockStream(c.stream, frame, c.at);
      ADD_FAILURE() << "accepted: " << c.message;
    } catch (const ERtcInfo& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("Block stream: ", 0), 0u) << e.what();
    }
    EXPECT_EQ(frame, before) << c.message;
  }
}

TEST(Decoder, RejectsBadLineRecords) {
  struct Case {
    Bytes record;
    const char* message;
  };
  const Case cases[] = {
      {{0x00, 0x01, 0x00}, "shorter than its header"},
      {{0x02, 0x00, 0x00, 0x00, 0x00}, "unknown kind 2"},
      {{0x00, 0x01, 0x00, 0x00, 0x00}, "do not match"},
      {{0x00, 0x01, 0x00, 0x04, 0x00, 0x01, 1, 2, 3, 4}, "unknown token 0x01"},
      {{0x00, 0x01, 0x00, 0x04, 0x00, 0xF6, 1, 2, 3, 4}, "unknown token 0xF6"},
      {{0x03, 0x01, 0x00, 0x00, 0x00, 0xF3}, "unknown token 0xF3"},
      {{0x03, 0x02, 0x00, 0x00, 0x00, 0xFD, 0x01}, "lacks its data bytes"},
      {{0x00, 0x01, 0x00, 0x05, 0x00, 0x02, 1, 2, 3, 4, 5}, "1 data bytes are left over"},
      {{0x00, 0x01, 0x00, 0x04, 0x00, 0xF4, 1, 2, 3, 4}, "run of 244 dwords"},
  };
  for (const Case& c : cases) {
    Bytes frame(64, 0x5A), before = frame;
    try {
      DecodeLineRecord(c.record, frame, 0);
      ADD_FAILURE() << "accepted: " << c.message;
    } catch (const ERtcInfo& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    EXPECT_EQ(frame, before) << c.message;
  }
}

TEST(Decoder, FullLineRecordTokens) {
  // 4-byte-value run with the count in the token byte, then a 1-byte-value run and a tail.
  Bytes record{0x00, 0x05, 0x00, 0x06, 0x00, 0x02, 0xFA, 0x02, 0x00, 0x01, 1, 2, 3, 4, 0x34, 0xAB};
  Bytes frame(17, 0);
  DecodeLineRecord(record, frame, 0);
  EXPECT_EQ(frame,
            (Bytes{1, 2, 3, 4, 1, 2, 3, 4, 0x34, 0x34, 0x34, 0x34, 0x34, 0x34, 0x34, 0x34, 0xAB}));
}

}  // namespace
}  // namespace vtx
