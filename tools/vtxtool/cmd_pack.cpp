// vtxtool pack / unpack: screen block streams and line records on standard input and output.
#include <stdexcept>
#include <string>
#include <vector>

#include "commands.h"
#include "desktop/compress.h"
#include "desktop/screen_decoder.h"

namespace vtx::tool {
namespace {

ConstBytes bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string text(const std::vector<uint8_t>& v, size_t size) {
  return std::string(reinterpret_cast<const char*>(v.data()), size);
}

std::string lineRecord(uint8_t kind, const std::vector<uint8_t>& control,
                       const std::vector<uint8_t>& data, LineCode code) {
  if (code.empty()) return {};
  std::string r;
  r += static_cast<char>(kind);
  r += static_cast<char>(code.controlLength & 0xFF);
  r += static_cast<char>(code.controlLength >> 8);
  r += static_cast<char>(code.dataLength & 0xFF);
  r += static_cast<char>(code.dataLength >> 8);
  r += text(control, code.controlLength);
  r += text(data, code.dataLength);
  return r;
}

void needArgs(const Args& args, size_t n, const char* usage) {
  if (args.size() != n) throw std::runtime_error(std::string("usage: vtxtool ") + usage);
}

}  // namespace

int runPack(const Args& args) {
  const char* usage = "pack image | pack delta PREVFILE | pack line | pack linedelta PREVFILE";
  if (args.empty()) throw std::runtime_error(std::string("usage: vtxtool ") + usage);
  const std::string& mode = args[0];
  bool withPrev = mode == "delta" || mode == "linedelta";
  if (!withPrev && mode != "image" && mode != "line")
    throw std::runtime_error("unknown pack mode \"" + mode + "\"");
  needArgs(args, withPrev ? 2 : 1, usage);
  std::string prev = withPrev ? readFile(args[1]) : std::string();
  std::string cur = readStdin();
  if (withPrev && prev.size() != cur.size())
    throw std::runtime_error("PREVFILE has " + std::to_string(prev.size()) +
                             " bytes, standard input " + std::to_string(cur.size()));
  if (mode == "image" || mode == "delta") {
    std::vector<uint8_t> out(PackedSizeBound(cur.size()));
    size_t n =
        mode == "image" ? PackImage(bytes(cur), out) : PackImageDelta(bytes(prev), bytes(cur), out);
    writeStdout(text(out, n));
    return 0;
  }
  std::vector<uint8_t> control(LineControlBound(cur.size())), data(LineDataBound(cur.size()));
  if (mode == "line") {
    LineCode code = PackLine(bytes(cur), control, data);
    // A line of zero bytes still gets its (empty) record.
    std::string r = code.empty() ? std::string("\0\0\0\0\0", 5)
                                 : lineRecord(kLineKindFull, control, data, code);
    writeStdout(r);
  } else {
    writeStdout(lineRecord(kLineKindDelta, control, data,
                           PackLineDelta(bytes(prev), bytes(cur), control, data)));
  }
  return 0;
}

int runUnpack(const Args& args) {
  const char* usage = "unpack image PREVFILE | unpack line PREVFILE";
  needArgs(args, 2, usage);
  if (args[0] != "image" && args[0] != "line")
    throw std::runtime_error("unknown unpack mode \"" + args[0] + "\"");
  std::string frame = readFile(args[1]);
  std::string input = readStdin();
  MutableBytes out(reinterpret_cast<uint8_t*>(frame.data()), frame.size());
  if (args[0] == "image")
    DecodeBlockStream(bytes(input), out, 0);
  else
    DecodeLineRecord(bytes(input), out, 0);
  writeStdout(frame);
  return 0;
}

}  // namespace vtx::tool
