#include "analyst/password_prompt.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace vtx::analyst {

bool ReadPassword(const std::string& prompt, std::string& out) {
  if (!::isatty(STDIN_FILENO)) return false;
  termios saved{};
  if (::tcgetattr(STDIN_FILENO, &saved) != 0) return false;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ICANON;
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) return false;
  std::string line;
  bool ended = false;
  for (;;) {
    char c;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n <= 0) {
      ended = true;
      break;
    }
    if (c == '\n') break;
    line += c;
  }
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::fputc('\n', stderr);
  if (ended && line.empty()) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  out = std::move(line);
  return true;
}

}  // namespace vtx::analyst
