#include "desktop/screen_decoder.h"

#include <cstring>
#include <string>

#include "util/exceptions.h"

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
    if (bytes > size_ - pos_)
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
    if (v == (v & 0xFF) * 0x01010101u) {
      std::memset(p_, static_cast<int>(v & 0xFF), 4 * n);
      p_ += 4 * n;
      return;
    }
    uint64_t pair = v | (static_cast<uint64_t>(v) << 32);
    for (; n >= 2; n -= 2, p_ += 8) std::memcpy(p_, &pair, 8);
    if (n) {
      std::memcpy(p_, &v, 4);
      p_ += 4;
    }
  }
  void literal(const uint8_t* src, uint64_t n) {
    std::memcpy(p_, src, 4 * n);
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

Token blockToken(uint8_t b) {
  if (b == 0) return {Op::Tail, 0, 1, 0};
  if (b <= 0xF1) return {Op::Skip, b, 0, 0};
  if (b == 0xF2) return {Op::Skip, 0, 2, 0};
  if (b == 0xF3) return {Op::Skip, 0, 4, 0};
  if (b <= 0xF6) return {Op::Run, 0, 1, b - 0xF4};
  if (b <= 0xF9) return {Op::Run, 0, 2, b - 0xF7};
  if (b <= 0xFC) return {Op::Run, 0, 4, b - 0xFA};
  return {Op::Literal, 0, b == 0xFD ? 1u : b == 0xFE ? 2u : 4u, 0};
}

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

// Walks the tokens of ctl (values and literals read from data, which is ctl itself for a block
// stream) and hands each to sink. Malformed tokens throw.
template <class Sink>
void walk(const char* format, Token (*classify)(uint8_t), Cursor ctl, Cursor& data, bool shared,
          Sink& sink) {
  Cursor& in = shared ? data : ctl;
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
  if (!shared && data.p != data.end)
    fail(format, std::to_string(data.end - data.p) + " data bytes are left over");
}

template <class Sink>
void walkBlock(ConstBytes stream, Sink& sink) {
  Cursor c{stream.data(), stream.data() + stream.size(), stream.data()};
  walk("Block stream", blockToken, c, c, true, sink);
}

template <class Sink>
void walkLine(const char* format, Token (*classify)(uint8_t), ConstBytes control, ConstBytes data,
              Sink& sink) {
  Cursor c{control.data(), control.data() + control.size(), control.data()};
  Cursor d{data.data(), data.data() + data.size(), data.data()};
  walk(format, classify, c, d, false, sink);
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
  const char* format;
  Token (*classify)(uint8_t);
  if (kind == kLineKindFull) {
    format = "Full line code";
    classify = lineFullToken;
  } else if (kind == kLineKindDelta) {
    format = "Delta line code";
    classify = lineDeltaToken;
  } else {
    fail("Line record", "unknown kind " + std::to_string(kind));
  }
  BoundsCheck check(format, frame.size(), at);
  walkLine(format, classify, control, data, check);
  Writer writer(frame.data(), at);
  walkLine(format, classify, control, data, writer);
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
