// The real vorantelix-gateway as a child process on 127.0.0.1 (a port it picks), its log in a
// temporary file.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vtx::gateway::testing {

namespace fs = std::filesystem;

// The sanitizers' shadow memory and quarantine make resident memory say little about the
// gateway's own: memory ceilings hold for plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kMeasureMemory = false;
#else
inline constexpr bool kMeasureMemory = true;
#endif

// A field of a process's /proc status ("VmRSS:", "VmHWM:"), in KiB; -1 when absent.
inline long memoryKiB(pid_t pid, const char* field) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  return -1;
}

// A running gateway; stopped with SIGTERM on destruction, which must end it cleanly. Without
// `roles` it runs with --trust-shared-password (no analyst accounts: every user reaches every
// other), which the tests of the relay's mechanics assume.
class GatewayProcess {
 public:
  explicit GatewayProcess(std::vector<std::string> extra, bool roles = false) {
    static int counter = 0;
    log_ = fs::temp_directory_path() /
           ("vtx-gateway-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".log");
    std::vector<std::string> args = {VTX_GATEWAY_PATH, "--listen", "127.0.0.1:0", "--threads", "2"};
    if (std::find(extra.begin(), extra.end(), "--db") == extra.end())
      extra.insert(extra.end(), {"--db", ":memory:"});  // no files left behind
    if (!roles) extra.push_back("--trust-shared-password");
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(out[1], STDOUT_FILENO);
      const int err = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(err, STDERR_FILENO);
      ::close(out[0]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
    const std::string line = readLine(std::chrono::seconds(10));
    const std::string prefix = "vorantelix-gateway: ready 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) throw std::runtime_error("gateway did not start: " + line);
    port_ = static_cast<unsigned short>(std::stoi(line.substr(prefix.size())));
  }
  ~GatewayProcess() {
    if (pid_ > 0) {
      EXPECT_EQ(stop(), 0);
    }
    if (out_ >= 0) ::close(out_);
    std::error_code ec;
    fs::remove(log_, ec);
  }

  // SIGTERM, then the exit status (-1 when it had to be killed after 10 s).
  int stop() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
  }
  unsigned short port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string log() const {
    std::ifstream f(log_);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }

 private:
  std::string readLine(std::chrono::milliseconds timeout) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char c;
      if (::read(out_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line.push_back(c);
    }
    return line;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  unsigned short port_ = 0;
  fs::path log_;
};

}  // namespace vtx::gateway::testing
