// Scanning helpers for the packers: positions are dword indexes into byte buffers that need not
// be aligned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vtx::scan {

inline uint32_t load(const uint8_t* base, size_t index) {
  uint32_t v;
  std::memcpy(&v, base + 4 * index, 4);
  return v;
}

// First index in [from, n) where a and b differ, or n.
inline size_t firstDifference(const uint8_t* a, const uint8_t* b, size_t from, size_t n) {
  size_t j = from;
#if defined(__SSE2__)
  // Scattered changes end most equal stretches within a few dwords: look there before paying
  // for library calls.
  for (size_t k = 0; k < 4 && n - j >= 4; ++k, j += 4) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 4 * j));
    __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 4 * j));
    int equal = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(x, y)));
    if (equal != 0xF) return j + static_cast<size_t>(__builtin_ctz(~static_cast<unsigned>(equal)));
  }
#endif
  constexpr size_t kHuge = 16384, kBig = 1024, kSmall = 64;  // dwords
  while (n - j >= kHuge && std::memcmp(a + 4 * j, b + 4 * j, 4 * kHuge) == 0) j += kHuge;
  while (n - j >= kBig && std::memcmp(a + 4 * j, b + 4 * j, 4 * kBig) == 0) j += kBig;
  while (n - j >= kSmall && std::memcmp(a + 4 * j, b + 4 * j, 4 * kSmall) == 0) j += kSmall;
  while (j < n && load(a, j) == load(b, j)) ++j;
  return j;
}

// First index in [from, n) where cur equals value's opposite: cur[j] != v, or (with prev)
// cur[j] == prev[j]. Used to measure a run confined to a changed segment.
inline size_t runEnd(const uint8_t* cur, const uint8_t* prev, size_t from, size_t n, uint32_t v) {
  size_t j = from;
#if defined(__SSE2__)
  const __m128i vv = _mm_set1_epi32(static_cast<int>(v));
  for (; j + 4 <= n; j += 4) {
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + 4 * j));
    __m128i stop = _mm_xor_si128(_mm_cmpeq_epi32(c, vv), _mm_set1_epi32(-1));
    if (prev) {
      __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + 4 * j));
      stop = _mm_or_si128(stop, _mm_cmpeq_epi32(c, p));
    }
    int m = _mm_movemask_ps(_mm_castsi128_ps(stop));
    if (m) return j + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(m)));
  }
#endif
  for (; j < n; ++j) {
    uint32_t c = load(cur, j);
    if (c != v || (prev && c == load(prev, j))) break;
  }
  return j;
}

// First index in [from, n), from >= 1, where cur[j] equals cur[j - 1] or (with prev) prev[j].
// Sets pairFound when the stop is an equal neighbour pair inside the segment.
inline size_t literalEnd(const uint8_t* cur, const uint8_t* prev, size_t from, size_t n,
                         bool& pairFound) {
  size_t j = from;
  pairFound = false;
#if defined(__SSE2__)
  for (; j + 4 <= n; j += 4) {
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + 4 * j));
    __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + 4 * j - 4));
    __m128i stop = _mm_cmpeq_epi32(c, q);
    if (prev) {
      __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + 4 * j));
      stop = _mm_or_si128(stop, _mm_cmpeq_epi32(c, p));
    }
    if (_mm_movemask_ps(_mm_castsi128_ps(stop))) break;
  }
#endif
  for (; j < n; ++j) {
    uint32_t c = load(cur, j);
    if (prev && c == load(prev, j)) return j;
    if (c == load(cur, j - 1)) {
      pairFound = true;
      return j;
    }
  }
  return j;
}

// As literalEnd, and copies cur[copyFrom, end) to dst (dst holds dword copyFrom) on the way,
// so that a long literal is read once.
inline size_t literalEndCopy(const uint8_t* cur, const uint8_t* prev, size_t from, size_t n,
                             bool& pairFound, uint8_t* dst, size_t copyFrom) {
  size_t j = from;
  std::memcpy(dst, cur + 4 * copyFrom, 4 * (from - copyFrom));
#if defined(__SSE2__)
  auto at = [&](const uint8_t* b, size_t k) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 4 * k));
  };
  for (; j + 8 <= n; j += 8) {  // two vectors per step while nothing stops the literal
    __m128i c0 = at(cur, j), c1 = at(cur, j + 4);
    __m128i stop =
        _mm_or_si128(_mm_cmpeq_epi32(c0, at(cur, j - 1)), _mm_cmpeq_epi32(c1, at(cur, j + 3)));
    if (prev)
      stop = _mm_or_si128(stop, _mm_or_si128(_mm_cmpeq_epi32(c0, at(prev, j)),
                                             _mm_cmpeq_epi32(c1, at(prev, j + 4))));
    if (_mm_movemask_ps(_mm_castsi128_ps(stop))) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * (j - copyFrom)), c0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * (j + 4 - copyFrom)), c1);
  }
  for (; j + 4 <= n; j += 4) {
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + 4 * j));
    __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + 4 * j - 4));
    __m128i stop = _mm_cmpeq_epi32(c, q);
    if (prev) {
      __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + 4 * j));
      stop = _mm_or_si128(stop, _mm_cmpeq_epi32(c, p));
    }
    if (_mm_movemask_ps(_mm_castsi128_ps(stop))) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * (j - copyFrom)), c);
  }
#endif
  size_t stored = j;
  j = literalEnd(cur, prev, j, n, pairFound);
  size_t end = pairFound ? j - 1 : j;
  if (end > stored)
    std::memcpy(dst + 4 * (stored - copyFrom), cur + 4 * stored, 4 * (end - stored));
  return j;
}

}  // namespace vtx::scan
