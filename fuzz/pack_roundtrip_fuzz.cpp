// Packs arbitrary data every way the library can and checks that decoding gives it back exactly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "desktop/compress.h"
#include "desktop/screen_decoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

void check(bool ok) {
  if (!ok) std::abort();
}

// Exact-size buffers so that the sanitizers catch any write past the stated bounds.
void blockStreams(const Bytes& prev, const Bytes& cur) {
  Bytes out(vtx::PackedSizeBound(cur.size()));
  Bytes frame(cur.size(), 0xA5);
  vtx::DecodeBlockStream({out.data(), vtx::PackImage(cur, out)}, frame, 0);
  check(frame == cur);
  frame = prev;
  size_t n = vtx::PackImageDelta(prev, cur, out);
  check((n == 0) == (prev == cur));
  vtx::DecodeBlockStream({out.data(), n}, frame, 0);
  check(frame == cur);
}

void lineCodes(const Bytes& prev, const Bytes& cur) {
  Bytes control(vtx::LineControlBound(cur.size())), data(vtx::LineDataBound(cur.size()));
  vtx::LineCode full = vtx::PackLine(cur, control, data);
  Bytes frame(cur.size(), 0x5A);
  vtx::DecodeLineCode(vtx::kLineKindFull, {control.data(), full.controlLength},
                      {data.data(), full.dataLength}, frame, 0);
  check(frame == cur);
  vtx::LineCode delta = vtx::PackLineDelta(prev, cur, control, data);
  frame = prev;
  vtx::UnpackLineDelta({data.data(), delta.dataLength}, {control.data(), delta.controlLength},
                       frame.data(), frame.size(), 0);
  check(frame == cur);
}

// The line encoders keep the sender's reference equal to what the viewer decodes.
void lineEncoders(const Bytes& prev, const Bytes& cur, uint8_t flags) {
  static auto scratch = std::make_unique<vtx::LineScratch>();
  Bytes record(vtx::kLineRecordHeader + cur.size() + cur.size() / 2 + 16);
  uint32_t andMask = flags & 1 ? 0x00F0F0F0 : 0, mergeMask = flags & 2 ? 0x00E0E0E0 : 0;
  int percent = (flags >> 2) % 4 * 30;
  bool firstPass = flags & 0x40;
  Bytes reference = prev, viewer = prev;
  size_t n = vtx::EncodeLineChange(*scratch, reference.data(), cur.data(), cur.size(), percent,
                                   firstPass, andMask, mergeMask, record, true);
  if (n) vtx::DecodeLineRecord({record.data(), n}, viewer, 0);
  check(viewer == reference);
  if (!firstPass) check(reference == cur);
  n = vtx::EncodeLineFull(*scratch, reference.data(), cur.data(), cur.size(), percent, firstPass,
                          andMask, mergeMask, record, true);
  vtx::DecodeLineRecord({record.data(), n}, viewer, 0);
  check(viewer == reference);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t flags = data[0];
  // Second half is the current image; the previous one mixes first-half bytes with equal ones,
  // so that deltas see both changed and unchanged stretches.
  size_t len = (size - 1) / 2;
  Bytes cur(data + 1 + len, data + 1 + 2 * len), prev(data + 1, data + 1 + len);
  for (size_t i = 0; i < len; ++i)
    if ((prev[i] & 3) != 0) prev[i] = cur[i];
  blockStreams(prev, cur);
  if (len <= vtx::kMaxLineBytes) {
    lineCodes(prev, cur);
    lineEncoders(prev, cur, flags);
  }
  return 0;
}
