#include "desktop/pixel_convert.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "desktop/screen_palette.h"

#include "desktop/cpu_features.h"

#if defined(VTX_HAVE_AVX2_VARIANTS)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vtx {
namespace {

bool isStandard16(const PixelLayout& l) {
  return l.bitsPerPixel == 16 && l.redMask == 0xF800 && l.greenMask == 0x07E0 &&
         l.blueMask == 0x001F;
}

// Value of a masked channel scaled to 8 bits.
struct Channel {
  int shift = 0, bits = 0;
  explicit Channel(uint32_t mask) {
    if (!mask) return;
    while (!(mask & 1)) mask >>= 1, ++shift;
    while (mask & 1) mask >>= 1, ++bits;
  }
  uint32_t of(uint32_t p) const {
    if (bits == 0) return 0;
    uint32_t v = (p >> shift) & ((1u << bits) - 1);
    if (bits >= 8) return v >> (bits - 8);
    uint32_t out = 0;  // replicate the bits to fill 8
    for (int have = 0; have < 8; have += bits) out = (out << bits) | v;
    return (out >> ((bits * ((8 + bits - 1) / bits)) - 8)) & 0xFF;
  }
};

// A source row as 0x00RRGGBB pixels, converted into scratch unless it already is.
const uint32_t* rowAs32(const RawImage& raw, int y, int n, std::vector<uint32_t>& scratch) {
  const uint8_t* src = raw.data + static_cast<size_t>(y) * raw.stride;
  if (IsStandard32(raw.layout) && reinterpret_cast<uintptr_t>(src) % 4 == 0)
    return reinterpret_cast<const uint32_t*>(src);
  scratch.resize(static_cast<size_t>(n));
  if (IsStandard32(raw.layout)) {
    std::memcpy(scratch.data(), src, 4 * static_cast<size_t>(n));
  } else if (isStandard16(raw.layout)) {
    for (int x = 0; x < n; ++x) {
      uint32_t p = static_cast<uint32_t>(src[2 * x]) | static_cast<uint32_t>(src[2 * x + 1]) << 8;
      uint32_t r = (p >> 11) & 31, g = (p >> 5) & 63, b = p & 31;
      scratch[x] = ((r << 3 | r >> 2) << 16) | ((g << 2 | g >> 4) << 8) | (b << 3 | b >> 2);
    }
  } else {
    Channel r(raw.layout.redMask), g(raw.layout.greenMask), b(raw.layout.blueMask);
    size_t bytes = static_cast<size_t>(raw.layout.bitsPerPixel) / 8;
    for (int x = 0; x < n; ++x) {
      uint32_t p = 0;
      for (size_t k = 0; k < bytes; ++k) p |= static_cast<uint32_t>(src[bytes * x + k]) << (8 * k);
      scratch[x] = r.of(p) << 16 | g.of(p) << 8 | b.of(p);
    }
  }
  return scratch.data();
}

}  // namespace

bool IsStandard32(const PixelLayout& l) {
  return l.bitsPerPixel == 32 && l.redMask == 0xFF0000 && l.greenMask == 0xFF00 &&
         l.blueMask == 0xFF;
}

void ConvertRow32To32(const uint32_t* src, int n, uint32_t mask, uint8_t* dest) {
  uint32_t m = 0x00FFFFFF & mask;
  int x = 0;
#if defined(__SSE2__)
  const __m128i mm = _mm_set1_epi32(static_cast<int>(m));
  for (; x + 8 <= n; x += 8) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x + 4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + 4 * x), _mm_and_si128(a, mm));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + 4 * x + 16), _mm_and_si128(b, mm));
  }
#endif
  for (; x < n; ++x) {
    uint32_t v = src[x] & m;
    std::memcpy(dest + 4 * x, &v, 4);
  }
}

void ConvertRow32To16(const uint32_t* src, int n, uint8_t* dest) {
  for (int x = 0; x < n; ++x) {
    uint32_t p = src[x];
    uint16_t v =
        static_cast<uint16_t>(((p >> 8) & 0xF800) | ((p >> 5) & 0x07E0) | ((p >> 3) & 0x1F));
    std::memcpy(dest + 2 * x, &v, 2);
  }
}

void ConvertRow32To8(const uint32_t* src, int n, uint8_t* dest) {
  const uint8_t* t = PaletteIndex::table256();
  int x = 0;
  for (; x + 4 <= n; x += 4) {
    uint32_t a = src[x], b = src[x + 1], c = src[x + 2], d = src[x + 3];
    dest[x] = t[((a >> 9) & 0x7C00) | ((a >> 6) & 0x03E0) | ((a >> 3) & 0x1F)];
    dest[x + 1] = t[((b >> 9) & 0x7C00) | ((b >> 6) & 0x03E0) | ((b >> 3) & 0x1F)];
    dest[x + 2] = t[((c >> 9) & 0x7C00) | ((c >> 6) & 0x03E0) | ((c >> 3) & 0x1F)];
    dest[x + 3] = t[((d >> 9) & 0x7C00) | ((d >> 6) & 0x03E0) | ((d >> 3) & 0x1F)];
  }
  for (; x < n; ++x) dest[x] = PaletteIndex::of256(src[x]);
}

