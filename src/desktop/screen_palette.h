// Palettes of 4-bit and 8-bit block images: the 1028-byte palette record sent to viewers and
// the tables that map a colour to its palette index.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vtx {

struct PaletteColor {
  uint8_t red = 0, green = 0, blue = 0;
  bool operator==(const PaletteColor&) const = default;
};

inline constexpr size_t kPaletteRecordSize = 1028;

// The 16 colours of 4-bit images (black, the dark and light primaries, greys, white).
const std::array<PaletteColor, 16>& Palette16();
// The 256 colours of 8-bit images: six fixed colours, a 5 × 6 × 7 cube (blue, red, green) and
// 40 greys, rounded to nearest with ties to even.
const std::array<PaletteColor, 256>& Palette256();

// The palette record: version 0x0300, the entry count (16 or 256), 256 entries of red, green,
// blue and a zero flag byte (entries past the count are zero). Little-endian.
std::string PaletteRecord(int entries);

// Nearest palette index of a 0x00RRGGBB colour, through tables built once per process.
struct PaletteIndex {
  // Index into Palette256, from the colour's 5-5-5 bits.
  static const uint8_t* table256();
  // Index into Palette16, from the colour's 4-4-4 bits.
  static const uint8_t* table16();
  static uint8_t of256(uint32_t rgb) {
    return table256()[((rgb >> 9) & 0x7C00) | ((rgb >> 6) & 0x03E0) | ((rgb >> 3) & 0x001F)];
  }
  static uint8_t of16(uint32_t rgb) {
    return table16()[((rgb >> 12) & 0xF00) | ((rgb >> 8) & 0x0F0) | ((rgb >> 4) & 0x00F)];
  }
};

}  // namespace vtx
