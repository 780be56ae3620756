// Loopback throughput of the reactor socket transport against plain blocking sockets moving
// the same bytes in the same run: the ratio of the two is the transport's overhead.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "transport/rtc_connection.h"
#include "transport/socket_provider.h"

namespace {
constexpr size_t kBytes = 8u << 20;

// A sink server: reads and discards until the peer closes.
struct Drain {
  int listenFd = -1;
  uint16_t port = 0;
  std::thread thread;
  Drain() {
    listenFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listenFd, 16);
    socklen_t len = sizeof a;
    getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    thread = std::thread([this] {
      for (;;) {
        int c = accept(listenFd, nullptr, nullptr);
        if (c < 0) return;
        char buf[65536];
        while (recv(c, buf, sizeof buf, 0) > 0) {
        }
        close(c);
      }
    });
  }
  ~Drain() {
    shutdown(listenFd, SHUT_RDWR);
    close(listenFd);
    thread.join();
  }
};

Drain& drain() {
  static Drain d;
  return d;
}

void BM_PlainBlockingSend(benchmark::State& state) {
  std::string data(kBytes, 'x');
  for (auto _ : state) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(drain().port);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    size_t off = 0;
    while (off < data.size()) {
      ssize_t n = send(fd, data.data() + off, std::min<size_t>(64240, data.size() - off), 0);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    close(fd);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

class BenchClient : public vtx::TRtcClient {
 public:
  explicit BenchClient(vtx::TRtcSocketOptions o) {
    setMultiThreaded(true);
    setProviderFactory(
        [this, o](vtx::TRtcConnection& c) { return vtx::NewSocketProvider(c, Sink(), o); });
  }
};

void runTransport(benchmark::State& state, vtx::TRtcSocketOptions o) {
  std::string data(kBytes, 'x');
  for (auto _ : state) {
    BenchClient client(o);
    client.ServerAddr = "127.0.0.1";
    client.ServerPort = std::to_string(drain().port);
    std::atomic<bool> sent{false};
    client.OnConnect = [&](vtx::TRtcConnection& c) { c.Provider()->Write(data); };
    client.OnDataSent = [&](vtx::TRtcConnection&) { sent = true; };
    client.Connect();
    while (!sent) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

void BM_ReactorTransportSend(benchmark::State& state) {
  runTransport(state, {});
}
void BM_BlockingTransportSend(benchmark::State& state) {
  vtx::TRtcSocketOptions o;
  o.Blocking = true;
  runTransport(state, o);
}
}  // namespace

BENCHMARK(BM_PlainBlockingSend)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReactorTransportSend)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BlockingTransportSend)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
