// Start-up of the real program: time from process start to the window shown, with the version
// and advertisement requests answered by a local vorantelix-supportd, and the resident memory
// then. The baseline, measured in the same run, is starting and ending the program's own
// "--send" path (process start, Qt core and the libraries loaded, no window and no requests).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Relogio = std::chrono::steady_clock;

struct Processo {
  pid_t pid = -1;
  int saida = -1;
};

Processo Inicia(std::vector<std::string> args, std::vector<std::string> env) {
  for (char** e = environ; *e; ++e) {
    const std::string v = *e;
    if (v.rfind("VORANTELIX_", 0) != 0 && v.rfind("QT_QPA_PLATFORM=", 0) != 0) env.push_back(v);
  }
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  int tubo[2];
  if (::pipe(tubo) != 0) return {};
  posix_spawn_file_actions_t acoes;
  posix_spawn_file_actions_init(&acoes);
  posix_spawn_file_actions_adddup2(&acoes, tubo[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&acoes, tubo[0]);
  posix_spawn_file_actions_addopen(&acoes, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  Processo p;
  if (posix_spawn(&p.pid, argv[0], &acoes, nullptr, argv.data(), envp.data()) != 0) p.pid = -1;
  posix_spawn_file_actions_destroy(&acoes);
  ::close(tubo[1]);
  p.saida = tubo[0];
  return p;
}

// Reads until a line starting with `prefixo` (or the end, or 20 s); returns it.
std::string EsperaLinha(int fd, const std::string& prefixo) {
  std::string buffer;
  const auto limite = Relogio::now() + std::chrono::seconds(20);
  while (Relogio::now() < limite) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char c;
    if (::read(fd, &c, 1) != 1) break;
    if (c != '\n') {
      buffer += c;
      continue;
    }
    if (buffer.rfind(prefixo, 0) == 0) return buffer;
    buffer.clear();
  }
  return {};
}

void Termina(Processo& p, bool forca) {
  if (p.pid <= 0) return;
  if (forca) ::kill(p.pid, SIGTERM);
  ::waitpid(p.pid, nullptr, 0);
  ::close(p.saida);
  p.pid = -1;
}

double Mediana(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  const fs::path pasta =
      fs::temp_directory_path() / ("vtx-bench-startup-" + std::to_string(::getpid()));
  fs::create_directories(pasta / "home");
  Processo suporte =
      Inicia({VTX_SUPPORTD_PATH, "--listen", "127.0.0.1:0", "--tls-listen", "127.0.0.1:0", "--db",
              ":memory:", "--cert-dir", pasta.string(), "--exit-with-parent"},
             {});
  if (EsperaLinha(suporte.saida, "vorantelix-supportd: pronto").empty()) {
    std::fprintf(stderr, "vorantelix-supportd não iniciou\n");
    return 1;
  }
  const std::vector<std::string> env = {
      "QT_QPA_PLATFORM=offscreen", "VORANTELIX_HOME=" + (pasta / "home").string(),
      "VORANTELIX_CONFIG=" + (pasta / "vorantelix-config.json").string()};
  constexpr int kRodadas = 9;
  std::vector<double> janela, base;
  long rss = -1;
  for (int i = 0; i < kRodadas; ++i) {
    auto t0 = Relogio::now();
    Processo b = Inicia({VTX_PROGRAM_PATH, "--send", "1924"}, env);
    Termina(b, false);
    base.push_back(std::chrono::duration<double, std::milli>(Relogio::now() - t0).count());

    t0 = Relogio::now();
    Processo p = Inicia({VTX_PROGRAM_PATH, "--report-startup"}, env);
    const std::string linha = EsperaLinha(p.saida, "janela exibida");
    janela.push_back(std::chrono::duration<double, std::milli>(Relogio::now() - t0).count());
    if (const auto pos = linha.find("rss_kb="); pos != std::string::npos)
      rss = std::stol(linha.substr(pos + 7));
    Termina(p, linha.empty());
  }
  Termina(suporte, true);
  fs::remove_all(pasta);

  const double mJanela = Mediana(janela), mBase = Mediana(base);
  std::printf("startup: window shown %.1f ms (median of %d; goal < 400 ms)\n", mJanela, kRodadas);
  std::printf("startup: baseline (program start without window) %.1f ms\n", mBase);
  std::printf("startup: ratio window/baseline %.2f\n", mJanela / mBase);
  std::printf("startup: resident memory at window shown %.1f MB (goal < 90 MB)\n", rss / 1024.0);
  return 0;
}
