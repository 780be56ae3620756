// One pass from a grabbed block to its block stream: rows are converted into the block image a
// few at a time and packed while they are still in the cache. The stream is byte for byte the
// one of ConvertPixels, the optional dword mask and PackImage / PackImageDelta.
#pragma once

#include <cstddef>
#include <cstdint>

#include "desktop/compress.h"
#include "desktop/pixel_convert.h"

namespace vtx {

struct BlockPackJob {
  const RawImage* raw = nullptr;
  ConvertTarget target;               // image layout: target.stride x target.height bytes
  uint32_t dwordMask = 0;             // AND mask of each whole dword after conversion (0 = none)
  const uint8_t* previous = nullptr;  // the viewers' image (nullptr: a full stream)
  uint8_t* image = nullptr;           // receives the converted block image
  bool wideScan = true;               // AVX2 where the CPU has it (same stream either way)
};

// Whether image may be the previous image itself, which is then updated in place: true for
// whole 32-bit rows, which are converted inside the scan.
bool PacksInPlace(const BlockPackJob& job);

// Converts and packs; returns the stream length (0 when the image equals previous). dest must
// hold PackedSizeBound(target.stride * target.height) bytes (ERtcInfo otherwise), and image
// must be another buffer than previous unless PacksInPlace (ERtcInfo otherwise).
size_t ConvertAndPackBlock(const BlockPackJob& job, MutableBytes dest);

}  // namespace vtx
