#include "desktop/block_pack.h"

#include <algorithm>
#include <string>
#include <vector>

#include "desktop/block_writer.h"
#include "util/exceptions.h"

#include "desktop/cpu_features.h"

#if defined(VTX_HAVE_AVX2_VARIANTS)
#include <immintrin.h>
#endif

namespace vtx {
namespace {

using stream::BlockWriter;

// The scan looks at 64 dwords at a time and keeps one bit per dword:
//   changed: the dword differs from the previous image (every dword without one);
//   linked:  the dword is changed and equals the changed dword before it.
// A changed stretch is cut into runs (a dword with its linked followers, at least two) and
// literals (the dwords of the stretch in no run); unchanged stretches are skips. This is the
// token choice of PackImage / PackImageDelta, found without a data-dependent branch per dword.
constexpr size_t kGroup = 64;
// Rows are converted this many bytes ahead of the scan, so that conversion and scan run in
// long stretches while the converted rows are still in the cache.
constexpr size_t kAhead = 32 * 1024;

uint32_t load(const uint8_t* base, size_t index) {
  uint32_t v;
  std::memcpy(&v, base + 4 * index, 4);
  return v;
}

struct Bits {
  uint64_t changed = 0, equal = 0;  // equal: the dword equals the one before it
};

// Bits of the dwords [base, base + count); the first dword of the image has no equal bit.
Bits scanGroup(const uint8_t* cur, const uint8_t* prev, size_t base, size_t count) {
  Bits b;
#if defined(__SSE2__)
  if (count == kGroup && base > 0) {
    auto at = [](const uint8_t* q, int k) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16 * k));
    };
    // Four compare results of 4 dwords each narrowed to 16 bytes: one mask of 16 bits.
    auto bits16 = [](__m128i w, __m128i x, __m128i y, __m128i z) {
      __m128i wx = _mm_packs_epi32(w, x), yz = _mm_packs_epi32(y, z);
      return static_cast<uint64_t>(
          static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(wx, yz))));
    };
    const uint8_t* c = cur + 4 * base;
    const uint8_t* p = prev ? prev + 4 * base : nullptr;
    __m128i last = at(c, -1);
    // Compare of each dword with the one before it; `last` carries the previous vector.
    auto withLeft = [&last](__m128i v) {
      __m128i e = _mm_cmpeq_epi32(v, _mm_or_si128(_mm_slli_si128(v, 4), _mm_srli_si128(last, 12)));
      last = v;
      return e;
    };
    uint64_t same = 0;
    for (int q = 0; q < 16; q += 4) {
      __m128i v0 = at(c, q), v1 = at(c, q + 1), v2 = at(c, q + 2), v3 = at(c, q + 3);
      __m128i e0 = withLeft(v0), e1 = withLeft(v1), e2 = withLeft(v2), e3 = withLeft(v3);
      b.equal |= bits16(e0, e1, e2, e3) << (4 * q);
      if (p)
        same |= bits16(_mm_cmpeq_epi32(v0, at(p, q)), _mm_cmpeq_epi32(v1, at(p, q + 1)),
                       _mm_cmpeq_epi32(v2, at(p, q + 2)), _mm_cmpeq_epi32(v3, at(p, q + 3)))
                << (4 * q);
    }
    b.changed = ~same;
    return b;
  }
#endif
  for (size_t k = 0; k < count; ++k) {
    uint32_t v = load(cur, base + k);
    if (!prev || v != load(prev, base + k)) b.changed |= uint64_t{1} << k;
    if (base + k > 0 && v == load(cur, base + k - 1)) b.equal |= uint64_t{1} << k;
  }
  return b;
}

// The common 32-bit case converts while it scans: a top-down image of whole rows, stored
// without padding, from 0x00RRGGBB rows of the same stride. Each dword is then raw & mask.
struct Fused {
  const uint8_t* raw = nullptr;  // nullptr: rows are converted ahead by RowFeed instead
  uint32_t mask = 0;
};

Fused fusedConversion(const BlockPackJob& job) {
  const ConvertTarget& t = job.target;
  const RawImage& raw = *job.raw;
  if (t.code != 4 || t.bottomUp || !raw.data || !IsStandard32(raw.layout) || t.width <= 0 ||
      raw.width != t.width || raw.height < t.height || t.stride != 4 * size_t(t.width) ||
      raw.stride != t.stride)
    return {};
  uint32_t mask = PixelMask32(t);
  if (job.dwordMask) mask &= job.dwordMask;
  return {raw.data, mask};
}

