// Screen packers and decoder on a 1920 x 1080 x 32-bit frame, each beside its baseline
// (memcmp or memcpy of the same bytes).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "../tests/fixtures/desktop_screen.h"
#include "desktop/compress.h"
#include "desktop/screen_decoder.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kWidth = 1920, kHeight = 1080;
constexpr size_t kRow = kWidth * 4, kFrame = kRow * kHeight;

struct Frames {
  Bytes desktop = vtx::fixtures::DesktopScreen(kWidth, kHeight).bytes();
  Bytes desktopCopy = desktop;
  Bytes desktop5 = desktop;  // 5% of the rows changed
  Bytes noiseA = noise(1), noiseB = noise(2);
  Bytes out = Bytes(vtx::PackedSizeBound(kFrame));
  Bytes scratch = Bytes(kFrame);
  Frames() {
    std::mt19937 rng(5);
    for (int y = 0; y < kHeight; y += 20)
      for (size_t x = 0; x < kRow; x += 4)
        desktop5[y * kRow + x] ^= static_cast<uint8_t>(rng() | 1);
  }
  static Bytes noise(unsigned seed) {
    Bytes b(kFrame);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < kFrame; i += 4) {
      uint32_t v = rng();
      std::memcpy(&b[i], &v, 4);
    }
    return b;
  }
};

Frames& frames() {
  static Frames f;
  return f;
}

void bytesPerIteration(benchmark::State& s) {
  s.SetBytesProcessed(int64_t(s.iterations()) * int64_t(kFrame));
}

void BM_Baseline_Memcmp(benchmark::State& s) {
  auto& f = frames();
  for (auto _ : s)
    benchmark::DoNotOptimize(std::memcmp(f.desktop.data(), f.desktopCopy.data(), kFrame));
  bytesPerIteration(s);
}

void BM_Baseline_Memcpy(benchmark::State& s) {
  auto& f = frames();
  for (auto _ : s) {
    std::memcpy(f.out.data(), f.noiseB.data(), kFrame);
    benchmark::ClobberMemory();
  }
  bytesPerIteration(s);
}

void BM_PackImageDelta_Unchanged(benchmark::State& s) {
  auto& f = frames();
  for (auto _ : s) benchmark::DoNotOptimize(vtx::PackImageDelta(f.desktop, f.desktopCopy, f.out));
  bytesPerIteration(s);
}

void BM_PackImageDelta_FivePercentRows(benchmark::State& s) {
  auto& f = frames();
  size_t n = 0;
  for (auto _ : s) benchmark::DoNotOptimize(n = vtx::PackImageDelta(f.desktop, f.desktop5, f.out));
  s.counters["stream_bytes"] = double(n);
  bytesPerIteration(s);
}

void BM_PackImageDelta_Noise(benchmark::State& s) {
  auto& f = frames();
  for (auto _ : s) benchmark::DoNotOptimize(vtx::PackImageDelta(f.noiseA, f.noiseB, f.out));
  bytesPerIteration(s);
}

void BM_PackImage_Desktop(benchmark::State& s) {
  auto& f = frames();
  size_t n = 0;
  for (auto _ : s) benchmark::DoNotOptimize(n = vtx::PackImage(f.desktop, f.out));
  s.counters["stream_bytes"] = double(n);
  bytesPerIteration(s);
}

// Decoding: the stream is produced once, then applied to a frame buffer each iteration.
void decodeBench(benchmark::State& s, const Bytes& prev, const Bytes& cur, bool delta) {
  auto& f = frames();
  Bytes stream(vtx::PackedSizeBound(kFrame));
  stream.resize(delta ? vtx::PackImageDelta(prev, cur, stream) : vtx::PackImage(cur, stream));
  std::memcpy(f.scratch.data(), prev.data(), kFrame);
  for (auto _ : s) {
    vtx::DecodeBlockStream(stream, f.scratch, 0);
    benchmark::ClobberMemory();
  }
  bytesPerIteration(s);
}

void BM_Decode_FullDesktop(benchmark::State& s) {
  decodeBench(s, frames().noiseA, frames().desktop, false);
}
void BM_Decode_DeltaFivePercentRows(benchmark::State& s) {
  decodeBench(s, frames().desktop, frames().desktop5, true);
}
void BM_Decode_DeltaNoise(benchmark::State& s) {
  decodeBench(s, frames().noiseA, frames().noiseB, true);
}

BENCHMARK(BM_Baseline_Memcmp);
BENCHMARK(BM_PackImageDelta_Unchanged);
BENCHMARK(BM_Baseline_Memcpy);
BENCHMARK(BM_PackImageDelta_FivePercentRows);
BENCHMARK(BM_PackImageDelta_Noise);
BENCHMARK(BM_PackImage_Desktop);
BENCHMARK(BM_Decode_FullDesktop);
BENCHMARK(BM_Decode_DeltaFivePercentRows);
BENCHMARK(BM_Decode_DeltaNoise);

}  // namespace

BENCHMARK_MAIN();
