// The mouse cursor of the local desktop: position, visibility and shape.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vtx {

struct CursorSample {
  bool showing = false;  // the cursor is shown
  int x = 0, y = 0;      // desktop coordinates
  uint64_t handle = 0;   // identifies the current shape; changes when the shape changes
};

// A cursor shape: its standard name when it has one (matched against the standard cursors),
// and its pixels as 32-bit ARGB (alpha in the top byte), row by row, top-down.
struct CursorShape {
  std::string name;
  int width = 0, height = 0;
  int hotX = 0, hotY = 0;
  std::vector<uint32_t> argb;
};

class CursorSource {
 public:
  virtual ~CursorSource() = default;
  // Whether full cursor information (visibility and shape) is available; without it only
  // the position is read.
  virtual bool InfoAvailable() const = 0;
  // Samples the cursor; false when it cannot be read.
  virtual bool Sample(CursorSample& out) = 0;
  // The shape behind a handle returned by the last Sample; false when it cannot be read.
  virtual bool Shape(uint64_t handle, CursorShape& out) = 0;
};

}  // namespace vtx
