// Remote calls per second through the client module over one loopback connection to a real
// gateway server: one call per request and 50 calls per request, each unencrypted and
// enciphered. Baselines measured in the same run: the module's own unencrypted rate, and the
// minimal protocol client of the gateway tests on the same server (the module's overhead).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "../tests/unit/gateway/http_transport.h"
#include "gateway/request_core.h"
#include "gateway/server.h"
#include "transport/rtc_client_module.h"
#include "transport/rtc_http_client.h"

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

// Counts returned results; waits for a number of them.
class Counter : public TRtcResult {
 public:
  Counter() {
    OnReturn = [this](TRtcConnection*, TRtcValue&, TRtcValue&) {
      std::lock_guard g(m_);
      ++done_;
      cv_.notify_one();
    };
    RequestAborted = [this](TRtcConnection*, TRtcValue&, TRtcValue&) {
      std::lock_guard g(m_);
      failed_ = true;
      cv_.notify_one();
    };
  }
  bool waitFor(int64_t n) {
    std::unique_lock l(m_);
    return cv_.wait_for(l, std::chrono::seconds(10), [&] { return done_ >= n || failed_; }) &&
           !failed_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int64_t done_ = 0;
  bool failed_ = false;
};

void report(benchmark::State& state, int perRequest) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * perRequest);
  state.counters["calls/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * perRequest, benchmark::Counter::kIsRate);
}

void BM_ModuleCalls(benchmark::State& state) {
  const int perRequest = static_cast<int>(state.range(0));
  TRtcHttpClient client;
  client.ServerAddr = "127.0.0.1";
  client.ServerPort = std::to_string(served().server->port());
  client.setMultiThreaded(true);
  client.setAutoConnect(true);
  TRtcClientModule module;
  module.setClient(&client);
  module.setModuleFileName("/$rdgate");
  if (state.range(1) != 0) module.setEncryptionKey(16);
  Counter counter;
  int64_t expected = 0;
  for (auto _ : state) {
    module.StartCalls();
    for (int i = 0; i < perRequest; ++i) {
      TRtcFunctionInfo& f = module.Prepare("Echo");
      f.setAsInteger("n", i);
      f.setAsText("text", u"parameter text of a typical call");
      f.setAsBoolean("flag", i % 2 == 0);
      module.Call(&counter);
    }
    module.Post();
    expected += perRequest;
    if (!counter.waitFor(expected)) {
      state.SkipWithError("call failed");
      break;
    }
  }
  client.WaitForCompletion(false, 10, false);
  report(state, perRequest);
}
BENCHMARK(BM_ModuleCalls)
    ->ArgNames({"calls", "encrypted"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({50, 0})
    ->Args({50, 1})
    ->UseRealTime()
    ->MinTime(1.0);

// The same exchange through the minimal blocking protocol client.
void BM_RawCalls(benchmark::State& state) {
  const int perRequest = static_cast<int>(state.range(0));
  testing::HttpConnection http(served().server->port());
  testing::ProtocolClient::Settings s;
  s.encryptionKey = 0;
  testing::ProtocolClient client(http.transport(), s);
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
  report(state, perRequest);
}
BENCHMARK(BM_RawCalls)->ArgNames({"calls"})->Arg(1)->Arg(50)->UseRealTime()->MinTime(1.0);

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

double rate(const std::string& name) {
  auto it = rates().find(name + "/min_time:1.000/real_time");
  return it == rates().end() ? 0 : it->second;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double base = rate("BM_ModuleCalls/calls:1/encrypted:0");
  for (int n : {1, 50}) {
    const std::string m = "BM_ModuleCalls/calls:" + std::to_string(n);
    const double plain = rate(m + "/encrypted:0"), enc = rate(m + "/encrypted:1");
    const double raw = rate("BM_RawCalls/calls:" + std::to_string(n));
    if (plain <= 0 || base <= 0) continue;
    std::printf("%d call(s)/request: plain %.2fx of 1 call/request, enciphered %.3f of plain", n,
                plain / base, enc / plain);
    if (raw > 0) std::printf(", module %.3f of the raw protocol client", plain / raw);
    std::printf("\n");
  }
  benchmark::Shutdown();
  return 0;
}
