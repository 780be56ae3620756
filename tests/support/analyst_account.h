// Runs vorantelix-gateway's database commands for tests: provisioning an analyst account (the
// password fed on standard input, as an operator would) and reading the audit trail.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vtx::testing {

struct CommandResult {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out, err;
};

// Runs `program args...` with `input` on its standard input; waits for it to end.
inline CommandResult RunCommand(const std::string& program, std::vector<std::string> args,
                                const std::string& input) {
  namespace fs = std::filesystem;
  static int counter = 0;
  const fs::path base = fs::temp_directory_path() /
                        ("vtx-cmd-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
  const std::string in = base.string() + ".in", out = base.string() + ".out",
                    err = base.string() + ".err";
  {
    std::ofstream f(in, std::ios::binary);
    f << input;
  }
  args.insert(args.begin(), program);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    const int i = ::open(in.c_str(), O_RDONLY);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(i, STDIN_FILENO);
    ::dup2(o, STDOUT_FILENO);
    ::dup2(e, STDERR_FILENO);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  auto slurp = [](const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  };
  CommandResult r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
  std::error_code ec;
  for (const auto& p : {in, out, err}) fs::remove(p, ec);
  return r;
}

// Adds an enabled analyst account to the gateway's database; throws when the gateway refuses.
inline void ProvisionAnalyst(const std::string& gateway, const std::string& db,
                             const std::string& name, const std::string& password) {
  const auto r = RunCommand(gateway, {"--db", db, "--add-analyst", name}, password + "\n");
  if (r.status != 0) throw std::runtime_error("cannot add analyst " + name + ": " + r.err);
}

// --disable-analyst, --enable-analyst or --remove-analyst; throws when refused.
inline void ChangeAnalyst(const std::string& gateway, const std::string& db,
                          const std::string& command, const std::string& name) {
  const auto r = RunCommand(gateway, {"--db", db, command, name}, "");
  if (r.status != 0) throw std::runtime_error(command + " " + name + ": " + r.err);
}

// The audit trail as the gateway prints it, narrowed by `filters` (e.g. {"--host", "cust"}).
inline std::string AuditOutput(const std::string& gateway, const std::string& db,
                               std::vector<std::string> filters = {}) {
  std::vector<std::string> args = {"--db", db, "--audit"};
  args.insert(args.end(), filters.begin(), filters.end());
  const auto r = RunCommand(gateway, args, "");
  if (r.status != 0) throw std::runtime_error("--audit: " + r.err);
  return r.out;
}

}  // namespace vtx::testing
