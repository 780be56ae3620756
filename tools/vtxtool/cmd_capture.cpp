// vtxtool capture: the screen of the X display in $DISPLAY as a viewer would rebuild it (a PNG
// file), or a stream of the updates a desktop host would send, as wire text on standard output.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "desktop/screen_capture.h"
#include "desktop/screen_image.h"
#include "imaging/png_writer.h"
#include "platform/x11/x11_desktop.h"

namespace vtx::tool {
namespace {

constexpr const char* kUsage =
    "capture [--bpp-limit N] [--blocks N] [--budget BYTES] [--png FILE] [--stream SECONDS] "
    "[--pacing MS] [--no-damage] [--no-shm]";

int number(const Args& args, size_t& i, long low, long high) {
  if (i + 1 >= args.size()) throw std::runtime_error(args[i] + " needs a value");
  const std::string& v = args[++i];
  size_t used = 0;
  long n = 0;
  try {
    n = std::stol(v, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != v.size() || v.empty() || n < low || n > high)
    throw std::runtime_error(args[i - 1] + ": \"" + v + "\" is not a number from " +
                             std::to_string(low) + " to " + std::to_string(high));
  return static_cast<int>(n);
}

void writeImage(const ScreenImage& img, const std::string& path) {
  if (img.Width() <= 0 || img.Height() <= 0) throw std::runtime_error("nothing was captured");
  std::vector<uint32_t> pixels;
  pixels.reserve(static_cast<size_t>(img.Width()) * static_cast<size_t>(img.Height()));
  for (int y = 0; y < img.Height(); ++y)
    for (int x = 0; x < img.Width(); ++x) pixels.push_back(img.Pixel(x, y));
  WritePng(path, img.Width(), img.Height(), pixels);
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int cmdCapture(const Args& args) {
  int bppLimit = 1, blocks = 1, budget = 0, seconds = -1, pacing = 16;
  std::string png;
  X11Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--bpp-limit")
      bppLimit = number(args, i, 0, 4);
    else if (a == "--blocks")
      blocks = number(args, i, 1, 12);
    else if (a == "--budget")
      budget = number(args, i, 0, 1 << 30);
    else if (a == "--stream")
      seconds = number(args, i, 0, 86400);
    else if (a == "--pacing")
      pacing = number(args, i, 0, 10000);
    else if (a == "--png" && i + 1 < args.size())
      png = args[++i];
    else if (a == "--no-damage")
      options.trackChanges = false;
    else if (a == "--no-shm")
      options.useShm = false;
    else
      throw std::runtime_error(std::string("usage: vtxtool ") + kUsage);
  }
  if (png.empty() && seconds < 0) throw std::runtime_error("give --png FILE or --stream SECONDS");

  std::unique_ptr<DesktopPlatform> platform = OpenX11Desktop(options);
  TRtcScreenCapture cap(*platform);
  cap.setBPPLimit(bppLimit);
  cap.setScreenBlockCount(blocks);
  cap.setMaxTotalSize(budget);

  if (!png.empty()) {
    ScreenImage image;
    for (int i = 0; i <= blocks * 2 + 1; ++i) {  // until every block has arrived
      cap.GrabScreen();
      std::string delta = cap.GetScreenDelta();
      if (delta.empty() && i > 0) break;
      image.Apply(delta);
    }
    if (image.Width() == 0) throw std::runtime_error("cannot read the display");
    writeImage(image, png);
  }
  if (seconds < 0) return 0;

  using Clock = std::chrono::steady_clock;
  auto start = Clock::now(), end = start + std::chrono::seconds(seconds);
  auto lastGrab = Clock::time_point{};
  long updates = 0, cycles = 0;
  unsigned long long bytes = 0;
  double cpu0 = cpuSeconds();
  while (Clock::now() < end) {
    if (lastGrab != Clock::time_point{} && pacing > 0) {
      auto next = lastGrab + std::chrono::milliseconds(pacing);
      if (next > Clock::now()) std::this_thread::sleep_until(next);
    }
    lastGrab = Clock::now();
    ++cycles;
    cap.GrabScreen();
    const std::string& next = cap.GetScreenDelta();
    cap.GrabMouse();
    std::string cur = cap.GetMouseDelta();
    if (next.empty() && cur.empty()) continue;
    TRtcFunctionInfo desk(u"desk");
    if (!next.empty()) desk.setAsString("next", next);
    if (!cur.empty()) desk.setAsString("cur", cur);
    std::string wire = desk.toCode();
    std::fwrite(wire.data(), 1, wire.size(), stdout);
    bytes += wire.size();
    if (!next.empty()) ++updates;
  }
  std::fflush(stdout);
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::fprintf(stderr,
               "capture: %.1f s, %ld cycles, %ld screen updates (%.1f/s), %llu bytes (%.0f/s), "
               "%.2f CPU s\n",
               elapsed, cycles, updates, updates / elapsed, bytes, bytes / elapsed,
               cpuSeconds() - cpu0);
  return 0;
}

}  // namespace vtx::tool
