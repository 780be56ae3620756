// Random bytes for key halves and session identifiers, from the operating system's generator.
#pragma once

#include <cstddef>
#include <mutex>
#include <random>
#include <string>

namespace vtx::gateway {

class RandomSource {
 public:
  // `count` bytes, each uniform over 0..255. Thread-safe.
  std::string bytes(std::size_t count);
  // 32 upper-case hexadecimal digits.
  std::string sessionId();

 private:
  std::mutex lock_;
  std::random_device device_;
};

}  // namespace vtx::gateway
