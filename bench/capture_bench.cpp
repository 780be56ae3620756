// Screen capture: grab and encode an unchanged and a fully changed screen, each beside its
// baseline in the same run (a grab of the same area plus memcmp, or plus memcpy), on a private
// Xvfb of 1280 x 800 x 24 and on a generated 1920 x 1080 frame; and the 8-bit conversion. The
// generated frames are measured in CPU time of the whole process (the encoder works on its own
// thread; a loaded machine makes wall times useless); the Xvfb cases in wall time, since the
// server makes the grab's copy.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#undef KeyPress  // an Xlib macro; the capture object has a method of that name
#include <benchmark/benchmark.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#undef CursorShape
#include "desktop/block_pack.h"
#include "desktop/compress.h"
#include "desktop/pixel_convert.h"
#include "desktop/screen_capture.h"
#include "platform/x11/x11_desktop.h"
#include "support/xvfb_display.h"

namespace {

using namespace vtx;
using Bytes = std::vector<uint8_t>;

// ---- generated 1920 x 1080 frames behind a screen source that copies like a grab ----

constexpr int kW = 1920, kH = 1080;
constexpr size_t kFrame = size_t{kW} * kH * 4;

// Bands of text lines with scattered coloured dots: most of every block changes between two
// such frames, in short stretches.
Bytes textFrame(unsigned seed) {
  Bytes b(kFrame);
  std::mt19937 rng(seed);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      uint32_t v = (y / 40 % 2) ? 0x00F0F0F0 : 0x00FFFFFF;
      if (y % 40 > 10 && y % 40 < 24 && rng() % 3 == 0) v = rng() & 0xFFFFFF;
      std::memcpy(&b[(size_t{static_cast<size_t>(y)} * kW + x) * 4], &v, 4);
    }
  return b;
}

// Random pixels: every pixel differs from another such frame's.
Bytes noiseFrame(size_t bytes, unsigned seed) {
  Bytes b(bytes);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < bytes; i += 4) {
    uint32_t v = rng() & 0xFFFFFF;
    std::memcpy(&b[i], &v, 4);
  }
  return b;
}

struct FrameState {
  Bytes text[2] = {textFrame(1), textFrame(2)};
  Bytes noise[2] = {noiseFrame(kFrame, 1), noiseFrame(kFrame, 2)};
  const Bytes* frames = text;  // the pair the screen shows
  int current = 0;
  const Bytes& shown() const { return frames[current]; }
};

class FrameScreen final : public ScreenSource {
 public:
  explicit FrameScreen(FrameState& s) : s_(s), buffer_(kFrame) {}
  bool Display(bool, DisplayInfo& out) override {
    out.rect = {0, 0, kW, kH};
    out.bitsPerPixel = 32;
    return true;
  }
  bool Grab(const ScreenRect& r, RawImage& out) override {
    size_t row = size_t{kW} * 4;
    size_t bytes = row * static_cast<size_t>(r.height());
    std::memcpy(buffer_.data(), s_.shown().data() + row * r.top, bytes);
    out.data = buffer_.data();
    out.stride = row;
    out.width = kW;
    out.height = r.height();
    return true;
  }

 private:
  FrameState& s_;
  Bytes buffer_;
};

class FramePlatform final : public DesktopPlatform {
 public:
  std::unique_ptr<ScreenSource> OpenScreen() override {
    return std::make_unique<FrameScreen>(state);
  }
  std::unique_ptr<CursorSource> OpenCursor() override { return nullptr; }
  FrameState state;
};

FramePlatform& framePlatform() {
  static FramePlatform p;
  return p;
}

void setBytes(benchmark::State& s, size_t frame) {
  s.SetBytesProcessed(static_cast<int64_t>(s.iterations()) * static_cast<int64_t>(frame));
}

void BM_Frame_Baseline_CopyMemcmp(benchmark::State& s) {
  auto& st = framePlatform().state;
  Bytes grab(kFrame), previous = st.text[0];
  for (auto _ : s) {
    std::memcpy(grab.data(), st.text[0].data(), kFrame);
    benchmark::DoNotOptimize(std::memcmp(grab.data(), previous.data(), kFrame));
  }
  setBytes(s, kFrame);
}

void BM_Frame_Capture_Unchanged32(benchmark::State& s) {
  auto& p = framePlatform();
  p.state.frames = p.state.text;
  p.state.current = 0;
  TRtcScreenCapture cap(p);
  cap.GrabScreen();
  for (auto _ : s) {
    cap.GrabScreen();
    benchmark::DoNotOptimize(cap.GetScreenDelta());
  }
  setBytes(s, kFrame);
}

