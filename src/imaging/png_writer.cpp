#include "imaging/png_writer.h"

#include <png.h>

#include <cstdio>
#include <stdexcept>

namespace vtx {

void WritePng(const std::string& path, int width, int height, const std::vector<uint32_t>& pixels) {
  if (width <= 0 || height <= 0 ||
      pixels.size() != static_cast<size_t>(width) * static_cast<size_t>(height))
    throw std::runtime_error("cannot write PNG file \"" + path + "\": the image has no pixels");
  // Before setjmp: a longjmp must not skip the constructor of anything it leaves behind.
  std::vector<png_byte> row(3 * static_cast<size_t>(width));
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write file \"" + path + "\"");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    throw std::runtime_error("cannot write PNG file \"" + path + "\"");
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) {
    const uint32_t* p = pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int x = 0; x < width; ++x) {
      row[3 * x] = static_cast<png_byte>(p[x] >> 16);
      row[3 * x + 1] = static_cast<png_byte>(p[x] >> 8);
      row[3 * x + 2] = static_cast<png_byte>(p[x]);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fclose(f) != 0) throw std::runtime_error("cannot write file \"" + path + "\"");
}

}  // namespace vtx
