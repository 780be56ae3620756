// Writing and reading code text: a screen-update-like record of 1 MiB of byte strings (against
// memcpy of the same bytes) and a small chat-like function call (values per second).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "values/values.h"

namespace {

constexpr int kBlocks = 16;
constexpr std::size_t kBlockSize = 64 * 1024;  // 16 x 64 KiB = 1 MiB of payload

std::unique_ptr<vtx::TRtcFunctionInfo> screenUpdate() {
  auto f = std::make_unique<vtx::TRtcFunctionInfo>(u"desk");
  auto& next = f->NewRecord("next");
  auto& res = next.NewRecord("res");
  res.setAsInteger("w", 1920);
  res.setAsInteger("h", 1080);
  next.setAsString("pal", std::string(1024, 'p'));
  auto& scr = next.NewArray("scr");
  for (int i = 0; i < kBlocks; ++i) {
    auto& blk = scr.NewRecord(i);
    blk.setAsInteger("at", i * 4096);
    blk.setAsString("img", std::string(kBlockSize - (i == 0 ? 1024 : 0), static_cast<char>(i)));
  }
  auto& cur = f->NewRecord("cur");
  cur.setAsInteger("x", 10);
  cur.setAsInteger("y", 20);
  return f;
}

constexpr std::size_t kPayload = kBlocks * kBlockSize;

void BM_Memcpy1MiB(benchmark::State& state) {
  std::vector<char> src(kPayload, 'x'), dst(kPayload);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kPayload);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kPayload));
}
BENCHMARK(BM_Memcpy1MiB);

void BM_WriteScreenUpdate(benchmark::State& state) {
  auto f = screenUpdate();
  for (auto _ : state) {
    std::string code = f->toCode();
    benchmark::DoNotOptimize(code.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kPayload));
}
BENCHMARK(BM_WriteScreenUpdate);

void BM_ReadScreenUpdate(benchmark::State& state) {
  const std::string code = screenUpdate()->toCode();
  for (auto _ : state) {
    auto v = vtx::TRtcValue::FromCode(code);
    benchmark::DoNotOptimize(v.get());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kPayload));
}
BENCHMARK(BM_ReadScreenUpdate);

// A chat line: function "chat" with 5 scalar values in 1 record (7 value objects).
std::unique_ptr<vtx::TRtcFunctionInfo> chatCall() {
  auto f = std::make_unique<vtx::TRtcFunctionInfo>(u"chat");
  f->setAsText("user", u"analista");
  f->setAsText("text", u"Ol\u00e1, posso acessar sua tela?");
  f->setAsInteger("id", 1234);
  f->setAsDateTime("at", 45417.5);
  f->setAsBoolean("typing", false);
  return f;
}
constexpr int kChatValues = 6;  // the call and its five parameters

void BM_WriteChatCall(benchmark::State& state) {
  auto f = chatCall();
  for (auto _ : state) {
    std::string code = f->toCode();
    benchmark::DoNotOptimize(code.data());
  }
  state.counters["values/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kChatValues, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WriteChatCall);

void BM_ReadChatCall(benchmark::State& state) {
  const std::string code = chatCall()->toCode();
  for (auto _ : state) {
    auto v = vtx::TRtcValue::FromCode(code);
    benchmark::DoNotOptimize(v.get());
  }
  state.counters["values/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kChatValues, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadChatCall);

}  // namespace

BENCHMARK_MAIN();
