// Pictures the stand-in serves, drawn once at start-up: one PNG per advertisement and an
// animated, looping GIF for the rating window.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vtx::supportd {

inline constexpr int kLarguraAnuncio = 441, kAlturaAnuncio = 161;
inline constexpr int kLarguraAvaliacao = 490, kAlturaAvaliacao = 200;

// The background colour of advertisement n (RGB), so that a screen can be checked for it.
std::array<uint8_t, 3> CorAnuncio(int64_t n);
// A 441 x 161 PNG: the advertisement's colour with a white frame and a stripe per id.
std::string PngAnuncio(int64_t n);
// A 490 x 200 GIF of three frames (teal, navy, orange bands), looping forever.
std::string GifAvaliacao();

}  // namespace vtx::supportd
