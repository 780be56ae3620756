#include "desktop/screen_decoder.h"

#include <cstring>
#include <string>

#include "util/exceptions.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vtx {
namespace {

[[noreturn]] void fail(const char* format, const std::string& detail) {
  throw ERtcInfo(std::string(format) + ": " + detail);
}

std::string hex(uint8_t b) {
  static const char digits[] = "0123456789ABCDEF";
  return std::string("0x") + digits[b >> 4] + digits[b & 15];
}

// Checks where each token writes; throws before anything is applied.
class BoundsCheck {
 public:
  BoundsCheck(const char* format, size_t size, int64_t at) : format_(format), size_(size) {
    if (at < 0 || static_cast<uint64_t>(at) > size)
      fail(format, "start offset " + std::to_string(at) + " lies outside the destination (" +
                       std::to_string(size) + " bytes)");
    pos_ = static_cast<uint64_t>(at);
  }
  void skip(uint64_t n) { advance("skip", n, 4 * n); }
  void run(uint64_t n, uint32_t) { advance("run", n, 4 * n); }
  void literal(const uint8_t*, uint64_t n) { advance("literal", n, 4 * n); }
  void tail(const uint8_t*, uint64_t t) { advance("tail", t, t); }

 private:
  void advance(const char* what, uint64_t count, uint64_t bytes) {
    if (bytes > size_ - pos_) [[unlikely]]
      fail(format_, std::string(what) + " of " + std::to_string(count) +
                        (std::strcmp(what, "tail") == 0 ? " bytes" : " dwords") + " at byte " +
                        std::to_string(pos_) + " runs past the end of the destination (" +
                        std::to_string(size_) + " bytes)");
    pos_ += bytes;
  }
  const char* format_;
  uint64_t size_;
  uint64_t pos_;
};

// Applies tokens that BoundsCheck accepted.
class Writer {
 public:
  Writer(uint8_t* frame, int64_t at) : p_(frame + at) {}
  void skip(uint64_t n) { p_ += 4 * n; }
  void run(uint64_t n, uint32_t v) {
    if (n <= 8) {  // short runs dominate text; no library call for them
      for (uint64_t i = 0; i < n; ++i) std::memcpy(p_ + 4 * i, &v, 4);
      p_ += 4 * n;
      return;
    }
    if (n >= 64 && v == (v & 0xFF) * 0x01010101u) {
      std::memset(p_, static_cast<int>(v & 0xFF), 4 * n);
      p_ += 4 * n;
      return;
    }
#if defined(__SSE2__)
    const __m128i vv = _mm_set1_epi32(static_cast<int>(v));
    for (; n >= 4; n -= 4, p_ += 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(p_), vv);
#endif
    for (; n > 0; --n, p_ += 4) std::memcpy(p_, &v, 4);
  }
  void literal(const uint8_t* src, uint64_t n) {
    if (n <= 4) {
      for (uint64_t i = 0; i < n; ++i) std::memcpy(p_ + 4 * i, src + 4 * i, 4);
    } else {
      std::memcpy(p_, src, 4 * n);
    }
    p_ += 4 * n;
  }
  void tail(const uint8_t* src, uint64_t t) {
    std::memcpy(p_, src, t);
    p_ += t;
  }

