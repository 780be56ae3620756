// Starts a private Xvfb for a test on a free display number (Xvfb picks it and reports it
// through -displayfd) and stops it when the object goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace vtx::test {

class XvfbDisplay {
 public:
  // geometry like "1280x800x24". name() is empty when the server could not be started.
  explicit XvfbDisplay(const std::string& geometry) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 3);
      if (fds[0] != 3) close(fds[0]);
      int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) dup2(null, 2);
      execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", geometry.c_str(), "-nolisten",
             "tcp", "-noreset", "+extension", "DAMAGE", "+extension", "XFIXES",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline && number.find('\n') == std::string::npos) {
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[16];
      ssize_t n = read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      number.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (number.find('\n') != std::string::npos) name_ = ":" + number.substr(0, number.find('\n'));
  }
  ~XvfbDisplay() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  XvfbDisplay(const XvfbDisplay&) = delete;
  XvfbDisplay& operator=(const XvfbDisplay&) = delete;
  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace vtx::test
