// Screenshots of the real program's main states on a real X server (Xvfb), compared by size and
// a few pixels. Skipped when Xvfb cannot start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <QImage>
#include <chrono>
#include <fstream>

#include "suporte_processo.h"

namespace vtx {
namespace {

namespace fs = std::filesystem;

// An Xvfb on a display it picks itself; killed on destruction.
class Xvfb {
 public:
  Xvfb() {
    int tubo[2];
    if (::pipe(tubo) != 0) return;
    posix_spawn_file_actions_t acoes;
    posix_spawn_file_actions_init(&acoes);
    posix_spawn_file_actions_adddup2(&acoes, tubo[1], 3);
    posix_spawn_file_actions_addopen(&acoes, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"Xvfb",         "-displayfd", "3",   "-screen", "0",
                          "1280x1024x24", "-nolisten",  "tcp", nullptr};
    const int rc = posix_spawnp(&pid_, "Xvfb", &acoes, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&acoes);
    ::close(tubo[1]);
    if (rc != 0) {
      pid_ = -1;
      ::close(tubo[0]);
      return;
    }
    std::string numero;
    pollfd p{tubo[0], POLLIN, 0};
    char c;
    while (::poll(&p, 1, 10000) > 0 && ::read(tubo[0], &c, 1) == 1 && c != '\n') numero += c;
    ::close(tubo[0]);
    if (!numero.empty()) display_ = ":" + numero;
  }
  ~Xvfb() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

int Executa(std::vector<std::string> args, std::vector<std::string> env) {
  env.push_back("LSAN_OPTIONS=suppressions=" VTX_LSAN_SUPP);
  for (char** e = environ; *e; ++e) {
    const std::string v = *e;
    if (v.rfind("VORANTELIX_", 0) != 0 && v.rfind("QT_QPA_PLATFORM=", 0) != 0 &&
        v.rfind("LSAN_OPTIONS=", 0) != 0 && v.rfind("DISPLAY=", 0) != 0)
      env.push_back(v);
  }
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
  int status = 0;
  for (int i = 0; i < 600; ++i) {  // at most 60 s
    if (::waitpid(pid, &status, WNOHANG) == pid) return status;
    ::usleep(100000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

QColor Pixel(const QImage& img, int x, int y) {
  return img.pixelColor(x, y);
}

TEST(Telas, EstadosPrincipaisNoServidorX) {
  Xvfb x;
  if (x.display().empty()) GTEST_SKIP() << "Xvfb não iniciou";
  teste::SuporteProcesso suporte(std::vector<std::string>{});
  const fs::path pasta = suporte.pasta() / "telas";
  fs::create_directories(pasta / "home");
  {
    std::ofstream cfg(pasta / "cfg.json");
    cfg << R"({"urlSuporte": ")" << suporte.Config().urlSuporte << R"(", "urlSuporteSegura": ")"
        << suporte.Config().urlSuporteSegura << R"(", "arquivoCA": ")" << suporte.Config().arquivoCA
        << R"(", "pastaPrograma": ")" << (pasta / "prog").string() << R"("})";
    std::ofstream(pasta / "roteiro")
        << "espera 200\ncaptura inicio\ndigita 33444555000103\ntecla Enter\ntecla Enter\n"
           "espera 200\ncaptura chamados\nclica btNovoChamado\ncaptura catalogo\nsai\n";
  }
  const int status = Executa({VTX_PROGRAM_PATH, "--demo-script", (pasta / "roteiro").string(),
                              "--demo-out", (pasta / "png").string()},
                             {"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb",
                              "VORANTELIX_HOME=" + (pasta / "home").string(),
                              "VORANTELIX_CONFIG=" + (pasta / "cfg.json").string()});
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  const QColor teal(0, 128, 128), prata(192, 192, 192);
  for (const char* nome : {"inicio", "chamados", "catalogo"}) {
    const QImage img(
        QString::fromStdString((pasta / "png" / (std::string(nome) + ".png")).string()));
    ASSERT_FALSE(img.isNull()) << nome;
    EXPECT_EQ(img.size(), QSize(457, 720)) << nome;
    EXPECT_EQ(Pixel(img, 300, 11), teal) << nome;   // title bar
    EXPECT_EQ(Pixel(img, 325, 11), prata) << nome;  // sending lamp, silver at start
    EXPECT_EQ(Pixel(img, 343, 11), prata) << nome;  // receiving lamp
    EXPECT_EQ(Pixel(img, 3, 240), teal) << nome;    // connection page
  }
  // The ticket list's panel is yellow; the catalogue's is teal again.
  const QImage chamados(QString::fromStdString((pasta / "png" / "chamados.png").string()));
  EXPECT_EQ(Pixel(chamados, 3, 22 + 289 + 20), QColor(Qt::yellow));
  const QImage catalogo(QString::fromStdString((pasta / "png" / "catalogo.png").string()));
  EXPECT_EQ(Pixel(catalogo, 3, 22 + 289 + 20), teal);
}

// The bot, service change and rating windows beside the main window, each captured on screen.
TEST(Telas, OutrasJanelasNoServidorX) {
  Xvfb x;
  if (x.display().empty()) GTEST_SKIP() << "Xvfb não iniciou";
  teste::SuporteProcesso suporte(std::vector<std::string>{});
  const fs::path pasta = suporte.pasta() / "telas";
  fs::create_directories(pasta / "home");
  {
    std::ofstream cfg(pasta / "cfg.json");
    cfg << R"({"urlSuporte": ")" << suporte.Config().urlSuporte << R"(", "urlBot": ")"
        << suporte.Config().urlBot << R"(", "urlSuporteSegura": ")"
        << suporte.Config().urlSuporteSegura << R"(", "arquivoCA": ")" << suporte.Config().arquivoCA
        << R"(", "pastaPrograma": ")" << (pasta / "prog").string() << R"("})";
    std::ofstream(pasta / "roteiro")
        << "espera 500\ncaptura principal\ndigita 11222333000181\ntecla Enter\ntecla Enter\n"
           "digita pão&café 1\ntecla Enter\nespera 500\njanela fmVorantelixBot\ncaptura bot\n"
           "janela principal\nclica lServico\nespera 200\njanela fmServico\ncaptura servico\n"
           "tecla Escape\njanela principal\navaliacao 4201\nespera 500\njanela fmAvaliacao\n"
           "captura avaliacao\nclica btSair\njanela principal\nsai\n";
  }
  const int status = Executa({VTX_PROGRAM_PATH, "--demo-script", (pasta / "roteiro").string(),
                              "--demo-out", (pasta / "png").string()},
                             {"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb",
                              "VORANTELIX_HOME=" + (pasta / "home").string(),
                              "VORANTELIX_CONFIG=" + (pasta / "cfg.json").string()});
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  auto le = [&](const char* nome) {
    return QImage(QString::fromStdString((pasta / "png" / (std::string(nome) + ".png")).string()));
  };
  const QColor teal(0, 128, 128), branco(Qt::white);
  const QImage principal = le("principal"), bot = le("bot"), servico = le("servico"),
               avaliacao = le("avaliacao");
  ASSERT_FALSE(principal.isNull() || bot.isNull() || servico.isNull() || avaliacao.isNull());
  EXPECT_EQ(principal.size(), QSize(457, 720));
  // The advertisement's own picture: a white frame, not the placeholder.
  EXPECT_EQ(Pixel(principal, 8 + 1, 22 + 4 + 1), branco);
  EXPECT_EQ(bot.size(), QSize(457, 570));
  EXPECT_EQ(Pixel(bot, 300, 11), teal);                         // title bar
  EXPECT_EQ(Pixel(bot, 400, 570 - 18), QColor(240, 240, 240));  // input bar
  EXPECT_EQ(Pixel(bot, 17, 200), teal);                         // the answer's bubble
  EXPECT_EQ(servico.size(), QSize(457, 377));
  EXPECT_EQ(Pixel(servico, 3, 200), teal);
  EXPECT_EQ(Pixel(servico, 300, 200), branco);  // the list
  EXPECT_EQ(avaliacao.size(), QSize(507, 301));
  EXPECT_EQ(Pixel(avaliacao, 3, 290), branco);
  // The downloaded animation's bands (navy, orange, teal in some order) fill the picture.
  const QColor faixa = Pixel(avaliacao, 8 + 80, 64 + 100);
  EXPECT_TRUE(faixa == QColor(0, 0, 128) || faixa == QColor(255, 140, 0) || faixa == teal)
      << faixa.name().toStdString();
}

}  // namespace
}  // namespace vtx
