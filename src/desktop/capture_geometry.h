// Capture geometry: the pixel size code, the source and capture rectangles and their partition
// into horizontal blocks, worked out from the display and the capture settings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/screen.h"

namespace vtx {

// Pixel size codes of block images.
inline constexpr int kPixels4Bit = 0;
inline constexpr int kPixels8Bit = 1;
inline constexpr int kPixels16Bit = 2;
inline constexpr int kPixels24Bit = 3;  // never kept: captured as 16-bit
inline constexpr int kPixels32Bit = 4;

// Code of a display depth: 1-4 -> 0, 5-8 -> 1, 9-16 -> 2, 17-24 -> 3, 32 -> 4, else 3.
int PixelSizeCode(int bitsPerPixel);
// Width rounded up to the next multiple of 16.
int RoundWidth16(int width);
// A fixed capture region widened to a multiple of 4 pixels: the left edge moves left, or,
// when that would make it negative, the right edge moves right.
ScreenRect WidenFixedRegion(const ScreenRect& region);

struct GeometrySettings {
  int bppLimit = 4;
  int maxBlockCount = 1;
  int maxTotalSize = 0;
  bool fullScreen = true;
  ScreenRect fixedRegion;
};

struct CaptureGeometry {
  int screenBPP = 0;
  int bytesPerPixel = 0;  // pixel size code
  int screenLeft = 0, screenTop = 0, screenWidth = 0, screenHeight = 0;
  int captureLeft = 0, captureTop = 0, captureWidth = 0, captureHeight = 0;
  int blockWidth = 0;
  size_t bppWidth = 0;  // bytes per image row
  int blockHeight = 0, lastBlockHeight = 0, blockCount = 0;
  size_t blockSize = 0, lastBlockSize = 0, allBlockSize = 0;

  bool empty() const { return blockCount == 0; }
  int heightOf(int block) const { return block == blockCount - 1 ? lastBlockHeight : blockHeight; }
  size_t sizeOf(int block) const { return block == blockCount - 1 ? lastBlockSize : blockSize; }
  // Byte offset of a block's first byte within the whole image, for either row order.
  size_t offsetOf(int block, bool bottomUp) const;
  // The screen rectangle a block covers.
  ScreenRect rectOf(int block) const;
};

// Geometry of a display for the settings. An empty capture area (a region outside the screen,
// a zero-size screen) gives a geometry without blocks.
CaptureGeometry ComputeGeometry(const DisplayInfo& display, const GeometrySettings& settings);

}  // namespace vtx
