// The screen of the local desktop as the capture code sees it: the desktop rectangle and depth,
// rectangles read in the display's own pixel format, and (optionally) which areas changed.
//
// A ScreenSource is used by one thread at a time (the encoder's worker); it is not shared.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vtx {

struct ScreenRect {
  int left = 0, top = 0, right = 0, bottom = 0;
  // Saturated: extreme rectangles do not overflow.
  int width() const { return span(left, right); }
  int height() const { return span(top, bottom); }
  bool empty() const { return right <= left || bottom <= top; }
  bool intersects(const ScreenRect& o) const {
    return left < o.right && o.left < right && top < o.bottom && o.top < bottom;
  }
  bool operator==(const ScreenRect&) const = default;

 private:
  static int span(int from, int to) {
    int64_t d = int64_t{to} - from;
    return static_cast<int>(std::clamp<int64_t>(d, INT32_MIN, INT32_MAX));
  }
};

// Pixel layout of grabbed data: bits per pixel (8, 16, 24 or 32) and the channel masks of a
// pixel read as a little-endian number.
struct PixelLayout {
  int bitsPerPixel = 32;
  uint32_t redMask = 0x00FF0000, greenMask = 0x0000FF00, blueMask = 0x000000FF;
  bool operator==(const PixelLayout&) const = default;
};

// A grabbed rectangle, valid until the next Grab. Rows run top-down, stride bytes apart. The
// source may deliver fewer columns or rows than asked for (the part outside the desktop): the
// caller treats the missing pixels as black.
struct RawImage {
  const uint8_t* data = nullptr;
  size_t stride = 0;
  int width = 0, height = 0;
  PixelLayout layout;
};

struct DisplayInfo {
  ScreenRect rect;       // the desktop rectangle (primary monitor, or the virtual desktop)
  int bitsPerPixel = 0;  // bits per pixel of the display's image format
};

class ScreenSource {
 public:
  virtual ~ScreenSource() = default;

  // Desktop rectangle and depth; false when the display cannot be reached.
  virtual bool Display(bool multiMonitor, DisplayInfo& out) = 0;
  // Reads a rectangle of the desktop; false when the display cannot be reached.
  virtual bool Grab(const ScreenRect& rect, RawImage& out) = 0;

  // Whether the calling thread can read the desktop that currently receives input, and that
  // desktop's name (for the log). Without access the capture shows a placeholder image.
  virtual bool InputDesktop(std::string& name) {
    name = "Default";
    return true;
  }
  // Whether block images are stored bottom-up (last row first) on this platform.
  virtual bool BottomUpRows() const { return false; }

  // Change seam. With tracking on, TakeChanges hands over the rectangles (desktop
  // coordinates) drawn since the previous call and returns true; everything drawn before the
  // call is included. False means the source cannot tell (every area counts as changed).
  virtual bool TakeChanges(std::vector<ScreenRect>& out) {
    out.clear();
    return false;
  }
};

// A cheap question, asked between grabs of a still screen, whether a grab could find anything.
// It has its own connection to the display; used by one thread at a time.
class ChangeWatch {
 public:
  virtual ~ChangeWatch() = default;
  // Whether anything may have been drawn (or the desktop's geometry changed) since the previous
  // call; the first call answers true. A true answer covers everything drawn before it.
  virtual bool Changed() = 0;
};

// Keyboard and mouse events handed to the platform unchanged (the encoder's input jobs).
class InputInjector {
 public:
  virtual ~InputInjector() = default;
  virtual void KeybdEvent(uint8_t vk, uint8_t scan, uint32_t flags, uint32_t extraInfo) = 0;
  virtual void MouseEvent(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data,
                          uint32_t extraInfo) = 0;
  virtual void SecureAttention() = 0;
};

}  // namespace vtx
