// Token writers of block streams shared by the packers: skips, runs, literals and the tail,
// little-endian, into a buffer the caller sized with PackedSizeBound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vtx::stream {

// Value form of a run: 0 = 1-byte, 1 = 2-byte, 2 = 4-byte.
inline int valueForm(uint32_t v) {
  if (v == (v & 0xFF) * 0x01010101u) return 0;
  if ((v & 0xFFFF) == (v >> 16)) return 1;
  return 2;
}

inline uint8_t* put16(uint8_t* p, size_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  return p + 2;
}
inline uint8_t* put32(uint8_t* p, size_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
  return p + 4;
}
inline uint8_t* putValue(uint8_t* p, uint32_t v, int form) {
  // Little-endian host: low bytes first. Fixed sizes keep the copies inline.
  if (form == 0) {
    *p = static_cast<uint8_t>(v);
    return p + 1;
  }
  if (form == 1) {
    std::memcpy(p, &v, 2);
    return p + 2;
  }
  std::memcpy(p, &v, 4);
  return p + 4;
}
// Copies count dwords; inline, since most literals between scattered changes are short.
inline uint8_t* copyDwords(uint8_t* p, const uint8_t* src, size_t count) {
  size_t i = 0;
  for (; i + 4 <= count; i += 4) std::memcpy(p + 4 * i, src + 4 * i, 16);
  for (; i < count; ++i) std::memcpy(p + 4 * i, src + 4 * i, 4);
  return p + 4 * count;
}

// Block stream: tokens, counts and data in one buffer.
struct BlockWriter {
  uint8_t* p;
  void skip(size_t k) {
    if (k <= 0xF1) {
      *p++ = static_cast<uint8_t>(k);
    } else if (k <= 0xFFFF) {
      *p++ = 0xF2;
      p = put16(p, k);
    } else {
      *p++ = 0xF3;
      p = put32(p, k);
    }
  }
  void run(size_t m, uint32_t v) {
    int form = valueForm(v);
    if (m <= 0xFF) {
      *p++ = static_cast<uint8_t>(0xF4 + form);
      *p++ = static_cast<uint8_t>(m);
    } else if (m <= 0xFFFF) {
      *p++ = static_cast<uint8_t>(0xF7 + form);
      p = put16(p, m);
    } else {
      *p++ = static_cast<uint8_t>(0xFA + form);
      p = put32(p, m);
    }
    p = putValue(p, v, form);
  }
  void literal(const uint8_t* src, size_t count) {
    if (count <= 0xFF) {
      *p++ = 0xFD;
      *p++ = static_cast<uint8_t>(count);
    } else if (count <= 0xFFFF) {
      *p++ = 0xFE;
      p = put16(p, count);
    } else {
      *p++ = 0xFF;
      p = put32(p, count);
    }
    p = count <= 0xFF ? copyDwords(p, src, count)
                      : static_cast<uint8_t*>(std::memcpy(p, src, 4 * count)) + 4 * count;
  }
  void tail(const uint8_t* src, size_t t) {
    *p++ = 0;
    *p++ = static_cast<uint8_t>(t);
    std::memcpy(p, src, t);
    p += t;
  }
  // A literal of more than 255 dwords whose length is not known yet: its data goes after room
  // for the widest header it may need, and moves down if the header turns out narrower.
  uint8_t* beginLongLiteral(size_t remaining) { return p + (remaining <= 0xFFFF ? 3 : 5); }
  void endLongLiteral(size_t count, uint8_t* data) {
    // The literal may stop just short of 256 dwords when a pair starts at the 256th.
    size_t header = count <= 0xFF ? 2 : count <= 0xFFFF ? 3 : 5;
    if (p + header != data) std::memmove(p + header, data, 4 * count);
    if (header == 2) {
      *p++ = 0xFD;
      *p++ = static_cast<uint8_t>(count);
    } else {
      *p = header == 3 ? 0xFE : 0xFF;
      p = header == 3 ? put16(p + 1, count) : put32(p + 1, count);
    }
    p += 4 * count;
  }
};

}  // namespace vtx::stream