// scanGroup of the dwords [base, base + count) of a fused job, storing the converted dwords.
// Each previous dword is read before its place is written: image may be previous.
Bits scanDwordsFused(const Fused& f, uint8_t* image, const uint8_t* prev, size_t base,
                     size_t count) {
  Bits b;
  for (size_t k = 0; k < count; ++k) {
    size_t i = base + k;
    uint32_t v = load(f.raw, i) & f.mask;
    if (!prev || v != load(prev, i)) b.changed |= uint64_t{1} << k;
    if (i > 0 && v == (load(f.raw, i - 1) & f.mask)) b.equal |= uint64_t{1} << k;
    std::memcpy(image + 4 * i, &v, 4);
  }
  return b;
}

// scanGroup of a whole group (base > 0) of a fused job, storing the converted dwords.
Bits scanGroupFused(const Fused& f, uint8_t* image, const uint8_t* prev, size_t base) {
#if defined(__SSE2__)
  Bits b;
  const uint8_t* r = f.raw + 4 * base;
  uint8_t* c = image + 4 * base;
  const uint8_t* p = prev ? prev + 4 * base : nullptr;
  uint64_t same = 0;
  const __m128i m = _mm_set1_epi32(static_cast<int>(f.mask));
  auto at = [](const uint8_t* q, int off) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + off));
  };
  auto bits4 = [](__m128i e) {
    return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(e))));
  };
  for (int k = 0; k < 16; ++k) {
    __m128i v = _mm_and_si128(at(r, 16 * k), m);
    b.equal |= bits4(_mm_cmpeq_epi32(v, _mm_and_si128(at(r, 16 * k - 4), m))) << (4 * k);
    if (p) same |= bits4(_mm_cmpeq_epi32(v, at(p, 16 * k))) << (4 * k);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(c + 16 * k), v);
  }
  b.changed = p ? ~same : ~uint64_t{0};
  return b;
#else
  return scanDwordsFused(f, image, prev, base, kGroup);
#endif
}

#if defined(VTX_HAVE_AVX2_VARIANTS)
__attribute__((target("avx2"))) Bits scanGroupFusedAvx2(const Fused& f, uint8_t* image,
                                                        const uint8_t* prev, size_t base) {
  Bits b;
  const uint8_t* r = f.raw + 4 * base;
  uint8_t* c = image + 4 * base;
  const __m256i m = _mm256_set1_epi32(static_cast<int>(f.mask));
  const bool inPlace = image == prev;
  uint64_t same = 0;
  for (int k = 0; k < 8; ++k) {
    const uint8_t* q = r + 32 * k;
    __m256i v = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)), m);
    __m256i left = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q - 4)), m);
    b.equal |= static_cast<uint64_t>(static_cast<unsigned>(
                   _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(v, left)))))
               << (8 * k);
    unsigned kept = 0;
    if (prev) {
      __m256i old = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(prev + 4 * base + 32 * k));
      kept = static_cast<unsigned>(
          _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(v, old))));
      same |= uint64_t{kept} << (8 * k);
    }
    // After prev was read; an image updated in place keeps its unchanged lines clean.
    if (!inPlace || kept != 0xFF) _mm256_storeu_si256(reinterpret_cast<__m256i*>(c + 32 * k), v);
  }
  b.changed = prev ? ~same : ~uint64_t{0};
  return b;
}

#endif

enum class Token { None, Skip, Run, Literal };

class Packer {
 public:
  Packer(const uint8_t* cur, size_t n, MutableBytes out)
      : cur_(cur),
        n_(n),
        end_(out.data() + out.size()),
        w_{out.data()},
        quickInEnd_(n > kQuickIn ? n - kQuickIn : 0),
        quickOutEnd_(out.size() > kQuickOut ? end_ - kQuickOut : out.data()) {}

  // Emits the tokens that start in the group at base, whose bits are known along with the
  // linked bit of the next group's first dword.
  void group(size_t base, uint64_t changed, uint64_t linked, bool nextLinked) {
    size_t count = std::min(kGroup, n_ - base);
    uint64_t valid = count == kGroup ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
    uint64_t inRun = linked | (linked >> 1) | (uint64_t{nextLinked} << 63);
    inRun &= valid;
    changed &= valid;
    // Token starts: where the kind changes (skip / run / literal) and where a run follows a run.
    uint64_t starts = ((changed ^ (changed << 1 | changedCarry_)) |
                       (inRun ^ (inRun << 1 | inRunCarry_)) | (inRun & ~linked)) &
                      valid;
    if (base == 0) starts |= 1;
    changedCarry_ = changed >> 63;
    inRunCarry_ = inRun >> 63;
    // The output pointer and the token in progress stay in registers: every byte stored to
    // the output could otherwise alias the members and force them to be reloaded.
    uint8_t* o = w_.p;
    size_t start = start_;
    Token kind = kind_;
    while (starts) {
      size_t k = static_cast<size_t>(__builtin_ctzll(starts));
      starts &= starts - 1;
      size_t p = base + k;
      if (p - start <= kQuickMax && kind != Token::None && start < quickInEnd_ && o < quickOutEnd_)
          [[likely]] {
        o = quickToken(o, start, p - start, kind);
      } else {
        w_.p = o;
        finish(p);
        o = w_.p;
      }
      start = p;
      // Skip, Run or Literal without a branch: the kinds of scattered changes are random.
      uint64_t c = changed >> k & 1, r = inRun >> k & 1;
      kind = static_cast<Token>(1 + c * (2 - r));
      start_ = start;
      kind_ = kind;
      longLiteral_ = false;
    }
    w_.p = o;
    if (kind_ == Token::Literal) copyLiteralUpTo(base + count);
  }

