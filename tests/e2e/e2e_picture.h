// The console's PNG views as pixels, and the 256-colour palette's view of a screen pixel.
#pragma once

#include <png.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "desktop/screen_palette.h"

namespace vtx::e2e {

// A PNG file as 0x00RRGGBB pixels; empty when it cannot be read.
struct Picture {
  int width = 0, height = 0;
  std::vector<uint32_t> px;
};

inline Picture readPng(const std::filesystem::path& file) {
  Picture p;
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&img, file.c_str())) return p;
  img.format = PNG_FORMAT_RGB;
  std::vector<png_byte> buf(PNG_IMAGE_SIZE(img));
  if (!png_image_finish_read(&img, nullptr, buf.data(), 0, nullptr)) return p;
  p.width = static_cast<int>(img.width);
  p.height = static_cast<int>(img.height);
  p.px.resize(static_cast<std::size_t>(p.width) * p.height);
  for (std::size_t i = 0; i < p.px.size(); ++i)
    p.px[i] = uint32_t{buf[3 * i]} << 16 | uint32_t{buf[3 * i + 1]} << 8 | buf[3 * i + 2];
  return p;
}

// What a viewer at the default 8-bit colour shows for a screen pixel 0x00RRGGBB.
inline uint32_t palettised(uint32_t rgb) {
  const PaletteColor c = Palette256()[PaletteIndex::of256(rgb)];
  return uint32_t{c.red} << 16 | uint32_t{c.green} << 8 | c.blue;
}

}  // namespace vtx::e2e
