// A TCP proxy on 127.0.0.1 between clients and a server, for tests of what survives a bad
// network: it can cut a connection at a chosen byte in either direction, delay what it forwards
// or stall it altogether, throttle it to a link's rate, and close every open connection at once.
// Bytes are counted per direction over all connections, so "the byte at offset N from now" names
// one point of an exchange whichever connection carries it. Stops by itself on destruction.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vtx::testing {

class FaultProxy {
 public:
  enum Dir { Up = 0, Down = 1 };  // Up: client to server; Down: server to client

  explicit FaultProxy(const std::string& serverPort) : serverPort_(std::stoi(serverPort)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listen_, 64) != 0)
      throw std::runtime_error("proxy: cannot listen");
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~FaultProxy() {
    stop_ = true;
    acceptor_.join();
    std::lock_guard g(threadsLock_);
    for (auto& t : pumps_) t.join();
    ::close(listen_);
  }
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  std::string port() const { return std::to_string(port_); }

  // Cuts the connection that carries the byte at `offset` (counted from now) in `dir`: the
  // bytes before it pass, then both sides of that connection are closed. One cut per arming.
  void cutAt(Dir dir, std::uint64_t offset) {
    std::lock_guard g(lock_);
    armed_ = true;
    armedDir_ = dir;
    target_ = offset;
    sinceArm_[0] = sinceArm_[1] = 0;
  }
  void disarm() {
    std::lock_guard g(lock_);
    armed_ = false;
  }
  int cuts() const { return cuts_; }
  bool armed() const {
    std::lock_guard g(lock_);
    return armed_;
  }
  // Bytes forwarded in `dir` since the proxy started.
  std::uint64_t bytes(Dir dir) const {
    std::lock_guard g(lock_);
    return total_[dir];
  }
  // Every forwarded piece waits this long first.
  void setDelay(std::chrono::milliseconds d) { delayMs_ = static_cast<int>(d.count()); }
  // While stalled nothing is forwarded (and nothing is lost).
  void setStalled(bool on) { stalled_ = on; }
  // Limits each direction to this many bytes a second over all connections, like one link
  // (0 = unlimited); takes effect at once.
  void setThrottle(std::uint64_t bytesPerSecond) { rate_ = bytesPerSecond; }
  // Closes every connection open now.
  void cutAll() { ++generation_; }
  int connections() const { return accepted_; }

 private:
  static sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
  }

  void acceptLoop() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a = loopback(serverPort_);
      if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(server);
        ::close(client);
        continue;
      }
      ++accepted_;
      std::lock_guard g(threadsLock_);
      pumps_.emplace_back([this, client, server] { pump(client, server); });
    }
  }

  // How many of `n` bytes going `dir` may pass; sets `cut` when the connection ends after them.
  std::size_t admit(Dir dir, std::size_t n, bool& cut) {
    std::lock_guard g(lock_);
    std::size_t pass = n;
    if (armed_ && armedDir_ == dir && sinceArm_[dir] + n > target_) {
      pass = static_cast<std::size_t>(target_ - sinceArm_[dir]);
      cut = true;
      armed_ = false;
      ++cuts_;
    }
    sinceArm_[dir] += pass;
    total_[dir] += pass;
    return pass;
  }

  // Waits until `n` bytes going `dir` have had their time on the throttled link.
  void pace(Dir dir, std::size_t n) {
    const std::uint64_t rate = rate_;
    if (rate == 0) return;
    using Clock = std::chrono::steady_clock;
    Clock::time_point done;
    {
      std::lock_guard g(lock_);
      const auto now = Clock::now();
      if (linkFree_[dir] < now) linkFree_[dir] = now;
      linkFree_[dir] += std::chrono::microseconds(n * 1000000 / rate);
      done = linkFree_[dir];
    }
    while (Clock::now() < done && rate_ != 0 && !stop_)
      std::this_thread::sleep_for(std::min<Clock::duration>(done - Clock::now(), ms5()));
  }
  static constexpr std::chrono::milliseconds ms5() { return std::chrono::milliseconds(5); }

  static bool sendAll(int fd, const char* data, std::size_t n) {
    while (n > 0) {
      const ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
      if (w <= 0) return false;
      data += w;
      n -= static_cast<std::size_t>(w);
    }
    return true;
  }

  void pump(int client, int server) {
    const int born = generation_;
    const int fds[2] = {client, server};
    std::vector<char> buf(65536);
    bool open = true;
    while (open && !stop_ && generation_ == born) {
      if (stalled_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (::poll(p, 2, 20) <= 0) continue;
      for (int side = 0; side < 2 && open; ++side) {
        if (!(p[side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        // Throttled: small pieces (20 ms of the link), so little waits inside the proxy.
        const std::uint64_t rate = rate_;
        const std::size_t want =
            rate ? std::clamp<std::size_t>(rate / 50, 512, buf.size()) : buf.size();
        const ssize_t n = ::recv(fds[side], buf.data(), want, 0);
        if (n <= 0) {
          open = false;
          break;
        }
        const Dir dir = side == 0 ? Up : Down;
        bool cut = false;
        const std::size_t pass = admit(dir, static_cast<std::size_t>(n), cut);
        if (delayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_.load()));
        pace(dir, pass);
        if (pass > 0 && !sendAll(fds[1 - side], buf.data(), pass)) open = false;
        if (cut) open = false;
      }
    }
    ::shutdown(client, SHUT_RDWR);
    ::shutdown(server, SHUT_RDWR);
    ::close(client);
    ::close(server);
  }

  int serverPort_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false}, stalled_{false};
  std::atomic<int> delayMs_{0}, generation_{0}, accepted_{0}, cuts_{0};
  std::atomic<std::uint64_t> rate_{0};
  std::chrono::steady_clock::time_point linkFree_[2]{};  // under lock_
  mutable std::mutex lock_;
  bool armed_ = false;
  Dir armedDir_ = Up;
  std::uint64_t target_ = 0;
  std::uint64_t sinceArm_[2] = {0, 0}, total_[2] = {0, 0};
  std::thread acceptor_;
  std::mutex threadsLock_;
  std::list<std::thread> pumps_;
};

}  // namespace vtx::testing