  // Ends the last token at n; returns the length of a trailing skip, which is left to the caller.
  size_t end() {
    if (kind_ == Token::Skip) return n_ - start_;
    finish(n_);
    return 0;
  }

  BlockWriter& writer() { return w_; }

 private:
  // Tokens of scattered changes are short and of random kinds: one inlined path writes any of
  // them when both buffers have room to spare, storing more bytes than the token needs and
  // advancing by its size.
  static constexpr size_t kQuickMax = 0xF1;      // the longest one-byte skip count
  static constexpr size_t kQuickIn = 256;        // dwords a quick token may read from start_
  static constexpr size_t kQuickOut = 2 + 1024;  // bytes it may write
  uint8_t* quickToken(uint8_t* o, size_t start, size_t count, Token token) const {
    const uint8_t* src = cur_ + 4 * start;
    uint64_t head;  // the first 8 bytes of the token's dwords
    std::memcpy(&head, src, 8);
    uint32_t v = static_cast<uint32_t>(head);
    uint64_t f0 = v == (v & 0xFF) * 0x01010101u, f1 = (v & 0xFFFF) == (v >> 16);
    uint64_t form = 2 - f0 - f1;  // valueForm(v)
    bool run = token == Token::Run, literal = token == Token::Literal;
    uint64_t bytes = literal ? 0xFD | count << 8 | head << 16 : count;
    bytes = run ? (0xF4 + form) | count << 8 | uint64_t{v} << 16 : bytes;
    size_t size = literal ? 2 + 4 * count : 1;
    size = run ? 2 + (size_t{1} << form) : size;
    std::memcpy(o + 2, src, 16);  // a literal's first dwords; later tokens overwrite the rest
    std::memcpy(o, &bytes, 8);
    // Dwords past the first four: only literals have data, and most have fewer.
    size_t more = literal ? count : 0;
    for (size_t i = 4; i < more; i += 4) std::memcpy(o + 2 + 4 * i, src + 4 * i, 16);
    return o + size;
  }

  __attribute__((noinline)) void finish(size_t p) {
    switch (kind_) {
      case Token::Skip:
        w_.skip(p - start_);
        break;
      case Token::Run:
        w_.run(p - start_, load(cur_, start_));
        break;
      case Token::Literal:
        if (longLiteral_) {
          copyLiteralUpTo(p);
          w_.endLongLiteral(p - start_, data_);
        } else {
          shortLiteral(p - start_);
        }
        break;
      case Token::None:
        break;
    }
  }

  // Most literals between scattered changes are a few dwords: they are copied 16 bytes at a
  // time, past their end where image and output have room (later tokens overwrite the rest).
  void shortLiteral(size_t count) {
    size_t rounded = (count + 3) & ~size_t{3};
    if (count > 0xFF || start_ + rounded > n_ || w_.p + 2 + 4 * rounded > end_) {
      w_.literal(cur_ + 4 * start_, count);
      return;
    }
    uint8_t* o = w_.p;
    o[0] = 0xFD;
    o[1] = static_cast<uint8_t>(count);
    o += 2;
    const uint8_t* src = cur_ + 4 * start_;
    for (size_t i = 0; i < count; i += 4) std::memcpy(o + 4 * i, src + 4 * i, 16);
    w_.p = o + 4 * count;
  }

  // A literal longer than a short one is copied while the scan goes on, so that its data is
  // read while still in the cache.
  void copyLiteralUpTo(size_t p) {
    if (!longLiteral_) {
      if (p - start_ <= 0xFF) return;
      longLiteral_ = true;
      data_ = w_.beginLongLiteral(n_ - start_);
      copied_ = start_;
    }
    uint8_t* to = data_ + 4 * (copied_ - start_);
    if (p - copied_ == kGroup)
      std::memcpy(to, cur_ + 4 * copied_, 4 * kGroup);  // fixed size: copied inline
    else
      std::memcpy(to, cur_ + 4 * copied_, 4 * (p - copied_));
    copied_ = p;
  }

