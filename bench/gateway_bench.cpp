// Remote calls per second through a real gateway server over one loopback connection: one call
// per request and 50 calls per request, each unencrypted and enciphered. The unencrypted runs
// are the baseline; the program ends with the enciphered rate as a share of it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <thread>

#include "../tests/unit/gateway/http_transport.h"
#include "gateway/request_core.h"
#include "gateway/server.h"

namespace {

using namespace vtx;
using namespace vtx::gateway;

// One gateway with Echo on 127.0.0.1, served by one thread, for the whole run.
struct Served {
  Served() : sessions(std::chrono::hours(1), 1000) {
    AddEchoFunction(functions);
    core = std::make_unique<RequestCore>(CoreConfig{}, functions, sessions, random);
    ServerConfig config;
    config.port = 0;
    server = std::make_unique<GatewayServer>(config, *core, sessions);
    server->listen();
    thread = std::thread([this] { server->run(); });
  }
  ~Served() {
    server->stop();
    thread.join();
  }
  FunctionRegistry functions;
  SessionStore sessions;
  RandomSource random;
  std::unique_ptr<RequestCore> core;
  std::unique_ptr<GatewayServer> server;
  std::thread thread;
};

Served& served() {
  static Served s;
  return s;
}

std::map<std::string, double>& rates() {
  static std::map<std::string, double> r;
  return r;
}

void BM_Calls(benchmark::State& state) {
  const int perRequest = static_cast<int>(state.range(0));
  const bool encrypted = state.range(1) != 0;
  testing::HttpConnection http(served().server->port());
  testing::ProtocolClient::Settings s;
  s.encryptionKey = encrypted ? 16 : 0;
  testing::ProtocolClient client(http.transport(), s);
  if (encrypted && client.handshake() != 200) state.SkipWithError("handshake failed");
  std::vector<std::unique_ptr<TRtcFunctionInfo>> calls;
  std::vector<const TRtcValueObject*> batch;
  for (int i = 0; i < perRequest; ++i) {
    calls.push_back(testing::MakeCall(u"Echo", i, u"parameter text of a typical call"));
    batch.push_back(calls.back().get());
  }
  std::vector<std::unique_ptr<TRtcValue>> results;
  for (auto _ : state) {
    if (client.call(batch, results) != 200 || static_cast<int>(results.size()) != perRequest) {
      state.SkipWithError("call failed");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * perRequest);
  state.counters["calls/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * perRequest, benchmark::Counter::kIsRate);
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Calls)
    ->ArgNames({"calls", "encrypted"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({50, 0})
    ->Args({50, 1})
    ->UseRealTime()
    ->MinTime(1.0);

// Collects the rates so that the ratios can be printed after the run.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      auto it = run.counters.find("calls/s");
      if (it != run.counters.end()) rates()[run.benchmark_name()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (int n : {1, 50}) {
    const std::string base = "BM_Calls/calls:" + std::to_string(n) + "/encrypted:";
    const auto plain = rates().find(base + "0/min_time:1.000/real_time");
    const auto enc = rates().find(base + "1/min_time:1.000/real_time");
    if (plain == rates().end() || enc == rates().end() || plain->second <= 0) continue;
    std::printf("%d call(s) per request: enciphered %.0f calls/s = %.3f of unencrypted %.0f\n", n,
                enc->second, enc->second / plain->second, plain->second);
  }
  benchmark::Shutdown();
  return 0;
}