void BM_Frame_Baseline_CopyMemcpy(benchmark::State& s) {
  auto& st = framePlatform().state;
  Bytes grab(kFrame), stored(kFrame);
  int i = 0;
  for (auto _ : s) {
    std::memcpy(grab.data(), st.text[i ^= 1].data(), kFrame);
    std::memcpy(stored.data(), grab.data(), kFrame);
    benchmark::ClobberMemory();
  }
  setBytes(s, kFrame);
}

void captureChanged(benchmark::State& s, bool noise) {
  auto& p = framePlatform();
  p.state.frames = noise ? p.state.noise : p.state.text;
  p.state.current = 0;
  TRtcScreenCapture cap(p);
  cap.GrabScreen();
  for (auto _ : s) {
    p.state.current ^= 1;
    cap.GrabScreen();
    benchmark::DoNotOptimize(cap.GetScreenDelta());
  }
  setBytes(s, kFrame);
}
void BM_Frame_Capture_Changed32(benchmark::State& s) {
  captureChanged(s, false);
}
void BM_Frame_Capture_Changed32_Noise(benchmark::State& s) {
  captureChanged(s, true);
}

// Conversion and packing of a whole changed frame alone (no grab, no wire text): in one pass,
// and converted first and then packed.
void packFrame(benchmark::State& s, bool noise, bool onePass) {
  const Bytes* f = noise ? framePlatform().state.noise : framePlatform().state.text;
  RawImage raw[2];
  for (int k = 0; k < 2; ++k) {
    raw[k].data = f[k].data();
    raw[k].stride = size_t{kW} * 4;
    raw[k].width = kW;
    raw[k].height = kH;
  }
  ConvertTarget t;
  t.width = kW;
  t.height = kH;
  t.stride = size_t{kW} * 4;
  Bytes images[2] = {Bytes(kFrame), Bytes(kFrame)}, out(PackedSizeBound(kFrame));
  ConvertPixels(raw[0], t, images[0].data());
  int i = 0;
  for (auto _ : s) {
    i ^= 1;
    const uint8_t* prev = images[i ^ 1].data();
    uint8_t* image = images[i].data();
    if (onePass) {
      BlockPackJob job;
      job.raw = &raw[i];
      job.target = t;
      job.previous = prev;
      job.image = image;
      benchmark::DoNotOptimize(ConvertAndPackBlock(job, out));
    } else {
      ConvertPixels(raw[i], t, image);
      benchmark::DoNotOptimize(PackImageDelta({prev, kFrame}, {image, kFrame}, out));
    }
  }
  setBytes(s, kFrame);
}
void BM_Frame_Pack_Text_Separate(benchmark::State& s) {
  packFrame(s, false, false);
}
void BM_Frame_Pack_Text_OnePass(benchmark::State& s) {
  packFrame(s, false, true);
}
void BM_Frame_Pack_Noise_Separate(benchmark::State& s) {
  packFrame(s, true, false);
}
void BM_Frame_Pack_Noise_OnePass(benchmark::State& s) {
  packFrame(s, true, true);
}

// Conversion of a whole text frame into the pixel format of code.
void convertFrame(benchmark::State& s, int code) {
  const Bytes& frame = framePlatform().state.text[0];
  RawImage raw;
  raw.data = frame.data();
  raw.stride = size_t{kW} * 4;
  raw.width = kW;
  raw.height = kH;
  ConvertTarget t;
  t.code = code;
  t.width = kW;
  t.height = kH;
  t.stride = size_t{kW} * static_cast<size_t>(code);
  Bytes out(t.stride * kH);
  for (auto _ : s) {
    ConvertPixels(raw, t, out.data());
    benchmark::ClobberMemory();
  }
  setBytes(s, kFrame);
}
void BM_Convert8bit_1920x1080(benchmark::State& s) {
  convertFrame(s, 1);
}
void BM_Convert16bit_1920x1080(benchmark::State& s) {
  convertFrame(s, 2);
}

BENCHMARK(BM_Frame_Baseline_CopyMemcmp)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Frame_Capture_Unchanged32)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Frame_Baseline_CopyMemcpy)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Frame_Capture_Changed32)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Frame_Capture_Changed32_Noise)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Frame_Pack_Text_Separate)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Frame_Pack_Text_OnePass)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Frame_Pack_Noise_Separate)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Frame_Pack_Noise_OnePass)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Convert8bit_1920x1080)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Convert16bit_1920x1080)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// ---- a private Xvfb of 1280 x 800 x 24 ----

constexpr size_t kXFrame = size_t{1280} * 800 * 4;

