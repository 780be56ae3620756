#include "gateway/random_source.h"

namespace vtx::gateway {

std::string RandomSource::bytes(std::size_t count) {
  std::string out(count, '\0');
  std::lock_guard<std::mutex> hold(lock_);
  for (std::size_t i = 0; i < count; i += 4) {
    const unsigned int word = device_();
    for (std::size_t j = 0; j < 4 && i + j < count; ++j)
      out[i + j] = static_cast<char>((word >> (8 * j)) & 0xFF);
  }
  return out;
}

std::string RandomSource::sessionId() {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string raw = bytes(16);
  std::string id;
  id.reserve(32);
  for (unsigned char c : raw) {
    id.push_back(kHex[c >> 4]);
    id.push_back(kHex[c & 0x0F]);
  }
  return id;
}

}  // namespace vtx::gateway
