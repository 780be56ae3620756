// What the reader accepts, written and read back, writes the same text again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "util/exceptions.h"
#include "values/values.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<vtx::TRtcValue> v;
  try {
    v = vtx::TRtcValue::FromCode(text);
  } catch (const vtx::RtcException&) {
    return 0;
  }
  std::string first;
  try {
    first = v->toCode();
  } catch (const vtx::RtcException&) {
    return 0;  // a value the writer refuses (for example a date beyond year 9999)
  }
  auto again = vtx::TRtcValue::FromCode(first);  // must not throw
  if (again->toCode() != first) std::abort();
  auto copy = vtx::copyOf(*again);
  if (copy->toCode() != first) std::abort();
  return 0;
}