  const uint8_t* cur_;
  size_t n_;
  uint8_t* end_;
  BlockWriter w_;
  Token kind_ = Token::None;
  size_t start_ = 0;
  bool longLiteral_ = false;
  uint8_t* data_ = nullptr;
  size_t copied_ = 0;
  uint64_t changedCarry_ = 0, inRunCarry_ = 0;
  size_t quickInEnd_;     // quick tokens start before this dword
  uint8_t* quickOutEnd_;  // and are written before this byte
};

// Converts image rows as the scan needs them, and applies the dword mask to whole dwords.
class RowFeed {
 public:
  explicit RowFeed(const BlockPackJob& job) : job_(job) {}
  void ensure(size_t bytes) {
    const ConvertTarget& t = job_.target;
    if (bytes <= done_ || t.stride == 0) return;
    int to = static_cast<int>(
        std::min<size_t>((bytes + t.stride - 1) / t.stride, static_cast<size_t>(t.height)));
    if (to <= rows_) return;
    ConvertPixelRows(*job_.raw, t, job_.image, rows_, to, scratch_);
    rows_ = to;
    done_ = static_cast<size_t>(to) * t.stride;
    if (job_.dwordMask) {
      size_t end = done_ / 4;
      for (; masked_ < end; ++masked_) {
        uint32_t v = load(job_.image, masked_) & job_.dwordMask;
        std::memcpy(job_.image + 4 * masked_, &v, 4);
      }
    }
  }

 private:
  const BlockPackJob& job_;
  std::vector<uint32_t> scratch_;
  int rows_ = 0;
  size_t done_ = 0, masked_ = 0;
};

}  // namespace

bool PacksInPlace(const BlockPackJob& job) {
  return job.raw && fusedConversion(job).raw;
}

size_t ConvertAndPackBlock(const BlockPackJob& job, MutableBytes dest) {
  const ConvertTarget& t = job.target;
  size_t length = t.stride * static_cast<size_t>(std::max(0, t.height));
  if (dest.size() < PackedSizeBound(length))
    throw ERtcInfo("ConvertAndPackBlock: output buffer of " + std::to_string(dest.size()) +
                   " bytes is smaller than the " + std::to_string(PackedSizeBound(length)) +
                   " bytes needed");
  if (!job.raw || (!job.image && length > 0))
    throw ERtcInfo("ConvertAndPackBlock: no grab or no image buffer");
  if (job.image == job.previous && length > 0 && !PacksInPlace(job))
    throw ERtcInfo("ConvertAndPackBlock: this image cannot be converted over its previous one");
  const uint8_t* cur = job.image;
  const uint8_t* prev = job.previous;
  size_t n = length / 4, tail = length % 4;
  RowFeed feed(job);
  Packer packer(cur, n, dest);
  Fused fused = fusedConversion(job);
  auto fusedScan = scanGroupFused;
#if defined(VTX_HAVE_AVX2_VARIANTS)
  if (job.wideScan && CpuHasAvx2()) fusedScan = scanGroupFusedAvx2;
#endif

  // Each group's tokens are emitted once the next group's bits are known (a run may begin on
  // the last dword of a group).
  Bits held;
  uint64_t heldLinked = 0;
  for (size_t base = 0; base < n; base += kGroup) {
    size_t count = std::min(kGroup, n - base);
    Bits b;
    if (!fused.raw) {
      feed.ensure(4 * (base + count) + kAhead);
      b = scanGroup(cur, prev, base, count);
    } else if (count == kGroup && base > 0) {
      b = fusedScan(fused, job.image, prev, base);
    } else {
      b = scanDwordsFused(fused, job.image, prev, base, count);
    }
    uint64_t before = base == 0 ? 0 : held.changed >> 63;
    uint64_t linked = b.equal & b.changed & (b.changed << 1 | before);
    if (base > 0) packer.group(base - kGroup, held.changed, heldLinked, linked & 1);
    held = b;
    heldLinked = linked;
  }
  if (n > 0) packer.group((n - 1) / kGroup * kGroup, held.changed, heldLinked, false);
  size_t pending = packer.end();
  if (!fused.raw) feed.ensure(length);
  BlockWriter& w = packer.writer();
  if (tail > 0) {
    const uint8_t* tailCur = cur + 4 * n;
    if (!prev || std::memcmp(tailCur, prev + 4 * n, tail) != 0) {
      if (pending > 0) w.skip(pending);
      w.tail(tailCur, tail);
    }
  }
  return static_cast<size_t>(w.p - dest.data());
}

}  // namespace vtx
