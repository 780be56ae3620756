#include "util/paths.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace vtx {

std::filesystem::path ExecutablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path{} : p;
}

std::filesystem::path DataRoot() {
  if (const char* home = std::getenv("VORANTELIX_HOME"); home && *home) return home;
  const char* user = std::getenv("HOME");
  std::filesystem::path base = (user && *user) ? user : "/tmp";
  return base / "VARNELIKO_VTX5";
}

bool IsWritableDir(const std::filesystem::path& dir) {
  std::error_code ec;
  return std::filesystem::is_directory(dir, ec) && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

}  // namespace vtx
