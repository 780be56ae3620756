// A client on the socket transport for tests: records its events and what it read.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/rtc_connection.h"
#include "transport/socket_provider.h"

namespace vtx::testing {
using namespace std::chrono_literals;

class SocketClient : public TRtcClient {
 public:
  explicit SocketClient(TRtcSocketOptions options = {}, bool multi = true) {
    setMultiThreaded(multi);
    ServerAddr = "127.0.0.1";
    setProviderFactory(
        [this, options](TRtcConnection& c) { return NewSocketProvider(c, Sink(), options); });
    OnConnect = [this](TRtcConnection&) { note("connect"); };
    OnConnectLost = [this](TRtcConnection&) { note("lost"); };
    OnConnectFail = [this](TRtcConnection&) { note("fail"); };
    OnConnectError = [this](TRtcConnection&, const std::exception& e) {
      note(std::string("error: ") + e.what());
    };
    OnDataSent = [this](TRtcConnection&) { note("sent"); };
    OnDataReceived = [this](TRtcConnection&) {
      std::string got = Provider()->Read();
      std::lock_guard g(lock);
      received += got;
    };
  }
  ~SocketClient() override {
    // Handlers refer to this object: drop them before the transport goes.
    OnConnect = OnConnectLost = OnConnectFail = OnDataSent = OnDataReceived = nullptr;
    OnConnectError = nullptr;
  }
  void note(const std::string& e) {
    std::lock_guard g(lock);
    events.push_back(e);
    if (e == "connect") {
      peer = PeerAddr() + ":" + PeerPort();
      local = LocalAddr();
    }
  }
  bool has(const std::string& e) {
    std::lock_guard g(lock);
    for (auto& x : events)
      if (x == e) return true;
    return false;
  }
  std::string lastEvent() {
    std::lock_guard g(lock);
    return events.empty() ? "" : events.back();
  }
  size_t receivedSize() {
    std::lock_guard g(lock);
    return received.size();
  }
  // Runs `fn` in the connection's context and waits for it.
  void inContext(std::function<void()> fn) {
    std::atomic<bool> done{false};
    PostJob([&] {
      fn();
      done = true;
    });
    waitFor([&] { return done.load(); });
  }
  static bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit = 10s) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(2ms);
    }
    return true;
  }

  std::mutex lock;
  std::vector<std::string> events;
  std::string received, peer, local;
};

inline std::string pattern(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 12345;
  for (auto& c : s) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  return s;
}

}  // namespace vtx::testing
