#include "desktop/capture_geometry.h"

#include <algorithm>
#include <limits>

namespace vtx {

int PixelSizeCode(int bpp) {
  if (bpp >= 1 && bpp <= 4) return kPixels4Bit;
  if (bpp >= 5 && bpp <= 8) return kPixels8Bit;
  if (bpp >= 9 && bpp <= 16) return kPixels16Bit;
  if (bpp == 32) return kPixels32Bit;
  return kPixels24Bit;
}

int RoundWidth16(int width) {
  if (width <= 0) return width;
  return width % 16 == 0 ? width : width + 16 - width % 16;
}

ScreenRect WidenFixedRegion(const ScreenRect& region) {
  ScreenRect r = region;
  int64_t width = int64_t{r.right} - r.left;
  if (width <= 0 || width > std::numeric_limits<int>::max()) return r;
  int grow = static_cast<int>(width % 4);
  if (grow == 0) return r;
  grow = 4 - grow;
  if (r.left - grow >= 0)
    r.left -= grow;
  else if (r.right <= std::numeric_limits<int>::max() - grow)
    r.right += grow;
  return r;  // no room on either side: left as it is (the capture cuts it to the screen)
}

size_t CaptureGeometry::offsetOf(int block, bool bottomUp) const {
  size_t step = static_cast<size_t>(blockHeight) * bppWidth;
  if (!bottomUp) return static_cast<size_t>(block) * step;
  if (block == blockCount - 1) return 0;
  return allBlockSize - static_cast<size_t>(block + 1) * step;
}

ScreenRect CaptureGeometry::rectOf(int block) const {
  int top = captureTop + block * blockHeight;
  return {captureLeft, top, captureLeft + captureWidth, top + heightOf(block)};
}

CaptureGeometry ComputeGeometry(const DisplayInfo& display, const GeometrySettings& s) {
  CaptureGeometry g;
  g.screenBPP = display.bitsPerPixel;
  int code = PixelSizeCode(display.bitsPerPixel);
  g.screenWidth = RoundWidth16(std::max(0, display.rect.width()));
  g.screenHeight = std::max(0, display.rect.height());
  g.screenLeft = display.rect.left;
  g.screenTop = display.rect.top;
  code = std::min(code, std::clamp(s.bppLimit, kPixels4Bit, kPixels32Bit));
  if (code == kPixels24Bit) code = kPixels16Bit;
  g.bytesPerPixel = code;

  if (s.fullScreen) {
    g.captureLeft = g.screenLeft;
    g.captureTop = g.screenTop;
    g.captureWidth = g.screenWidth;
    g.captureHeight = g.screenHeight;
  } else {
    g.captureLeft = std::max(s.fixedRegion.left, g.screenLeft);
    g.captureTop = std::max(s.fixedRegion.top, g.screenTop);
    // 64-bit arithmetic: a region far outside the screen must not overflow.
    int64_t w = int64_t{s.fixedRegion.right} - g.captureLeft;
    int64_t h = int64_t{s.fixedRegion.bottom} - g.captureTop;
    w = std::min<int64_t>(w, int64_t{g.screenWidth} - g.captureLeft);
    h = std::min<int64_t>(h, int64_t{g.screenHeight} - g.captureTop);
    g.captureWidth = static_cast<int>(std::max<int64_t>(0, w));
    g.captureHeight = static_cast<int>(std::max<int64_t>(0, h));
  }
  g.blockWidth = g.captureWidth;
  g.bppWidth = code == kPixels4Bit ? static_cast<size_t>(g.blockWidth) / 2
                                   : static_cast<size_t>(code) * g.blockWidth;
  if (g.bppWidth == 0 || g.captureHeight <= 0) {
    g.captureWidth = g.captureHeight = g.blockWidth = 0;
    g.bppWidth = 0;
    return g;  // nothing to capture
  }

  g.blockHeight = g.captureHeight;
  if (s.maxBlockCount < 2 && s.maxTotalSize > 0) {
    int64_t h = std::max<int64_t>(2, s.maxTotalSize / static_cast<int64_t>(g.bppWidth));
    if (h < g.blockHeight) g.blockHeight = static_cast<int>(h);
  } else if (s.maxBlockCount >= 2) {
    int h = std::max(2, g.captureHeight / s.maxBlockCount);
    if (h < g.blockHeight) g.blockHeight = h;
  }
  g.blockSize = static_cast<size_t>(g.blockHeight) * g.bppWidth;
  g.blockCount = g.captureHeight / g.blockHeight;
  int rest = g.captureHeight % g.blockHeight;
  if (rest > 0) {
    g.lastBlockHeight = rest;
    ++g.blockCount;
  } else {
    g.lastBlockHeight = g.blockHeight;
  }
  g.lastBlockSize = static_cast<size_t>(g.lastBlockHeight) * g.bppWidth;
  g.allBlockSize = g.lastBlockSize + static_cast<size_t>(g.blockCount - 1) * g.blockSize;
  return g;
}

}  // namespace vtx