 private:
  uint8_t* p_;
};

// A bounded reader over control bytes or data bytes.
struct Cursor {
  const uint8_t* p;
  const uint8_t* end;
  const uint8_t* begin;
  size_t offset() const { return static_cast<size_t>(p - begin); }
  bool has(uint64_t n) const { return n <= static_cast<uint64_t>(end - p); }
  uint64_t get(size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    p += width;
    return v;
  }
};

constexpr size_t kFormBytes[3] = {1, 2, 4};

uint32_t expand(uint64_t raw, int form) {
  uint32_t v = static_cast<uint32_t>(raw);
  if (form == 0) return v * 0x01010101u;
  if (form == 1) return v | (v << 16);
  return v;
}

// Token meanings shared by the three formats.
enum class Op { Tail, Skip, Run, Literal, Invalid };
struct Token {
  Op op = Op::Invalid;
  uint64_t count = 0;     // fixed count carried by the token byte itself, or 0
  size_t countWidth = 0;  // bytes of count that follow the token byte
  int form = 2;           // run value form
};

Token lineDeltaToken(uint8_t b) {
  if (b == 0) return {Op::Tail, 0, 1, 0};
  if (b <= 0xF1) return {Op::Skip, b, 0, 0};
  if (b == 0xF2) return {Op::Skip, 0, 2, 0};
  if (b >= 0xF4 && b <= 0xF6) return {Op::Run, 0, 1, b - 0xF4};
  if (b >= 0xF7 && b <= 0xF9) return {Op::Run, 0, 2, b - 0xF7};
  if (b == 0xFD) return {Op::Literal, 0, 1, 0};
  if (b == 0xFE) return {Op::Literal, 0, 2, 0};
  return {};
}

Token lineFullToken(uint8_t b) {
  if (b == 0) return {Op::Tail, 0, 1, 0};
  if (b >= 0x02 && b <= 0xF4) return {Op::Run, b, 0, 2};
  switch (b) {
    case 0xF5:
      return {Op::Run, 0, 2, 2};
    case 0xF7:
      return {Op::Run, 0, 1, 1};
    case 0xF8:
      return {Op::Run, 0, 2, 1};
    case 0xFA:
      return {Op::Run, 0, 1, 0};
    case 0xFB:
      return {Op::Run, 0, 2, 0};
    case 0xFD:
      return {Op::Literal, 0, 1, 0};
    case 0xFE:
      return {Op::Literal, 0, 2, 0};
    default:
      return {};
  }
}

// Walks the control tokens of a line code (values and literals read from data) and hands each
// to sink. Malformed tokens throw.
template <class Sink, Token (*classify)(uint8_t)>
void walk(const char* format, Cursor in, Cursor& data, Sink& sink) {
  while (in.has(1)) {
    size_t at = in.offset();
    uint8_t b = *in.p++;
    Token tok = classify(b);
    if (tok.op == Op::Invalid)
      fail(format, "unknown token " + hex(b) + " at byte " + std::to_string(at));
    if (!in.has(tok.countWidth))
      fail(format, "token " + hex(b) + " at byte " + std::to_string(at) + " is cut short");
    uint64_t count = tok.countWidth ? in.get(tok.countWidth) : tok.count;
    switch (tok.op) {
      case Op::Tail:
        if (count < 1 || count > 3)
          fail(format, "tail of " + std::to_string(count) + " bytes at byte " + std::to_string(at) +
                           " (must be 1 to 3)");
        if (!data.has(count))
          fail(format, "tail at byte " + std::to_string(at) + " lacks its data bytes");
        sink.tail(data.p, count);
        data.p += count;
        if (in.has(1))
          fail(format, "tail token at byte " + std::to_string(at) + " is not the last token");
        break;
      case Op::Skip:
        sink.skip(count);
        break;
      case Op::Run: {
        size_t width = kFormBytes[tok.form];
        if (!data.has(width))
          fail(format, "run at byte " + std::to_string(at) + " lacks its value");
        sink.run(count, expand(data.get(width), tok.form));
        break;
      }
      case Op::Literal:
        if (!data.has(4 * count))
          fail(format, "literal of " + std::to_string(count) + " dwords at byte " +
                           std::to_string(at) + " lacks its data bytes");
        sink.literal(data.p, count);
        data.p += 4 * count;
        break;
      case Op::Invalid:
        break;
    }
  }
  if (data.p != data.end)
    fail(format, std::to_string(data.end - data.p) + " data bytes are left over");
}

// The block stream's own walker: one buffer, a direct switch on the token byte.
template <class Sink>
void walkBlock(ConstBytes stream, Sink& sink) {
  constexpr const char* kFormat = "Block stream";
  const uint8_t* const begin = stream.data();
  const uint8_t* p = begin;
  const uint8_t* const end = begin + stream.size();
  auto left = [&] { return static_cast<uint64_t>(end - p); };
  auto where = [&](const uint8_t* t) { return std::to_string(t - begin); };
  auto need = [&](const uint8_t* t, uint64_t n) __attribute__((always_inline)) {
    if (n > left()) fail(kFormat, "token " + hex(*t) + " at byte " + where(t) + " is cut short");
  };
  auto read = [&](size_t width) __attribute__((always_inline)) {
    uint64_t v;
    if (width == 1) {
      v = p[0];
    } else if (width == 2) {
      v = p[0] | uint64_t{p[1]} << 8;
    } else {
      uint32_t w;
      std::memcpy(&w, p, 4);
      v = w;
    }
    p += width;
    return v;
  };
  auto run = [&](const uint8_t* t, size_t countWidth, int form) __attribute__((always_inline)) {
    need(t, countWidth);
    uint64_t count = read(countWidth);
    if (kFormBytes[form] > left()) fail(kFormat, "run at byte " + where(t) + " lacks its value");
    sink.run(count, expand(read(kFormBytes[form]), form));
  };
  auto literal = [&](const uint8_t* t, size_t countWidth) __attribute__((always_inline)) {
    need(t, countWidth);
    uint64_t count = read(countWidth);
    if (4 * count > left())
      fail(kFormat, "literal of " + std::to_string(count) + " dwords at byte " + where(t) +
                        " lacks its data bytes");
    sink.literal(p, count);
    p += 4 * count;
  };
  while (p < end) {
    const uint8_t* t = p++;
    switch (*t) {
      case 0x00: {
        need(t, 1);
        uint64_t count = *p++;
        if (count < 1 || count > 3)
          fail(kFormat, "tail of " + std::to_string(count) + " bytes at byte " + where(t) +
                            " (must be 1 to 3)");
        if (count > left()) fail(kFormat, "tail at byte " + where(t) + " lacks its data bytes");
        sink.tail(p, count);
        p += count;
        if (p < end) fail(kFormat, "tail token at byte " + where(t) + " is not the last token");
        break;
      }
      case 0xF2:
        need(t, 2);
        sink.skip(read(2));
        break;
      case 0xF3:
        need(t, 4);
        sink.skip(read(4));
        break;
      case 0xF4:
        run(t, 1, 0);
        break;
      case 0xF5:
        run(t, 1, 1);
        break;
      case 0xF6:
        run(t, 1, 2);
        break;
      case 0xF7:
        run(t, 2, 0);
        break;
      case 0xF8:
        run(t, 2, 1);
        break;
      case 0xF9:
        run(t, 2, 2);
        break;
      case 0xFA:
        run(t, 4, 0);
        break;
      case 0xFB:
        run(t, 4, 1);
        break;
      case 0xFC:
        run(t, 4, 2);
        break;
      case 0xFD:
        literal(t, 1);
        break;
      case 0xFE:
        literal(t, 2);
        break;
      case 0xFF:
        literal(t, 4);
        break;
      default:
        sink.skip(*t);
        break;
    }
  }
}

template <class Sink>
void walkLine(const char* format, uint8_t kind, ConstBytes control, ConstBytes data, Sink& sink) {
  Cursor c{control.data(), control.data() + control.size(), control.data()};
  Cursor d{data.data(), data.data() + data.size(), data.data()};
  if (kind == kLineKindFull)
    walk<Sink, lineFullToken>(format, c, d, sink);
  else
    walk<Sink, lineDeltaToken>(format, c, d, sink);
}

}  // namespace

