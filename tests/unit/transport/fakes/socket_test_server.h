// A scripted TCP server on 127.0.0.1 for transport tests: accepts connections on its own
// thread and runs the test's script for each; stops (and closes every socket) by itself.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace vtx::testing {

class TestServer {
 public:
  // `session(fd, stop)` serves one accepted connection (blocking fd; stop says wind up).
  using Session = std::function<void(int fd, const std::atomic<bool>& stop)>;

  explicit TestServer(Session session, int backlog = 16) : session_(std::move(session)) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, backlog);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    if (session_) thread_ = std::thread([this] { acceptLoop(); });
  }
  ~TestServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  std::string Port() const { return std::to_string(port_); }
  int ListenFd() const { return fd_; }

  // Reads what is available within `ms`; empty on time-out or close.
  static std::string ReadSome(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return {};
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  static bool WriteAll(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
      ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }
  // Echoes until the peer closes or the server stops.
  static void Echo(int fd, const std::atomic<bool>& stop) {
    char buf[65536];
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0 || !WriteAll(fd, std::string(buf, static_cast<size_t>(n)))) return;
    }
  }

 private:
  void acceptLoop() {
    std::vector<std::thread> sessions;
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      sessions.emplace_back([this, c] {
        session_(c, stop_);
        close(c);
      });
    }
    for (auto& t : sessions) t.join();
  }

  Session session_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace vtx::testing
