// Child processes and their output files for the multi-process tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vtx::e2e {

inline std::string readAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Polls `file` until it contains `text`; false after `limit`.
inline bool waitForText(const std::filesystem::path& file, const std::string& text,
                        std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (readAll(file).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// A child process killed with the test (and with the object). Standard input stays a pipe until
// the object ends; standard output goes to `out`, standard error to `out` + ".err".
class Child {
 public:
  Child(std::vector<std::string> args, const std::filesystem::path& out,
        std::vector<std::string> env = {}) {
    int in[2];
    if (::pipe(in) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::dup2(in[0], STDIN_FILENO);
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(fd, STDOUT_FILENO);
      const int err = ::open((out.string() + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(err, STDERR_FILENO);
      ::close(in[1]);
      for (auto& e : env) ::putenv(e.data());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    in_ = in[1];
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (in_ >= 0) ::close(in_);
    kill(SIGKILL);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }

  void kill(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }
  // One line to its standard input.
  void send(const std::string& line) {
    const std::string l = line + "\n";
    if (::write(in_, l.data(), l.size()) != static_cast<ssize_t>(l.size()))
      throw std::runtime_error("write to child");
  }
  // The exit code, waiting at most `limit` (-1 on time-out or a signal).
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
};

}  // namespace vtx::e2e
