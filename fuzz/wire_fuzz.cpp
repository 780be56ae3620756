// Any bytes given to the code text reader yield a value or a library exception.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/exceptions.h"
#include "values/values.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    auto v = vtx::TRtcValue::FromCode(text);
    (void)v->asText();
  } catch (const vtx::RtcException&) {
  }
  // Several items read one after another, as a body of several results.
  std::size_t at = 0;
  try {
    while (at < text.size()) (void)vtx::TRtcValue::FromCode(text, at);
  } catch (const vtx::RtcException&) {
  }
  return 0;
}
