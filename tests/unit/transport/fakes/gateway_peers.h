// Peers for the remote function client's tests, all on 127.0.0.1 and stopping by themselves:
// the real gateway program, a scripted HTTP server and a proxy that can damage replies.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "socket_test_server.h"

namespace vtx::testing {

using namespace std::chrono_literals;

// A running vorantelix-gateway; SIGTERM on destruction (SIGKILL if it lingers).
class Gateway {
 public:
  explicit Gateway(std::vector<std::string> extra) {
    std::vector<std::string> args = {VTX_GATEWAY_PATH, "--listen", "127.0.0.1:0",
                                     "--threads",      "1",        "--enable-echo",
                                     "--db",           ":memory:", "--trust-shared-password"};
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(out[1], STDOUT_FILENO);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDERR_FILENO);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{out[0], POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char c;
      if (::read(out[0], &c, 1) != 1 || c == '\n') break;
      line.push_back(c);
    }
    ::close(out[0]);
    const std::string prefix = "vorantelix-gateway: ready 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) throw std::runtime_error("gateway did not start: " + line);
    port_ = line.substr(prefix.size());
  }
  ~Gateway() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(10ms);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  const std::string& port() const { return port_; }

 private:
  pid_t pid_ = -1;
  std::string port_;
};

// Reads one HTTP message (header and Content-Length body) from fd; none on close or time-out.
// With `whole` the header is returned too, else only the body.
inline std::optional<std::string> readMessage(int fd, const std::atomic<bool>& stop,
                                              std::string& buf, bool whole) {
  while (!stop) {
    const auto end = buf.find("\r\n\r\n");
    if (end != std::string::npos) {
      std::size_t len = 0;
      std::string head = buf.substr(0, end);
      for (auto& ch : head) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      const auto at = head.find("content-length:");
      if (at != std::string::npos) len = std::stoul(head.substr(at + 15));
      if (buf.size() >= end + 4 + len) {
        std::string body = whole ? buf.substr(0, end + 4 + len) : buf.substr(end + 4, len);
        buf.erase(0, end + 4 + len);
        return body;
      }
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char tmp[65536];
    const ssize_t n = ::recv(fd, tmp, sizeof tmp, 0);
    if (n <= 0) return std::nullopt;
    buf.append(tmp, static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

inline std::optional<std::string> readRequest(int fd, const std::atomic<bool>& stop,
                                              std::string& buf) {
  return readMessage(fd, stop, buf, false);
}

inline std::string httpReply(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Answers each request through `answer` (request number from 0, body); an empty answer drops
// the connection after half a response.
class ScriptedServer {
 public:
  using Answer = std::function<std::string(int n, const std::string& body)>;
  explicit ScriptedServer(Answer answer)
      : answer_(std::move(answer)), server_([this](int fd, const std::atomic<bool>& stop) {
          std::string buf;
          while (auto body = readRequest(fd, stop, buf)) {
            std::string reply;
            try {
              reply = answer_(count_++, *body);
            } catch (const std::exception&) {
              reply = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
            }
            if (reply.empty()) {
              TestServer::WriteAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nX=");
              return;
            }
            TestServer::WriteAll(fd, reply);
          }
        }) {}
  std::string Port() const { return server_.Port(); }
  int requests() const { return count_; }

 private:
  Answer answer_;
  std::atomic<int> count_{0};
  TestServer server_;
};

// Relays each request to the gateway; `damage` may alter the reply (its number from 0).
class Proxy {
 public:
  Proxy(const std::string& gatewayPort, std::function<void(int n, std::string& reply)> damage)
      : damage_(std::move(damage)),
        server_([this, gatewayPort](int fd, const std::atomic<bool>& stop) {
          const int up = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
          sockaddr_in a{};
          a.sin_family = AF_INET;
          a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
          a.sin_port = htons(static_cast<uint16_t>(std::stoi(gatewayPort)));
          if (::connect(up, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(up);
            return;
          }
          std::string in, out;
          while (auto req = readMessage(fd, stop, in, true)) {
            auto reply =
                TestServer::WriteAll(up, *req) ? readMessage(up, stop, out, true) : std::nullopt;
            if (!reply) break;
            damage_(count_++, *reply);
            if (!TestServer::WriteAll(fd, *reply)) break;
          }
          ::close(up);
        }) {}
  std::string Port() const { return server_.Port(); }

 private:
  std::function<void(int, std::string&)> damage_;
  std::atomic<int> count_{0};
  TestServer server_;
};

}  // namespace vtx::testing
