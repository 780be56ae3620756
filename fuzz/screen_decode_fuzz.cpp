// Arbitrary block streams and line records against frame buffers of arbitrary small sizes: the
// decoder either applies them or throws ERtcInfo leaving the frame exactly as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "desktop/screen_decoder.h"
#include "util/exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  size_t frameSize = (data[0] | size_t{data[1]} << 8) % 4097;
  int64_t at = static_cast<int64_t>(data[2]) * 4 - 64;  // sometimes negative or past the end
  uint8_t mode = data[3];
  std::vector<uint8_t> frame(frameSize);
  for (size_t i = 0; i < frameSize; ++i) frame[i] = static_cast<uint8_t>(i * 31 + 7);
  std::vector<uint8_t> before = frame;
  vtx::ConstBytes input(data + 4, size - 4);
  try {
    if (mode % 3 == 0)
      vtx::DecodeBlockStream(input, frame, at);
    else if (mode % 3 == 1)
      vtx::DecodeLineRecord(input, frame, at);
    else
      vtx::UnpackLineDelta(input.subspan(input.size() / 2), input.first(input.size() / 2),
                           frame.data(), frameSize - std::min<size_t>(frameSize, mode / 3),
                           std::min<size_t>(frameSize, mode / 3));
  } catch (const vtx::ERtcInfo&) {
    if (frame != before) std::abort();  // a rejected stream must not have written anything
  }
  return 0;
}
