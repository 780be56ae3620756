// Subcommands of vtxtool. Each takes the arguments after its own name and returns the exit status.
#pragma once

#include <string>
#include <vector>

namespace vtx::tool {

using Args = std::vector<std::string>;

struct Command {
  const char* name;
  const char* usage;  // one line, shown by "vtxtool help"
  int (*run)(const Args& args);
};

// Reads all of standard input as bytes.
std::string readStdin();
// Writes bytes to standard output unchanged.
void writeStdout(const std::string& bytes);
// Reads a whole file as bytes; throws std::runtime_error naming the file when it cannot.
std::string readFile(const std::string& path);

// wire roundtrip|dump: reads one code text from standard input.
int runWire(const Args& args);
int runPack(const Args& args);     // cmd_pack.cpp
int runUnpack(const Args& args);   // cmd_pack.cpp
int cmdCrypt(const Args& args);    // cmd_crypt.cpp
int cmdDecrypt(const Args& args);  // cmd_crypt.cpp
int cmdCapture(const Args& args);  // cmd_capture.cpp
// cmd_crypt.cpp
int cmdCrypt(const Args& args);
int cmdDecrypt(const Args& args);

// cmd_host.cpp
int cmdHost(const Args& args);

}  // namespace vtx::tool
