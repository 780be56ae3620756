#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "commands.h"

namespace vtx::tool {

std::string readStdin() {
  std::string out;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) out.append(buf, n);
  return out;
}

void writeStdout(const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read file \"" + path + "\"");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vtx::tool
