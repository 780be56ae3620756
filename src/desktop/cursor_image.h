// Cursor shapes for the cursor record: the standard cursor numbers, and the colour and mask
// bitmaps of other cursors as complete BMP files.
#pragma once

#include <string>
#include <string_view>

#include "platform/cursor.h"

namespace vtx {

// The standard cursor number (2 … 22) of a cursor name, or -1 when the name is not one of
// the standard cursors. The numbers are tried from 22 down, so size-all gives 22.
int StandardCursorNumber(std::string_view name);

struct CursorBitmaps {
  std::string color;  // BMP file, empty when the shape has no pixels
  std::string mask;   // 4-bit BMP file: white where the screen shows through
};

// The bitmaps of a shape; the colour bitmap is reduced to fit the bytes-per-pixel limit
// (0: 4-bit, 1: 8-bit, 2: 16-bit 5-6-5, otherwise 32-bit).
CursorBitmaps MakeCursorBitmaps(const CursorShape& shape, int bppLimit);

}  // namespace vtx
