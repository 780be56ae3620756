// PNG files of 24-bit RGB images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vtx {

// Writes `pixels` (0x00RRGGBB, row by row, width * height of them) to `path` as an 8-bit RGB PNG
// file. Throws std::runtime_error ("cannot write file ..." or "cannot write PNG file ...") when
// the file cannot be written or the pixels do not match the size.
void WritePng(const std::string& path, int width, int height, const std::vector<uint32_t>& pixels);

}  // namespace vtx
