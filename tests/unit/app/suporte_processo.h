// Starts a real vorantelix-supportd on 127.0.0.1 for the program's tests.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/web/config.h"

extern char** environ;

namespace vtx::teste {

namespace fs = std::filesystem;

// A running stand-in; stopped with SIGTERM, and its exit status checked, on destruction.
class SuporteProcesso {
 public:
  explicit SuporteProcesso(std::vector<std::string> extra) {
    pasta_ = fs::temp_directory_path() /
             ("vtx-supportd-" + std::to_string(::getpid()) + "-" + std::to_string(++contador_));
    fs::create_directories(pasta_);
    std::vector<std::string> args = {VTX_SUPPORTD_PATH, "--listen",      "127.0.0.1:0",
                                     "--tls-listen",    "127.0.0.1:0",   "--db",
                                     ":memory:",        "--seed",        VTX_SUPPORTD_SEED,
                                     "--cert-dir",      pasta_.string(), "--exit-with-parent"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int tubo[2];
    if (::pipe(tubo) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t acoes;
    posix_spawn_file_actions_init(&acoes);
    posix_spawn_file_actions_adddup2(&acoes, tubo[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&acoes, tubo[0]);
    const int rc = posix_spawn(&pid_, argv[0], &acoes, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&acoes);
    ::close(tubo[1]);
    if (rc != 0) throw std::runtime_error("posix_spawn");
    saida_ = ::fdopen(tubo[0], "r");
    char linha[512];
    while (std::fgets(linha, sizeof linha, saida_)) {
      std::string l(linha);
      if (!l.empty() && l.back() == '\n') l.pop_back();
      const std::string prefixo = "vorantelix-supportd: ";
      if (l.rfind(prefixo, 0) != 0) continue;
      l = l.substr(prefixo.size());
      if (l.rfind("http://", 0) == 0)
        http_ = l;
      else if (l.rfind("https://", 0) == 0)
        https_ = l;
      else if (l.rfind("certificado ", 0) == 0)
        cert_ = l.substr(12);
      else if (l == "pronto")
        break;
    }
    if (http_.empty() || https_.empty() || cert_.empty())
      throw std::runtime_error("vorantelix-supportd não iniciou");
  }
  ~SuporteProcesso() {
    Para();
    std::error_code ec;
    fs::remove_all(pasta_, ec);
  }
  void Para() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    pid_ = -1;
    if (saida_) std::fclose(saida_);
    saida_ = nullptr;
  }

  TConfiguracao Config() const {
    TConfiguracao c = ConfiguracaoPadrao();
    c.urlSuporte = c.urlBot = http_;
    c.urlSuporteSegura = https_;
    c.arquivoCA = cert_;
    c.gatewayPadrao = "127.0.0.1";  // the seed serves every company from here
    return c;
  }
  const fs::path& pasta() const { return pasta_; }
  fs::path ArquivoConfig() const { return pasta_ / "vorantelix-config.json"; }

 private:
  static inline int contador_ = 0;
  pid_t pid_ = -1;
  FILE* saida_ = nullptr;
  fs::path pasta_;
  std::string http_, https_, cert_;
};

}  // namespace vtx::teste
