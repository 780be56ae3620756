#include "util/ticks.h"

#include <chrono>

namespace vtx {

int64_t GetTickTime64() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint32_t GetTickTime() {
  return static_cast<uint32_t>(GetTickTime64());
}

}  // namespace vtx
