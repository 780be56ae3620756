// The real vorantelix-gateway as a child process that can be killed and started again on the
// same port and database, for the scenarios that outlive one gateway.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vtx::testing {

class GatewayChild {
 public:
  // `extra` follows --listen on every start; the first start picks the port.
  explicit GatewayChild(std::vector<std::string> extra) : extra_(std::move(extra)) { start(); }
  ~GatewayChild() { stop(false); }

  void start() {
    std::vector<std::string> args = {VTX_GATEWAY_PATH, "--listen",
                                     "127.0.0.1:" + (port_.empty() ? "0" : port_)};
    args.insert(args.end(), extra_.begin(), extra_.end());
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(out[1], STDOUT_FILENO);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDERR_FILENO);
      ::close(out[0]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
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
  // SIGTERM (a clean stop) or SIGKILL (a crash).
  void stop(bool kill) {
    if (pid_ <= 0) return;
    ::kill(pid_, kill ? SIGKILL : SIGTERM);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  const std::string& port() const { return port_; }

 private:
  std::vector<std::string> extra_;
  std::string port_;
  pid_t pid_ = -1;
};

}  // namespace vtx::testing
