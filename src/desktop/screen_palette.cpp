#include "desktop/screen_palette.h"

#include <limits>

namespace vtx {
namespace {

// num / den rounded to nearest, ties to even.
int roundHalfEven(int num, int den) {
  int q = num / den, r = num % den;
  if (2 * r > den || (2 * r == den && (q & 1))) ++q;
  return q;
}

uint8_t level(int i, int steps) {
  return static_cast<uint8_t>(roundHalfEven(i * 255, steps));
}

std::array<PaletteColor, 256> build256() {
  std::array<PaletteColor, 256> p{};
  size_t n = 0;
  const PaletteColor fixed[6] = {{0, 0, 128},   {0, 128, 0},   {128, 0, 0},
                                 {0, 128, 128}, {128, 128, 0}, {128, 0, 128}};
  for (const auto& c : fixed) p[n++] = c;
  for (int i = 0; i <= 4; ++i)
    for (int j = 0; j <= 5; ++j)
      for (int k = 0; k <= 6; ++k) p[n++] = {level(j, 5), level(k, 6), level(i, 4)};
  for (int g = 1; g <= 40; ++g) {
    uint8_t v = level(g, 41);
    p[n++] = {v, v, v};
  }
  return p;
}

template <size_t N>
uint8_t nearest(const std::array<PaletteColor, N>& p, int r, int g, int b) {
  int best = 0;
  long bestDistance = std::numeric_limits<long>::max();
  for (size_t i = 0; i < N; ++i) {
    long dr = r - p[i].red, dg = g - p[i].green, db = b - p[i].blue;
    long d = dr * dr + dg * dg + db * db;
    if (d < bestDistance) bestDistance = d, best = static_cast<int>(i);
  }
  return static_cast<uint8_t>(best);
}

}  // namespace

const std::array<PaletteColor, 16>& Palette16() {
  static const std::array<PaletteColor, 16> palette{{{0, 0, 0},
                                                     {128, 0, 0},
                                                     {0, 128, 0},
                                                     {128, 128, 0},
                                                     {0, 0, 128},
                                                     {128, 0, 128},
                                                     {0, 128, 128},
                                                     {192, 192, 192},
                                                     {128, 128, 128},
                                                     {255, 0, 0},
                                                     {0, 255, 0},
                                                     {255, 255, 0},
                                                     {0, 0, 255},
                                                     {255, 0, 255},
                                                     {0, 255, 255},
                                                     {255, 255, 255}}};
  return palette;
}

const std::array<PaletteColor, 256>& Palette256() {
  static const std::array<PaletteColor, 256> palette = build256();
  return palette;
}

std::string PaletteRecord(int entries) {
  std::string r(kPaletteRecordSize, '\0');
  r[0] = 0x00;
  r[1] = 0x03;
  r[2] = static_cast<char>(entries & 0xFF);
  r[3] = static_cast<char>(entries >> 8);
  auto put = [&](size_t i, const PaletteColor& c) {
    r[4 + 4 * i] = static_cast<char>(c.red);
    r[5 + 4 * i] = static_cast<char>(c.green);
    r[6 + 4 * i] = static_cast<char>(c.blue);
  };
  if (entries == 16)
    for (size_t i = 0; i < 16; ++i) put(i, Palette16()[i]);
  else
    for (size_t i = 0; i < 256; ++i) put(i, Palette256()[i]);
  return r;
}

const uint8_t* PaletteIndex::table256() {
  static const std::array<uint8_t, 32768> table = [] {
    std::array<uint8_t, 32768> t{};
    for (int i = 0; i < 32768; ++i) {
      int r = (i >> 10) & 31, g = (i >> 5) & 31, b = i & 31;
      t[i] = nearest(Palette256(), (r << 3) | (r >> 2), (g << 3) | (g >> 2), (b << 3) | (b >> 2));
    }
    return t;
  }();
  return table.data();
}

const uint8_t* PaletteIndex::table16() {
  static const std::array<uint8_t, 4096> table = [] {
    std::array<uint8_t, 4096> t{};
    for (int i = 0; i < 4096; ++i) {
      int r = (i >> 8) & 15, g = (i >> 4) & 15, b = i & 15;
      t[i] = nearest(Palette16(), r * 17, g * 17, b * 17);
    }
    return t;
  }();
  return table.data();
}

}  // namespace vtx