void DecodeBlockStream(ConstBytes stream, MutableBytes frame, int64_t at) {
  BoundsCheck check("Block stream", frame.size(), at);
  walkBlock(stream, check);
  Writer writer(frame.data(), at);
  walkBlock(stream, writer);
}

void DecodeLineCode(uint8_t kind, ConstBytes control, ConstBytes data, MutableBytes frame,
                    int64_t at) {
  if (kind != kLineKindFull && kind != kLineKindDelta)
    fail("Line record", "unknown kind " + std::to_string(kind));
  const char* format = kind == kLineKindFull ? "Full line code" : "Delta line code";
  BoundsCheck check(format, frame.size(), at);
  walkLine(format, kind, control, data, check);
  Writer writer(frame.data(), at);
  walkLine(format, kind, control, data, writer);
}

void DecodeLineRecord(ConstBytes record, MutableBytes frame, int64_t at) {
  if (record.size() < kLineRecordHeader)
    fail("Line record", std::to_string(record.size()) + " bytes is shorter than its header");
  const uint8_t* p = record.data();
  size_t control = p[1] | (size_t{p[2]} << 8);
  size_t data = p[3] | (size_t{p[4]} << 8);
  if (record.size() != kLineRecordHeader + control + data)
    fail("Line record", std::to_string(record.size()) + " bytes do not match 5 + control length " +
                            std::to_string(control) + " + data length " + std::to_string(data));
  DecodeLineCode(p[0], record.subspan(kLineRecordHeader, control),
                 record.subspan(kLineRecordHeader + control, data), frame, at);
}

}  // namespace vtx
