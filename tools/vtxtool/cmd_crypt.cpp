// vtxtool crypt / decrypt: run standard input through the data cipher.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "commands.h"
#include "transport/crypt.h"

namespace vtx::tool {
namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string parseHex(const std::string& hex) {
  if (hex.size() % 2 != 0) throw std::runtime_error("--key-hex needs an even number of digits");
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = hexDigit(hex[i]), lo = hexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) throw std::runtime_error("--key-hex holds a non-hexadecimal digit");
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return out;
}

std::vector<size_t> parseChunks(const std::string& list) {
  std::vector<size_t> sizes;
  size_t start = 0;
  while (true) {
    const size_t comma = list.find(',', start);
    const std::string item = list.substr(start, comma - start);
    if (item.empty() || item.size() > 12 || item.find_first_not_of("0123456789") != item.npos)
      throw std::runtime_error("--chunks wants sizes like 3,0,17, got \"" + list + "\"");
    sizes.push_back(std::stoull(item));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return sizes;
}

// Chunk sizes are used in order; what remains after the list goes in one last call.
int runCipher(const Args& args, bool decrypt) {
  std::string key;
  bool haveKey = false;
  std::vector<size_t> chunks;
  for (size_t i = 0; i < args.size(); ++i) {
    const bool hasValue = i + 1 < args.size();
    if (args[i] == "--key-hex" && hasValue) {
      key = parseHex(args[++i]);
      haveKey = true;
    } else if (args[i] == "--chunks" && hasValue) {
      chunks = parseChunks(args[++i]);
    } else {
      throw std::runtime_error("unexpected argument \"" + args[i] + "\"");
    }
  }
  if (!haveKey) throw std::runtime_error("--key-hex HEX is required");

  std::string data = readStdin();
  TRtcCrypt cipher;
  cipher.setKey(key);
  size_t pos = 0;
  auto step = [&](size_t n) {
    n = std::min(n, data.size() - pos);
    if (decrypt)
      cipher.DeCrypt(data.data() + pos, n);
    else
      cipher.Crypt(data.data() + pos, n);
    pos += n;
  };
  for (size_t n : chunks) step(n);
  step(data.size() - pos);
  writeStdout(data);
  return 0;
}

}  // namespace

int cmdCrypt(const Args& args) {
  return runCipher(args, false);
}
int cmdDecrypt(const Args& args) {
  return runCipher(args, true);
}

}  // namespace vtx::tool
