// Conversion of grabbed pixels into the formats of block images: 32-bit blue, green, red and a
// zero byte; 16-bit 5-6-5; 8-bit and 4-bit indexes into the palettes of screen_palette.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/screen.h"

namespace vtx {

struct ConvertTarget {
  int code = 4;           // pixel size code (0, 1, 2 or 4)
  int width = 0;          // pixels per row
  int height = 0;         // rows
  size_t stride = 0;      // bytes per row of the destination
  bool bottomUp = false;  // rows stored last row first
  uint32_t mask32 = 0;    // AND mask of 32-bit pixels (0 = none)
};

// Whether the layout is 32-bit 0x00RRGGBB (the pad byte may hold anything).
bool IsStandard32(const PixelLayout& layout);
// The AND mask that turns a 0x00RRGGBB source pixel into the target's 32-bit pixel.
inline uint32_t PixelMask32(const ConvertTarget& t) {
  return 0x00FFFFFF & (t.mask32 ? t.mask32 : 0xFFFFFFFF);
}

// Writes raw into dest in the target format; pixels the raw image lacks become black.
// Unsupported source layouts (other than 16, 24 or 32 bits per pixel) give black.
void ConvertPixels(const RawImage& raw, const ConvertTarget& target, uint8_t* dest);
// The same for the image rows [from, to) in memory order (the last screen row first when
// bottom-up); scratch holds a converted source row when the source is not 32-bit.
void ConvertPixelRows(const RawImage& raw, const ConvertTarget& target, uint8_t* dest, int from,
                      int to, std::vector<uint32_t>& scratch);

// Whether converting raw to the target would give exactly the bytes in image: a single pass
// that compares without writing. Only for 32-bit targets from 32-bit 0x00RRGGBB sources with
// every pixel present; false whenever it cannot tell. wide: AVX2 where the CPU has it.
bool SameAsConverted(const RawImage& raw, const ConvertTarget& target, const uint8_t* image,
                     bool wide = true);

// One row of 0x00RRGGBB pixels to the target format (the row converters on their own).
void ConvertRow32To32(const uint32_t* src, int n, uint32_t mask, uint8_t* dest);
void ConvertRow32To16(const uint32_t* src, int n, uint8_t* dest);
void ConvertRow32To8(const uint32_t* src, int n, uint8_t* dest);
void ConvertRow32To4(const uint32_t* src, int n, uint8_t* dest);

}  // namespace vtx
