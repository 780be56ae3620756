// Frame-to-screen latency probe: reads a frame number that a marker client draws into a corner
// of the host's screen, and logs the time each new number reaches the console's image.
//
// The marker is a row of 2 * kMarkerBits square cells of kMarkerCell pixels: the number's bits,
// most significant first (white: 1, black: 0), then the same bits inverted. The inverted half
// tells a drawn marker from whatever else is on the screen there. Black and white survive every
// colour setting of the host.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace vtx::analyst {

inline constexpr int kMarkerBits = 12;
inline constexpr int kMarkerCell = 4;
inline constexpr int kMarkerWidth = 2 * kMarkerBits * kMarkerCell;

// The colour (0x00RRGGBB) of the pixel at (x, y); only asked for pixels inside the image.
using PixelReader = std::function<uint32_t(int x, int y)>;

// The frame number of the marker whose top left corner is at (x, y) of a width × height image;
// none when the marker does not fit or its two halves disagree.
std::optional<int> ReadMarker(const PixelReader& pixel, int width, int height, int x, int y);

// "X,Y" (non-negative integers) as a probe position; throws std::invalid_argument otherwise.
void ParseProbePosition(const std::string& text, int& x, int& y);

// Watches one marker position; after each update the console applied, Applied logs
// "latency-probe NANOSECONDS NUMBER" (steady clock) when the marker shows a new number.
class LatencyProbe {
 public:
  LatencyProbe(int x, int y, std::FILE* log) : x_(x), y_(y), log_(log) {}
  // Returns the number logged, if any.
  std::optional<int> Applied(const PixelReader& pixel, int width, int height);

 private:
  int x_, y_;
  std::FILE* log_;
  std::optional<int> last_;
};

}  // namespace vtx::analyst
