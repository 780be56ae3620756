#include "transport/crypt.h"

#include <algorithm>

namespace vtx {

namespace {

// All arithmetic wraps at 32 bits; the comparison in fold is signed.
inline std::uint32_t fold(std::uint32_t v) {
  return static_cast<std::int32_t>(v) > 65535 ? (v & 0xFFFFu) + (v >> 16) : v;
}

// For a non-negative value fold is the same as this branch-free form.
inline std::uint32_t foldNonNegative(std::uint32_t v) {
  return (v & 0xFFFFu) + (v >> 16);
}

inline std::uint8_t mix(std::uint32_t v) {
  return static_cast<std::uint8_t>((v >> 8) ^ v);
}

// Keys up to this length keep the running value in 0..2^31-1 for every input: a folded value is
// at most 98302, the zero correction adds at most 2 * 98302 + key length, and one step
// multiplies by at most 16 and adds at most 495.
constexpr std::int32_t kWideKeyLimit = 1 << 22;

}  // namespace

TRtcCrypt::TRtcCrypt() {
  Init();
}

TRtcCrypt::~TRtcCrypt() {
  // Do not leave key material behind in freed memory.
  std::fill(FCryptKey.begin(), FCryptKey.end(), '\0');
  std::fill(FCryptCode.begin(), FCryptCode.end(), '\0');
}

void TRtcCrypt::setKey(const std::string& key) {
  std::fill(FCryptKey.begin(), FCryptKey.end(), '\0');
  FCryptKey = key;
  CInit = false;
  Init();
}

void TRtcCrypt::Init() {
  if (CInit) return;
  FCryptCode = FCryptKey;
  CValue = 0;
  CLen = static_cast<std::int32_t>(std::min<std::size_t>(FCryptCode.size(), INT32_MAX));
  if (CLen <= 0) return;
  std::uint32_t v = 0;
  for (std::int32_t i = 0; i < CLen; ++i) v += static_cast<unsigned char>(FCryptCode[i]);
  v = fold(v);
  CErr = static_cast<std::int32_t>(v + static_cast<std::uint32_t>(CLen));
  CCode = mix(v);
  if (CCode == 0) {
    v += static_cast<std::uint32_t>(CErr);
    CCode = mix(v);
  }
  CValue = static_cast<std::int32_t>(v);
  CPos = 0;
  CInit = true;
}

template <bool Decrypt, bool Wide>
void TRtcCrypt::walk(unsigned char* data, std::size_t size) {
  const auto* key = reinterpret_cast<const unsigned char*>(FCryptCode.data());
  const auto len = static_cast<std::size_t>(CLen);
  const auto err = static_cast<std::uint32_t>(CErr);
  std::uint32_t v = static_cast<std::uint32_t>(CValue);
  std::uint8_t code = CCode;
  std::size_t pos = static_cast<std::size_t>(CPos);  // key bytes used so far in this round
  std::size_t i = 0;
  while (i < size) {
    if (pos >= len) pos = 0;
    // Run along the key without a wrap test per byte.
    const std::size_t n = std::min(size - i, len - pos);
    const unsigned char* k = key + pos;
    unsigned char* d = data + i;
    for (std::size_t j = 0; j < n; ++j) {
      std::uint32_t p;
      if constexpr (Decrypt) {
        p = static_cast<std::uint8_t>(d[j] ^ code);
        d[j] = static_cast<unsigned char>(p);
      } else {
        p = d[j];
        d[j] = static_cast<unsigned char>(p ^ code);
      }
      v = ((p & 0x0Fu) + 1u) * v + ((p & 0xF0u) + k[j]);
      v = Wide ? fold(v) : foldNonNegative(v);
      code = mix(v);
      if (code == 0) [[unlikely]] {
        v += err;
        code = mix(v);
      }
    }
    i += n;
    pos += n;
  }
  CValue = static_cast<std::int32_t>(v);
  CCode = code;
  CPos = static_cast<std::int32_t>(pos);
}

template <bool Decrypt>
void TRtcCrypt::run(char* data, std::size_t size) {
  CInit = false;
  if (CLen <= 0 || size == 0) return;
  auto* bytes = reinterpret_cast<unsigned char*>(data);
  if (CLen <= kWideKeyLimit && CValue >= 0)
    walk<Decrypt, false>(bytes, size);
  else
    walk<Decrypt, true>(bytes, size);
}

void TRtcCrypt::Crypt(char* data, std::size_t size) {
  run<false>(data, size);
}
void TRtcCrypt::DeCrypt(char* data, std::size_t size) {
  run<true>(data, size);
}

}  // namespace vtx