void ConvertRow32To4(const uint32_t* src, int n, uint8_t* dest) {
  // Two pixels per byte, the left one in the high half; an odd last pixel is dropped.
  for (int x = 0; x + 1 < n; x += 2)
    dest[x / 2] =
        static_cast<uint8_t>(PaletteIndex::of16(src[x]) << 4 | PaletteIndex::of16(src[x + 1]));
}

namespace {

// Whether the masked 32-bit pixels of a source row equal the image row.
bool sameRow(const uint8_t* src, const uint8_t* img, size_t rowBytes, uint32_t m) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i mask = _mm_set1_epi32(static_cast<int>(m));
  for (; i + 32 <= rowBytes; i += 32) {
    __m128i a0 = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)), mask);
    __m128i a1 =
        _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16)), mask);
    __m128i e = _mm_and_si128(
        _mm_cmpeq_epi32(a0, _mm_loadu_si128(reinterpret_cast<const __m128i*>(img + i))),
        _mm_cmpeq_epi32(a1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(img + i + 16))));
    if (_mm_movemask_epi8(e) != 0xFFFF) return false;
  }
#endif
  for (; i < rowBytes; i += 4) {
    uint32_t a, b;
    std::memcpy(&a, src + i, 4);
    std::memcpy(&b, img + i, 4);
    if ((a & m) != b) return false;
  }
  return true;
}

#if defined(VTX_HAVE_AVX2_VARIANTS)
__attribute__((target("avx2"))) bool sameRowAvx2(const uint8_t* src, const uint8_t* img,
                                                 size_t rowBytes, uint32_t m) {
  const __m256i mask = _mm256_set1_epi32(static_cast<int>(m));
  size_t i = 0;
  for (; i + 64 <= rowBytes; i += 64) {
    __m256i a0 =
        _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)), mask);
    __m256i a1 =
        _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 32)), mask);
    __m256i x = _mm256_or_si256(
        _mm256_xor_si256(a0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(img + i))),
        _mm256_xor_si256(a1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(img + i + 32))));
    if (!_mm256_testz_si256(x, x)) return false;
  }
  return sameRow(src + i, img + i, rowBytes - i, m);
}
#endif

}  // namespace

bool SameAsConverted(const RawImage& raw, const ConvertTarget& t, const uint8_t* image, bool wide) {
  if (t.code != 4 || !raw.data || !IsStandard32(raw.layout) || raw.width < t.width ||
      raw.height < t.height)
    return false;
  uint32_t m = PixelMask32(t);
  size_t rowBytes = 4 * static_cast<size_t>(t.width);
  auto same = sameRow;
#if defined(VTX_HAVE_AVX2_VARIANTS)
  if (wide && CpuHasAvx2()) same = sameRowAvx2;
#endif
  for (int y = 0; y < t.height; ++y) {
    const uint8_t* src = raw.data + static_cast<size_t>(y) * raw.stride;
    const uint8_t* img = image + static_cast<size_t>(t.bottomUp ? t.height - 1 - y : y) * t.stride;
    if (!same(src, img, rowBytes, m)) return false;
  }
  return true;
}

void ConvertPixelRows(const RawImage& raw, const ConvertTarget& t, uint8_t* dest, int from, int to,
                      std::vector<uint32_t>& scratch) {
  bool supported = raw.data && (raw.layout.bitsPerPixel == 16 || raw.layout.bitsPerPixel == 24 ||
                                raw.layout.bitsPerPixel == 32);
  int w = supported ? std::clamp(raw.width, 0, t.width) : 0;
  int h = supported ? std::clamp(raw.height, 0, t.height) : 0;
  size_t used = t.code == 0 ? static_cast<size_t>(w) / 2 : static_cast<size_t>(t.code) * w;
  for (int r = std::max(from, 0); r < std::min(to, t.height); ++r) {
    int y = t.bottomUp ? t.height - 1 - r : r;
    uint8_t* row = dest + static_cast<size_t>(r) * t.stride;
    if (y >= h) {
      std::memset(row, 0, t.stride);
      continue;
    }
    if (t.code == 2 && isStandard16(raw.layout)) {
      std::memcpy(row, raw.data + static_cast<size_t>(y) * raw.stride, 2 * static_cast<size_t>(w));
    } else {
      const uint32_t* src = rowAs32(raw, y, w, scratch);
      switch (t.code) {
        case 4:
          ConvertRow32To32(src, w, PixelMask32(t), row);
          break;
        case 2:
          ConvertRow32To16(src, w, row);
          break;
        case 1:
          ConvertRow32To8(src, w, row);
          break;
        default:
          ConvertRow32To4(src, w, row);
          break;
      }
    }
    if (used < t.stride) std::memset(row + used, 0, t.stride - used);
  }
}

void ConvertPixels(const RawImage& raw, const ConvertTarget& t, uint8_t* dest) {
  std::vector<uint32_t> scratch;
  ConvertPixelRows(raw, t, dest, 0, t.height, scratch);
}

}  // namespace vtx
