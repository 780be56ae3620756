// The real vorantelix-gateway as a child process that can be killed and started again on the
// same port and database, for the scenarios that outlive one gateway. It serves TLS unless
// asked not to, with a self-signed certificate for 127.0.0.1 that its clients are to trust
// (caFile()); the certificate stays the same across restarts.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vtx::testing {

class GatewayChild {
 public:
  enum class Transport { Tls, Plain };

  // `extra` follows --listen on every start; the first start picks the port. Without `roles`
  // the gateway runs with --trust-shared-password (every user reaches every other).
  explicit GatewayChild(std::vector<std::string> extra, Transport transport = Transport::Tls,
                        bool roles = false)
      : extra_(std::move(extra)) {
    if (!roles) extra_.push_back("--trust-shared-password");
    if (transport == Transport::Tls) makeCertificate();
    start();
  }
  ~GatewayChild() {
    stop(false);
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }
  GatewayChild(const GatewayChild&) = delete;
  GatewayChild& operator=(const GatewayChild&) = delete;

  void start() {
    std::vector<std::string> args = {VTX_GATEWAY_PATH, "--listen",
                                     "127.0.0.1:" + (port_.empty() ? "0" : port_)};
    if (!cert_.empty()) args.insert(args.end(), {"--tls-cert", cert_, "--tls-key", key_});
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
  // The certificate clients check the gateway against; empty when it serves plain HTTP.
  const std::string& caFile() const { return cert_; }

 private:
  void makeCertificate() {
    dir_ = std::filesystem::temp_directory_path() /
           ("vtx-gw-" + std::to_string(::getpid()) + "-" +
            std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::create_directories(dir_);
    cert_ = (dir_ / "cert.pem").string();
    key_ = (dir_ / "key.pem").string();
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-keyout '" +
        key_ + "' -out '" + cert_ +
        "' -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
      throw std::runtime_error("openssl could not make a certificate");
  }

  std::vector<std::string> extra_;
  std::filesystem::path dir_;
  std::string cert_, key_;
  std::string port_;
  pid_t pid_ = -1;
};

}  // namespace vtx::testing
