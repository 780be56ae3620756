// Keep-alive round trips with 1 KiB bodies on loopback: the HTTP client against libcurl's easy
// interface reusing one connection to the same server, in the same run. Compare the client's
// rates with the libcurl rate of the same run.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "transport/rtc_http_client.h"

namespace {

// A keep-alive server that answers every request header with one canned 1 KiB reply, written
// in one piece so that neither side waits on delayed acknowledgements.
class Server {
 public:
  Server() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 16);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { acceptLoop(); });
  }
  ~Server() {
    stop_ = true;
    thread_.join();
    for (auto& t : sessions_) t.join();
    close(fd_);
  }
  int Port() const { return port_; }

 private:
  void acceptLoop() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      int one = 1;
      setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      sessions_.emplace_back([this, c] { serve(c); });
    }
  }
  void serve(int fd) {
    const std::string reply =
        "HTTP/1.1 200 OK\r\nContent-Length: 1024\r\n\r\n" + std::string(1024, 'k');
    std::string in;
    char buf[8192];
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      in.append(buf, static_cast<size_t>(n));
      for (size_t end; (end = in.find("\r\n\r\n")) != std::string::npos;) {
        in.erase(0, end + 4);
        if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
      }
    }
    close(fd);
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<std::thread> sessions_;
};

Server& TheServer() {
  static Server s;
  return s;
}

std::unique_ptr<vtx::TRtcClientRequest> NewRequest() {
  auto r = std::make_unique<vtx::TRtcClientRequest>();
  r->setMethod("GET");
  r->setFileName("/k");
  r->setHost("127.0.0.1");
  return r;
}

// One request at a time, each waited for on the benchmark thread: `multi` runs the client on
// the worker pool with the reactor (a thread switch to the caller per request), else in
// Blocking mode on the calling thread as libcurl's easy interface does.
void RunOneByOne(benchmark::State& state, bool multi) {
  vtx::TRtcHttpClient c;
  c.ServerAddr = "127.0.0.1";
  c.ServerPort = std::to_string(TheServer().Port());
  c.setMultiThreaded(multi);
  c.setBlocking(!multi);
  c.setAutoConnect(true);
  size_t bytes = 0;
  c.OnBeginRequest = [&](vtx::TRtcConnection&) { c.WriteHeader(); };
  c.OnResponseData = [&](vtx::TRtcConnection&) { bytes += c.Read().size(); };
  for (auto _ : state) {
    c.PostRequest(NewRequest());
    if (!c.WaitForCompletion(false, 10, false)) {
      state.SkipWithError("request failed");
      break;
    }
  }
  if (bytes != 1024 * static_cast<size_t>(state.iterations())) state.SkipWithError("short body");
  state.SetItemsProcessed(state.iterations());
  c.Disconnect();
}

void BM_RtcHttpClient(benchmark::State& state) {
  RunOneByOne(state, true);
}

void BM_RtcHttpClientBlocking(benchmark::State& state) {
  RunOneByOne(state, false);
}

// Round trips one after the other on the connection's thread: each finished response posts the
// next request, and the benchmark thread waits once per batch.
void BM_RtcHttpClientChained(benchmark::State& state) {
  constexpr int kBatch = 64;
  vtx::TRtcHttpClient c;
  c.ServerAddr = "127.0.0.1";
  c.ServerPort = std::to_string(TheServer().Port());
  c.setMultiThreaded(true);
  c.setAutoConnect(true);
  size_t bytes = 0;
  int left = 0;
  c.OnBeginRequest = [&](vtx::TRtcConnection&) { c.WriteHeader(); };
  c.OnResponseData = [&](vtx::TRtcConnection&) { bytes += c.Read().size(); };
  c.OnResponseDone = [&](vtx::TRtcConnection&) {
    if (--left > 0) c.PostRequest(NewRequest(), true);
  };
  int64_t done = 0;
  while (state.KeepRunningBatch(kBatch)) {
    left = kBatch;
    c.PostRequest(NewRequest());
    if (!c.WaitForCompletion(false, 10, false)) {
      state.SkipWithError("request failed");
      break;
    }
    done += kBatch;
  }
  if (bytes != 1024 * static_cast<size_t>(done)) state.SkipWithError("short body");
  state.SetItemsProcessed(done);
  c.Disconnect();
}

size_t Sink(char*, size_t size, size_t n, void* total) {
  *static_cast<size_t*>(total) += size * n;
  return size * n;
}

void BM_CurlEasyBaseline(benchmark::State& state) {
  CURL* h = curl_easy_init();
  const std::string url = "http://127.0.0.1:" + std::to_string(TheServer().Port()) + "/k";
  size_t bytes = 0;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Sink);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &bytes);
  curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
  for (auto _ : state) {
    if (curl_easy_perform(h) != CURLE_OK) {
      state.SkipWithError("curl failed");
      break;
    }
  }
  if (bytes != 1024 * static_cast<size_t>(state.iterations())) state.SkipWithError("short body");
  state.SetItemsProcessed(state.iterations());
  curl_easy_cleanup(h);
}

BENCHMARK(BM_CurlEasyBaseline)->UseRealTime();
BENCHMARK(BM_RtcHttpClient)->UseRealTime();
BENCHMARK(BM_RtcHttpClientBlocking)->UseRealTime();
BENCHMARK(BM_RtcHttpClientChained)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
