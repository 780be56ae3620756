// The image shown instead of the screen when the desktop receiving input cannot be read: a
// white area with the text "No access to currently displayed desktop" at (20, 20).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace vtx {

inline constexpr std::string_view kNoAccessText = "No access to currently displayed desktop";

// A width × height image of 0x00RRGGBB pixels, rows top-down.
std::vector<uint32_t> PlaceholderImage(int width, int height);

}  // namespace vtx
