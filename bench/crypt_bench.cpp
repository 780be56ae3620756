// Enciphering throughput against memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "transport/crypt.h"

namespace {

constexpr size_t kSize = 64u << 20;

std::string makeData() {
  std::string data(kSize, '\0');
  std::mt19937 rng(7);
  for (auto& c : data) c = static_cast<char>(rng());
  return data;
}

void BM_Crypt(benchmark::State& state) {
  std::string data = makeData();
  vtx::TRtcCrypt cipher;
  cipher.setKey("0123456789abcdef0123456789abcdef");
  for (auto _ : state) {
    cipher.Crypt(data.data(), data.size());
    benchmark::DoNotOptimize(data.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSize);
}

void BM_DeCrypt(benchmark::State& state) {
  std::string data = makeData();
  vtx::TRtcCrypt cipher;
  cipher.setKey("0123456789abcdef0123456789abcdef");
  for (auto _ : state) {
    cipher.DeCrypt(data.data(), data.size());
    benchmark::DoNotOptimize(data.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSize);
}

void BM_Memcpy(benchmark::State& state) {
  std::string src = makeData();
  std::string dst(kSize, '\0');
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kSize);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSize);
}

}  // namespace

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crypt)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeCrypt)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
