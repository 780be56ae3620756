// vtxtool: developer command line for black-box checks of the library's formats.
#include <cstdio>
#include <cstring>
#include <exception>

#include "commands.h"

namespace vtx::tool {
// Each subcommand lives in its own cmd_<name>.cpp; list it here.
const Command kCommands[] = {
    {"help", "help                      list the subcommands", nullptr},
    {"wire", "wire roundtrip|dump       read code text from stdin; rewrite it or dump it", runWire},
    {"pack", "pack image|line|delta PREV|linedelta PREV  pack standard input", runPack},
    {"unpack", "unpack image|line PREV     apply standard input to PREV", runUnpack},
    {"crypt", "crypt --key-hex HEX [--chunks N,M,...]    encipher stdin to stdout", cmdCrypt},
    {"decrypt", "decrypt --key-hex HEX [--chunks N,M,...]  decipher stdin to stdout", cmdDecrypt},
    {"host",
     "host --gateway HOST:PORT --user NAME [--password P] [--key K] [--inbox DIR] "
     "[--login-data FILE] [--tls] [--tls-ca FILE] [--confirm yes|no] [--until-signal]  a "
     "headless customer side with the desktop of $DISPLAY; events as JSON lines; ends at the "
     "end of standard input (or only on SIGINT/SIGTERM with --until-signal) and says why",
     cmdHost},
    {"capture", "capture [--bpp-limit N] [--blocks N] [--budget BYTES] [--png FILE] [--stream S]",
     cmdCapture},
};
}  // namespace vtx::tool

namespace {

int usage(FILE* out) {
  std::fprintf(out, "usage: vtxtool <command> [arguments]\n\ncommands:\n");
  for (const auto& c : vtx::tool::kCommands) std::fprintf(out, "  %s\n", c.usage);
  return out == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(stderr);
  if (std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0)
    return usage(stdout);
  vtx::tool::Args args(argv + 2, argv + argc);
  for (const auto& c : vtx::tool::kCommands) {
    if (c.run && std::strcmp(c.name, argv[1]) == 0) {
      try {
        return c.run(args);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "vtxtool %s: %s\n", c.name, e.what());
        return 2;
      }
    }
  }
  std::fprintf(stderr, "vtxtool: unknown command \"%s\"\n", argv[1]);
  return usage(stderr);
}
