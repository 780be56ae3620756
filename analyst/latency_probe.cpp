#include "analyst/latency_probe.h"

#include <chrono>
#include <stdexcept>

namespace vtx::analyst {
namespace {

bool white(uint32_t rgb) {
  const uint32_t r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  return r + g + b >= 3 * 128;
}

int parseCoordinate(const std::string& text, const std::string& whole) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
    throw std::invalid_argument("the latency probe must be given as X,Y, not \"" + whole + "\"");
  return std::stoi(text);
}

}  // namespace

std::optional<int> ReadMarker(const PixelReader& pixel, int width, int height, int x, int y) {
  if (x < 0 || y < 0 || x > width - kMarkerWidth || y > height - kMarkerCell) return std::nullopt;
  int value = 0, inverted = 0;
  for (int i = 0; i < 2 * kMarkerBits; ++i) {
    const int bit = white(pixel(x + i * kMarkerCell + kMarkerCell / 2, y + kMarkerCell / 2));
    int& into = i < kMarkerBits ? value : inverted;
    into = (into << 1) | bit;
  }
  if ((value ^ inverted) != (1 << kMarkerBits) - 1) return std::nullopt;
  return value;
}

void ParseProbePosition(const std::string& text, int& x, int& y) {
  const auto comma = text.find(',');
  if (comma == std::string::npos)
    throw std::invalid_argument("the latency probe must be given as X,Y, not \"" + text + "\"");
  x = parseCoordinate(text.substr(0, comma), text);
  y = parseCoordinate(text.substr(comma + 1), text);
}

std::optional<int> LatencyProbe::Applied(const PixelReader& pixel, int width, int height) {
  const std::optional<int> value = ReadMarker(pixel, width, height, x_, y_);
  if (!value || value == last_) return std::nullopt;
  last_ = value;
  if (log_) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    std::fprintf(log_, "latency-probe %lld %d\n",
                 static_cast<long long>(std::chrono::nanoseconds(now).count()), *value);
    std::fflush(log_);
  }
  return value;
}

}  // namespace vtx::analyst
