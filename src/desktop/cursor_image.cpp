#include "desktop/cursor_image.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "desktop/pixel_convert.h"
#include "desktop/screen_palette.h"
#include "util/text.h"

namespace vtx {
namespace {

struct StandardCursor {
  int number;
  std::string_view names;  // space-separated cursor names of the X cursor themes
};

// In the order the numbers are tried (22 down to 2; 1 and 0 are the arrow, found as 2).
constexpr StandardCursor kStandard[] = {
    {22, "fleur size_all all-scroll move"},
    {21, "hand2 hand1 hand pointer pointing_hand"},
    {20, "question_arrow help whats_this left_ptr_help"},
    {19, "left_ptr_watch progress half-busy"},
    {18, "crossed_circle not-allowed forbidden circle"},
    {15, "col-resize split_h sb_h_double_arrow_split"},
    {14, "row-resize split_v"},
    {13, "no-drop dnd-none"},
    {12, "dnd-move grabbing closedhand"},
    {11, "watch wait"},
    {10, "sb_up_arrow up-arrow center_ptr"},
    {9, "sb_h_double_arrow h_double_arrow ew-resize size_hor e-resize w-resize"},
    {8, "bd_double_arrow nwse-resize size_fdiag nw-resize se-resize"},
    {7, "sb_v_double_arrow v_double_arrow ns-resize size_ver n-resize s-resize"},
    {6, "fd_double_arrow nesw-resize size_bdiag ne-resize sw-resize"},
    {4, "xterm text ibeam"},
    {3, "crosshair cross tcross"},
    {2, "left_ptr default arrow top_left_arrow"},
};

void put16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v));
  s.push_back(static_cast<char>(v >> 8));
}
void put32(std::string& s, uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}

// A BMP file of rows (top-down, rowBytes each) stored bottom-up with 4-byte aligned rows.
std::string bmpFile(int width, int height, int bits, const std::vector<uint8_t>& rows,
                    size_t rowBytes, int paletteEntries, bool bitfields565) {
  size_t stride = (rowBytes + 3) & ~size_t{3};
  size_t extra = bitfields565 ? 12 : static_cast<size_t>(paletteEntries) * 4;
  size_t offset = 14 + 40 + extra;
  size_t imageSize = stride * static_cast<size_t>(height);
  std::string f;
  f.reserve(offset + imageSize);
  f += "BM";
  put32(f, static_cast<uint32_t>(offset + imageSize));
  put32(f, 0);
  put32(f, static_cast<uint32_t>(offset));
  put32(f, 40);
  put32(f, static_cast<uint32_t>(width));
  put32(f, static_cast<uint32_t>(height));
  put16(f, 1);
  put16(f, static_cast<uint32_t>(bits));
  put32(f, bitfields565 ? 3 : 0);
  put32(f, static_cast<uint32_t>(imageSize));
  put32(f, 2835);
  put32(f, 2835);
  put32(f, static_cast<uint32_t>(paletteEntries));
  put32(f, 0);
  if (bitfields565) {
    put32(f, 0xF800);
    put32(f, 0x07E0);
    put32(f, 0x001F);
  }
  for (int i = 0; i < paletteEntries; ++i) {
    const PaletteColor& c = paletteEntries == 16 ? Palette16()[i] : Palette256()[i];
    f.push_back(static_cast<char>(c.blue));
    f.push_back(static_cast<char>(c.green));
    f.push_back(static_cast<char>(c.red));
    f.push_back(0);
  }
  for (int y = height - 1; y >= 0; --y) {
    f.append(reinterpret_cast<const char*>(rows.data()) + static_cast<size_t>(y) * rowBytes,
             rowBytes);
    f.append(stride - rowBytes, '\0');
  }
  return f;
}

}  // namespace

int StandardCursorNumber(std::string_view name) {
  if (name.empty()) return -1;
  for (const auto& s : kStandard) {
    std::string_view list = s.names;
    while (!list.empty()) {
      size_t space = list.find(' ');
      std::string_view word = list.substr(0, space);
      if (word == name) return s.number;
      if (space == std::string_view::npos) break;
      list.remove_prefix(space + 1);
    }
  }
  return -1;
}

CursorBitmaps MakeCursorBitmaps(const CursorShape& shape, int bppLimit) {
  CursorBitmaps out;
  int w = shape.width, h = shape.height;
  if (w <= 0 || h <= 0 || shape.argb.size() < static_cast<size_t>(w) * h) return out;
  // Colour: the (premultiplied) colour, black where transparent.
  std::vector<uint32_t> rgb(static_cast<size_t>(w) * h);
  std::vector<uint32_t> maskPixels(rgb.size());
  for (size_t i = 0; i < rgb.size(); ++i) {
    uint32_t p = shape.argb[i];
    bool transparent = (p >> 24) < 128;
    rgb[i] = transparent ? 0 : p & 0xFFFFFF;
    maskPixels[i] = transparent ? 0xFFFFFF : 0;
  }
  int code = bppLimit <= 0 ? 0 : bppLimit == 1 ? 1 : bppLimit == 2 ? 2 : 4;
  size_t colorRow = code == 0 ? (static_cast<size_t>(w) + 1) / 2 : static_cast<size_t>(code) * w;
  std::vector<uint8_t> rows(colorRow * h);
  std::vector<uint32_t> padded(static_cast<size_t>(w) + 1, 0);
  for (int y = 0; y < h; ++y) {
    std::copy_n(&rgb[static_cast<size_t>(y) * w], w, padded.begin());
    uint8_t* row = rows.data() + static_cast<size_t>(y) * colorRow;
    switch (code) {
      case 0:
        ConvertRow32To4(padded.data(), w + (w & 1), row);
        break;
      case 1:
        ConvertRow32To8(padded.data(), w, row);
        break;
      case 2:
        ConvertRow32To16(padded.data(), w, row);
        break;
      default:
        ConvertRow32To32(padded.data(), w, 0xFFFFFFFF, row);
        break;
    }
  }
  int bits = code == 0 ? 4 : code * 8;
  out.color = bmpFile(w, h, bits, rows, colorRow, code == 0 ? 16 : code == 1 ? 256 : 0, code == 2);

  size_t maskRow = (static_cast<size_t>(w) + 1) / 2;
  std::vector<uint8_t> maskRows(maskRow * h);
  for (int y = 0; y < h; ++y) {
    std::copy_n(&maskPixels[static_cast<size_t>(y) * w], w, padded.begin());
    padded[w] = 0;
    ConvertRow32To4(padded.data(), w + (w & 1), maskRows.data() + static_cast<size_t>(y) * maskRow);
  }
  out.mask = bmpFile(w, h, 4, maskRows, maskRow, 16, false);
  return out;
}

}  // namespace vtx
