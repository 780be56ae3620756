// The whole screen image as a viewer rebuilds it from screen-update records ("res", "pal",
// "scr"), and its pixels as colours. Used by tools and tests; bounded against bad records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vtx {

class ScreenImage {
 public:
  // bottomUp: the row order of the sender's images (the "at" offsets follow it).
  explicit ScreenImage(bool bottomUp = false) : bottomUp_(bottomUp) {}

  // Applies one record given as wire text; an empty text does nothing. Throws ERtcInfo on a
  // malformed record or block stream (the image is then unchanged by the failing block).
  void Apply(std::string_view wireText);

  int Width() const { return width_; }
  int Height() const { return height_; }
  int Bits() const { return bits_; }
  int Bytes() const { return bytes_; }  // pixel size code
  size_t RowBytes() const { return rowBytes_; }
  const std::vector<uint8_t>& Data() const { return data_; }
  // The pixel at (x, y) as 0x00RRGGBB (through the palette for 4-bit and 8-bit images).
  uint32_t Pixel(int x, int y) const;
  // The raw pixel value at (x, y): a palette index, a 5-6-5 word or a 32-bit word.
  uint32_t RawPixel(int x, int y) const;

 private:
  bool bottomUp_;
  int width_ = 0, height_ = 0, bits_ = 0, bytes_ = 0;
  size_t rowBytes_ = 0;
  std::vector<uint8_t> data_;
  std::string palette_;
};

}  // namespace vtx
