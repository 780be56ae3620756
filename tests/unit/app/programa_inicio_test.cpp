// Start-up of the real program: the self-update check against a real vorantelix-supportd.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "app/arquivos.h"
#include "suporte_processo.h"

namespace vtx {
namespace {

namespace fs = std::filesystem;

struct Resultado {
  int status = -1;
  std::string saida;
};

// Runs the program with the environment given; kills it after 30 s.
Resultado Executa(std::vector<std::string> env, std::vector<std::string> args) {
  args.insert(args.begin(), VTX_PROGRAM_PATH);
  std::vector<std::string> ambiente = env;
  ambiente.push_back("QT_QPA_PLATFORM=offscreen");
  ambiente.push_back("LSAN_OPTIONS=suppressions=" VTX_LSAN_SUPP);
  for (char** e = environ; *e; ++e) {
    const std::string v = *e;
    if (v.rfind("VORANTELIX_", 0) != 0 && v.rfind("QT_QPA_PLATFORM=", 0) != 0 &&
        v.rfind("LSAN_OPTIONS=", 0) != 0)
      ambiente.push_back(v);
  }
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : ambiente) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  int tubo[2];
  if (::pipe(tubo) != 0) return {};
  posix_spawn_file_actions_t acoes;
  posix_spawn_file_actions_init(&acoes);
  posix_spawn_file_actions_adddup2(&acoes, tubo[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&acoes, tubo[0]);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &acoes, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&acoes);
  ::close(tubo[1]);
  Resultado r;
  if (rc != 0) return r;
  const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  char buf[512];
  for (;;) {
    pollfd p{tubo[0], POLLIN, 0};
    if (std::chrono::steady_clock::now() > limite) {
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(&p, 1, 100) > 0) {
      const ssize_t n = ::read(tubo[0], buf, sizeof buf);
      if (n <= 0) break;
      r.saida.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(tubo[0]);
  ::waitpid(pid, &r.status, 0);
  return r;
}

class Inicio : public ::testing::Test {
 protected:
  void SetUp() override {
    pasta_ = fs::temp_directory_path() /
             ("vtx-inicio-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(pasta_);
    fs::create_directories(pasta_ / "home");
    marca_ = pasta_ / "instalador-rodou";
    instalador_ = pasta_ / "instalador.sh";
    std::ofstream(instalador_) << "#!/bin/sh\necho rodou > '" << marca_.string() << "'\n";
  }
  void TearDown() override { fs::remove_all(pasta_); }

  Resultado Inicia(teste::SuporteProcesso& s) {
    std::ofstream cfg(pasta_ / "cfg.json");
    cfg << R"({"urlSuporte": ")" << s.Config().urlSuporte << R"(", "urlSuporteSegura": ")"
        << s.Config().urlSuporteSegura << R"(", "arquivoCA": ")" << s.Config().arquivoCA
        << R"(", "pastaPrograma": ")" << (pasta_ / "prog").string() << R"("})";
    cfg.close();
    return Executa({"VORANTELIX_HOME=" + (pasta_ / "home").string(),
                    "VORANTELIX_CONFIG=" + (pasta_ / "cfg.json").string()},
                   {"--report-startup"});
  }

  bool EsperaMarca() {
    for (int i = 0; i < 100 && !fs::exists(marca_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return fs::exists(marca_);
  }

  fs::path pasta_, marca_, instalador_;
};

TEST_F(Inicio, VersaoMaiorBaixaEIniciaOInstaladorESai) {
  const fs::path antigo = pasta_ / "home" / "INBOX" / "INST_VORANTELIX.EXE";
  fs::create_directories(antigo.parent_path());
  std::ofstream(antigo) << "instalador velho";
  teste::SuporteProcesso s(
      std::vector<std::string>{"--version-build", "5069", "--installer", instalador_.string()});
  const Resultado r = Inicia(s);
  EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.status;
  EXPECT_EQ(r.saida.find("janela exibida"), std::string::npos);  // ended before the window
  EXPECT_TRUE(EsperaMarca());
  EXPECT_EQ(LeArquivoTexto(antigo), LeArquivoTexto(instalador_));
}

TEST_F(Inicio, SemAtualizacaoAbreAJanela) {
  for (const char* versao : {"5068", "0", "-3"}) {
    teste::SuporteProcesso s(
        std::vector<std::string>{"--version-build", versao, "--installer", instalador_.string()});
    const Resultado r = Inicia(s);
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << versao;
    EXPECT_NE(r.saida.find("janela exibida"), std::string::npos) << versao;
    EXPECT_FALSE(fs::exists(pasta_ / "home" / "INBOX" / "INST_VORANTELIX.EXE")) << versao;
  }
  EXPECT_TRUE(fs::is_directory(pasta_ / "home" / "INBOX"));
  EXPECT_FALSE(fs::exists(marca_));
}

TEST_F(Inicio, FalhaDaVerificacaoESilenciosa) {
  teste::SuporteProcesso s(
      std::vector<std::string>{"--version-build", "9999", "--installer", instalador_.string()});
  s.Para();  // nobody answers
  const Resultado r = Inicia(s);
  EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0);
  EXPECT_NE(r.saida.find("janela exibida"), std::string::npos);
  EXPECT_FALSE(fs::exists(marca_));
}

TEST(Envio, SemProgramaEmExecucaoFalhaComMensagem) {
  const Resultado r = Executa({"VORANTELIX_HOME=/tmp/vtx-ninguem-" + std::to_string(::getpid())},
                              {"--send", "2024"});
  EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1);
  const Resultado ruim = Executa({}, {"--send", "12"});
  EXPECT_TRUE(WIFEXITED(ruim.status) && WEXITSTATUS(ruim.status) == 2);
}

}  // namespace
}  // namespace vtx