struct Xvfb {
  test::XvfbDisplay server{"1280x800x24"};
  Display* dpy = nullptr;
  int w = 0, h = 0;
  Bytes frames[2] = {noiseFrame(kXFrame, 3), noiseFrame(kXFrame, 4)};
  Xvfb() {
    if (server.name().empty()) return;
    dpy = XOpenDisplay(server.name().c_str());
    if (!dpy) return;
    w = DisplayWidth(dpy, 0);
    h = DisplayHeight(dpy, 0);
    draw(0);
  }
  void draw(int i) {
    XImage* img = XCreateImage(dpy, DefaultVisual(dpy, 0), 24, ZPixmap, 0,
                               reinterpret_cast<char*>(frames[i].data()), 1280, 800, 32, 0);
    GC gc = XCreateGC(dpy, DefaultRootWindow(dpy), 0, nullptr);
    XPutImage(dpy, DefaultRootWindow(dpy), gc, img, 0, 0, 0, 0, 1280, 800);
    XFreeGC(dpy, gc);
    img->data = nullptr;
    XDestroyImage(img);
    XSync(dpy, False);
  }
};

Xvfb& xvfb() {
  static Xvfb x;
  return x;
}

// XShmGetImage of the whole screen into one segment.
struct ShmGrab {
  Display* dpy;
  XShmSegmentInfo info{};
  XImage* img = nullptr;
  explicit ShmGrab(Xvfb& x) : dpy(x.dpy) {
    img = XShmCreateImage(dpy, DefaultVisual(dpy, 0), 24, ZPixmap, nullptr, &info, 1280, 800);
    info.shmid =
        shmget(IPC_PRIVATE, static_cast<size_t>(img->bytes_per_line) * 800, IPC_CREAT | 0600);
    info.shmaddr = img->data = static_cast<char*>(shmat(info.shmid, nullptr, 0));
    XShmAttach(dpy, &info);
    XSync(dpy, False);
    shmctl(info.shmid, IPC_RMID, nullptr);
  }
  ~ShmGrab() {
    XShmDetach(dpy, &info);
    XSync(dpy, False);
    shmdt(info.shmaddr);
    img->data = nullptr;
    XDestroyImage(img);
  }
  void grab() { XShmGetImage(dpy, DefaultRootWindow(dpy), img, 0, 0, AllPlanes); }
};

void BM_Xvfb_Baseline_ShmMemcmp(benchmark::State& s) {
  Xvfb& x = xvfb();
  if (!x.dpy) return s.SkipWithError("no Xvfb");
  ShmGrab g(x);
  g.grab();
  Bytes previous(g.img->data, g.img->data + kXFrame);
  for (auto _ : s) {
    g.grab();
    benchmark::DoNotOptimize(std::memcmp(g.img->data, previous.data(), kXFrame));
  }
  setBytes(s, kXFrame);
}

void captureUnchanged(benchmark::State& s, bool damage) {
  Xvfb& x = xvfb();
  if (!x.dpy) return s.SkipWithError("no Xvfb");
  auto platform = OpenX11Desktop({x.server.name(), damage, true});
  TRtcScreenCapture cap(*platform);
  cap.GrabScreen();
  for (auto _ : s) {
    cap.GrabScreen();
    benchmark::DoNotOptimize(cap.GetScreenDelta());
  }
  setBytes(s, kXFrame);
}
void BM_Xvfb_Capture_Unchanged32(benchmark::State& s) {
  captureUnchanged(s, false);
}
void BM_Xvfb_Capture_Unchanged32_Damage(benchmark::State& s) {
  captureUnchanged(s, true);
}

void BM_Xvfb_Baseline_ShmMemcpy(benchmark::State& s) {
  Xvfb& x = xvfb();
  if (!x.dpy) return s.SkipWithError("no Xvfb");
  ShmGrab g(x);
  Bytes stored(kXFrame);
  int i = 0;
  for (auto _ : s) {
    s.PauseTiming();
    x.draw(i ^= 1);
    s.ResumeTiming();
    g.grab();
    std::memcpy(stored.data(), g.img->data, kXFrame);
    benchmark::ClobberMemory();
  }
  setBytes(s, kXFrame);
}

void BM_Xvfb_Capture_Changed32(benchmark::State& s) {
  Xvfb& x = xvfb();
  if (!x.dpy) return s.SkipWithError("no Xvfb");
  auto platform = OpenX11Desktop({x.server.name(), false, true});
  TRtcScreenCapture cap(*platform);
  cap.setBPPLimit(4);
  cap.GrabScreen();
  int i = 0;
  for (auto _ : s) {
    s.PauseTiming();
    x.draw(i ^= 1);
    s.ResumeTiming();
    cap.GrabScreen();
    benchmark::DoNotOptimize(cap.GetScreenDelta());
  }
  setBytes(s, kXFrame);
}

BENCHMARK(BM_Xvfb_Baseline_ShmMemcmp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Xvfb_Capture_Unchanged32)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Xvfb_Capture_Unchanged32_Damage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Xvfb_Baseline_ShmMemcpy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Xvfb_Capture_Changed32)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
