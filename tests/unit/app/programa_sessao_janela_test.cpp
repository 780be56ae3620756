// The program's window in a whole gateway session: the real window under Qt's offscreen
// platform with its own portal client and modules, a real gateway and stand-in, and an analyst
// peer logged into the same gateway with the chat and custom command modules.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/janela_principal.h"
#include "app/laco_qt.h"
#include "app/lampada.h"
#include "app/portal_cliente_http.h"
#include "e2e/gateway_child.h"
#include "janela_teste.h"
#include "platform/system_info.h"
#include "portal/custom_command.h"
#include "portal/portal_chat.h"

namespace vtx {
namespace {

namespace fs = std::filesystem;
constexpr const char* kSenha = "fyduzAKrpRQdnnwXjRM";
constexpr const char* kChave = "kgQWdXnb5mVpW";

bool Espera(const std::function<bool()>& pronto) {
  const auto fim = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!pronto() && std::chrono::steady_clock::now() < fim) {
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pronto();
}

// The analyst: its own portal client on the same gateway, events on its own threads.
struct Analista {
  Analista(const testing::GatewayChild& gw, const std::string& nome) {
    c.setGateAddr("127.0.0.1");
    c.setGatePort(gw.port());
    c.setGate_SSL(true);
    c.setGate_SSLCAFile(gw.caFile());
    c.setMultiThreaded(true);
    c.setAutoSyncEvents(false);
    c.setDataEncrypt(16);
    c.setDataForceEncrypt(true);
    c.setDataSecureKey(kChave);
    c.setDataCompress(TrtcpCompressLevel::rtcpCompMax);
    c.setLoginPassword(kSenha);
    c.setLoginUserName(nome);
    c.setUserNotify(true);
    c.OnUserLoggedIn = [this](TAbsPortalClient&, const std::string& u) {
      std::lock_guard g(lock);
      entradas.push_back(u);
    };
    chat.On_ChatMessageLine = [this](TRtcPChat&, const std::string&, const std::string&,
                                     const std::string& linha) {
      std::lock_guard g(lock);
      linhas.push_back(linha);
    };
    chat.setClient(&c);
    comando.setClient(&c);
    c.setActive(true);
  }
  ~Analista() {
    c.setActive(false);
    c.Stop();
    chat.setClient(nullptr);
    comando.setClient(nullptr);
  }
  int Entradas(const std::string& u) {
    std::lock_guard g(lock);
    return static_cast<int>(std::count(entradas.begin(), entradas.end(), u));
  }

  FixedSystemInfo sistema{"PC-ANALISTA", "analista", "127.0.0.1"};
  TRtcHttpPortalClient c{&sistema};
  TRtcPChat chat;
  TRtcPCustomCommand comando;
  std::mutex lock;
  std::vector<std::string> entradas, linhas;
  std::vector<std::string> Linhas() {
    std::lock_guard g(lock);
    return linhas;
  }
};

struct Avaliacoes : TJanelasAuxiliares {
  std::vector<std::string>* chamados;
  explicit Avaliacoes(std::vector<std::string>* c) : chamados(c) {}
  void MostraAvaliacao(QWidget*, const std::string& id) override { chamados->push_back(id); }
};

struct Executor : TExecutor {
  std::vector<std::string>* iniciados;
  explicit Executor(std::vector<std::string>* i) : iniciados(i) {}
  bool Instalado(const std::string& p) const override { return p == "pavucontrol"; }
  bool Inicia(const std::vector<std::string>& a) override {
    iniciados->push_back(a.front());
    return true;
  }
};

class SessaoJanela : public teste::JanelaTeste {
 protected:
  void SetUp() override { CriaPasta("vtx-sessao-janela-"); }
  void TearDown() override {
    janela_.reset();
    fs::remove_all(pasta_);
  }
  template <class T>
  T* W(const char* nome) {
    T* w = janela_->findChild<T*>(QString::fromLatin1(nome));
    EXPECT_NE(w, nullptr) << nome;
    return w;
  }
  std::string Log() {
    std::stringstream s;
    s << std::ifstream(TPastas{pasta_ / "dados", pasta_ / "prog"}.ArquivoLogDeHoje()).rdbuf();
    return s.str();
  }

  std::unique_ptr<TfmVorantelix> janela_;
  std::vector<std::string> avaliacoes_, iniciados_;
};

// Opens the window with the program's own portal client.
std::unique_ptr<TfmVorantelix> AbreJanela(const TConfiguracao& config, const TPastas& pastas,
                                          std::unique_ptr<TPortalClienteHttp> portal,
                                          std::vector<std::string>* avaliacoes,
                                          std::vector<std::string>* iniciados,
                                          std::vector<QString>* caixas) {
  TAmbiente a;
  a.config = config;
  a.pastas = pastas;
  a.portal = std::move(portal);
  a.dialogos = std::make_unique<teste::DialogosGravados>(caixas, true);
  a.auxiliares = std::make_unique<Avaliacoes>(avaliacoes);
  a.executor = std::make_unique<Executor>(iniciados);
  auto j = std::make_unique<TfmVorantelix>(std::move(a));
  j->show();
  QApplication::processEvents();
  return j;
}

TEST_F(SessaoJanela, UmaSessaoComOAnalista) {
  TLacoQt laco;
  testing::GatewayChild gateway({"--db", ":memory:", "--login-password", kSenha, "--secure-key",
                                 kChave, "--force-encryption"});
  teste::SuporteProcesso suporte({"--gateway", "127.0.0.1:" + gateway.port()});
  TConfiguracao config = suporte.Config();
  config.senhaLogin = kSenha;
  config.chaveDados = kChave;
  config.arquivoCAGateway = gateway.caFile();
  FixedSystemInfo sistema{"PC-TESTE", "usuario", "127.0.0.1"};
  auto proprio = std::make_unique<TPortalClienteHttp>(config, &sistema);
  TPortalClienteHttp& portal = *proprio;
  std::vector<QString> caixas;
  janela_ = AbreJanela(config, TPastas{pasta_ / "dados", pasta_ / "prog"}, std::move(proprio),
                       &avaliacoes_, &iniciados_, &caixas);
  TfmVorantelix& j = *janela_;

  // A file dropped before any session: not sent.
  j.EnviaArquivosSoltos({"/etc/hostname"});
  EXPECT_EQ(Log().find("Usuário vazio"), std::string::npos);

  // Reopens ticket 4201: logged in, started, the ticket page shown.
  QTest::keyClicks(W<QLineEdit>("cnpj"), QStringLiteral("33444555000103"));
  QTest::keyClick(W<QComboBox>("cbUsuarios"), Qt::Key_Return);
  QTest::keyClick(W<QTreeWidget>("listChamados"), Qt::Key_Return);
  QTest::keyClick(W<QPushButton>("btReabrir"), Qt::Key_Return);
  ASSERT_TRUE(Espera([&] { return j.TextoStatus() == QStringLiteral("Conectado!"); }))
      << j.TextoStatus().toStdString();
  const std::string host = portal.LoginUserName();
  EXPECT_EQ(j.ID_CHAMADO_ATUAL(), "4201");
  EXPECT_EQ(W<QStackedWidget>("page")->currentWidget()->objectName(), "tsChamado");
  EXPECT_TRUE(W<QPushButton>("btDesconectar")->isVisible());
  EXPECT_TRUE(W<QLabel>("lChamado")->text().startsWith(QStringLiteral("004201 ")));
  EXPECT_TRUE(W<QLabel>("lAguarde")->isVisible());
  EXPECT_FALSE(W<QPlainTextEdit>("edtMsg")->isVisible());
  EXPECT_TRUE(j.AceitaArquivos());
  // The lamps follow live channels.
  const std::vector<QColor> vivas = {QColor(0, 0, 128), QColor(0, 128, 0), QColor(0, 255, 0)};
  for (const char* lampada : {"sStatus1", "sStatus2"}) {
    const QColor cor = W<TLampada>(lampada)->Preenchimento();
    EXPECT_NE(std::find(vivas.begin(), vivas.end(), cor), vivas.end())
        << lampada << " " << cor.name().toStdString();
  }

  // The analyst opens the chat: present, the message box shown.
  Analista analista(gateway, "maria");
  ASSERT_TRUE(Espera([&] { return analista.c.LoggedIn(); }));
  analista.chat.Open(host);
  ASSERT_TRUE(Espera([&] { return !j.Analistas().empty(); }));
  EXPECT_EQ(j.Analistas(), std::vector<std::string>{"maria"});
  EXPECT_FALSE(W<QLabel>("lAguarde")->isVisible());
  EXPECT_TRUE(W<QPlainTextEdit>("edtMsg")->isVisible());
  // The history in order after the welcome text; the analyst's line appears below it, and the
  // customer's message is stored by the stand-in and reaches the analyst.
  ASSERT_TRUE(Espera([&] { return j.LinhasDoChat().size() >= 3 + 6; }));
  QStringList linhas = j.LinhasDoChat();
  EXPECT_TRUE(linhas[0].startsWith(QStringLiteral("Olá, seja bem vindo")));
  EXPECT_EQ(
      linhas.mid(3, 6),
      (QStringList{"Diego Martins", "02/12/2026 09:15:30", "O caixa trava ao fechar a venda.",
                   "Marcos Analista", "02/12/2026 09:17:02", "Bom dia! Vou acessar sua máquina."}));
  // The analyst's picture arrives in the background; analyst 501 is online.
  EXPECT_TRUE(Espera([&] { return !W<QLabel>("imgAnalista")->pixmap().isNull(); }));
  EXPECT_TRUE(W<QLabel>("lAnalistOffline")->isHidden());
  const auto historico = linhas.size();
  analista.chat.Send(host, "11/12/2026 10:00:00|Maria|Pode testar agora?|57\r");
  ASSERT_TRUE(Espera([&] { return j.LinhasDoChat().size() >= historico + 3; }));
  EXPECT_EQ(j.LinhasDoChat().mid(historico),
            (QStringList{"Maria", "11/12/2026 10:00:00", "Pode testar agora?"}));
  W<QPlainTextEdit>("edtMsg")->setPlainText(QStringLiteral("Funcionou|\nobrigado"));
  QTest::mouseClick(W<QPushButton>("btEnviar"), Qt::LeftButton);
  EXPECT_TRUE(W<QPlainTextEdit>("edtMsg")->toPlainText().isEmpty());
  EXPECT_EQ(j.LinhasDoChat().back(), QStringLiteral("Funcionouobrigado"));
  // The analyst's own line comes back to it as well; the customer's follows.
  const auto doCliente = [&] {
    for (const std::string& l : analista.Linhas())
      if (l.find("|Diego Martins|Funcionouobrigado|1004\r") != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(Espera(doCliente));
  // Enter sends what was typed and never breaks the line; a 501st character is not taken.
  auto* caixa = W<QPlainTextEdit>("edtMsg");
  QTest::keyClicks(caixa, QStringLiteral("Outra"));
  QTest::keyClick(caixa, Qt::Key_Return);
  EXPECT_TRUE(caixa->toPlainText().isEmpty());
  EXPECT_EQ(j.LinhasDoChat().back(), QStringLiteral("Outra"));
  QTest::keyClicks(caixa, QString(501, QLatin1Char('a')));
  EXPECT_EQ(caixa->toPlainText().size(), 500);
  caixa->clear();
  TServicoSuporte web(suporte.Config());
  const TListaChats chats = web.BuscaChat(4201);
  ASSERT_FALSE(chats.lista.empty());
  ASSERT_GE(chats.lista.size(), 2u);
  EXPECT_EQ(chats.lista[chats.lista.size() - 2].msg, "Funcionouobrigado");
  EXPECT_EQ(chats.lista.back().msg, "Outra");
  // A drop with no analyst at the mouse is logged and ignored.
  j.EnviaArquivosSoltos({std::string(5000, 'x')});
  EXPECT_NE(Log().find("Usuário vazio "), std::string::npos);

  // Commands: lower case ignored, a tool started through its stand-in, the analyst's notice.
  analista.comando.SendCustomMessage(host, "<cp_som>");
  analista.comando.SendCustomMessage(host, "<CP_SOM>");
  analista.comando.SendCustomMessage(host, "<CP_FIREWALL>");
  analista.comando.SendCustomMessage(host, "changeanalista|x|4201|57|Maria Souza");
  ASSERT_TRUE(Espera([&] { return W<QLabel>("lAnalista")->text() == "Maria Souza"; }));
  EXPECT_EQ(iniciados_, std::vector<std::string>{"pavucontrol"});
  EXPECT_NE(Log().find("\"control.exe firewall.cpl\": gufw"), std::string::npos);
  EXPECT_EQ(j.chamadoAtual().id_analista, 57);

  // An error ends the session (the rating window for the ticket) and starts it again, after the
  // event, with the same login name and ticket: the analyst sees the customer log in again.
  const int entradas = analista.Entradas(host);
  j.SessaoErro("falha de teste");
  EXPECT_EQ(avaliacoes_, std::vector<std::string>{"4201"});
  EXPECT_FALSE(portal.Active());
  ASSERT_TRUE(Espera([&] {
    return j.TextoStatus() == QStringLiteral("Conectado!") && analista.Entradas(host) > entradas;
  })) << j.TextoStatus().toStdString();
  EXPECT_EQ(portal.LoginUserName(), host);
  EXPECT_EQ(j.ID_CHAMADO_ATUAL(), "4201");
  EXPECT_EQ(j.chamadoAtual().id, 4201);

  // "<CLOSE_HOST>" with more fields ends the session after the command's event.
  analista.comando.SendCustomMessage(host, "<CLOSE_HOST>|x|y");
  ASSERT_TRUE(Espera([&] { return j.TextoStatus() == QStringLiteral("Desconectado"); }))
      << j.TextoStatus().toStdString();
  EXPECT_FALSE(portal.Active());
  EXPECT_EQ(avaliacoes_, (std::vector<std::string>{"4201", "4201"}));
  janela_.reset();
}

// A company read from the cache while the support service is down: the session starts without a
// ticket, and its end never shows the rating window.
TEST_F(SessaoJanela, SessaoOfflineNaoMostraAAvaliacao) {
  TLacoQt laco;
  testing::GatewayChild gateway({"--db", ":memory:", "--login-password", kSenha, "--secure-key",
                                 kChave, "--force-encryption"});
  const TPastas pastas{pasta_ / "dados", pasta_ / "prog"};
  TConfiguracao config;
  std::vector<QString> caixas;
  FixedSystemInfo sistema{"PC-TESTE", "usuario", "127.0.0.1"};
  {
    teste::SuporteProcesso suporte({"--gateway", "127.0.0.1:" + gateway.port()});
    config = suporte.Config();
    config.senhaLogin = kSenha;
    config.chaveDados = kChave;
    config.arquivoCAGateway = gateway.caFile();
    janela_ = AbreJanela(config, pastas, std::make_unique<TPortalClienteHttp>(config, &sistema),
                         &avaliacoes_, &iniciados_, &caixas);
    QTest::keyClicks(W<QLineEdit>("cnpj"), QStringLiteral("33444555000103"));
    ASSERT_TRUE(janela_->cliente().online);
    janela_.reset();
  }
  auto proprio = std::make_unique<TPortalClienteHttp>(config, &sistema);
  TPortalClienteHttp& portal = *proprio;
  janela_ = AbreJanela(config, pastas, std::move(proprio), &avaliacoes_, &iniciados_, &caixas);
  TfmVorantelix& j = *janela_;
  W<QLineEdit>("cnpj")->clear();  // the last one typed comes back from the settings
  QTest::keyClicks(W<QLineEdit>("cnpj"), QStringLiteral("33444555000103"));
  ASSERT_FALSE(j.cliente().online);
  ASSERT_GT(W<QComboBox>("cbUsuarios")->count(), 0);
  QTest::keyClick(W<QComboBox>("cbUsuarios"), Qt::Key_Return);
  QTest::keyClick(W<QTreeWidget>("listServicos"), Qt::Key_Return);
  W<QPushButton>("btConectar")->click();
  ASSERT_TRUE(Espera([&] { return j.TextoStatus() == QStringLiteral("Conectado!"); }))
      << j.TextoStatus().toStdString();
  EXPECT_TRUE(j.ID_CHAMADO_ATUAL().empty());
  EXPECT_TRUE(W<QLabel>("lChamado")->text().isEmpty());
  EXPECT_EQ(j.LinhasDoChat().size(), 3);  // the welcome text, no history
  Analista analista(gateway, "maria");
  ASSERT_TRUE(Espera([&] { return analista.c.LoggedIn(); }));
  analista.comando.SendCustomMessage(portal.LoginUserName(), "<CLOSE_HOST>");
  ASSERT_TRUE(Espera([&] { return j.TextoStatus() == QStringLiteral("Desconectado"); }));
  EXPECT_TRUE(avaliacoes_.empty());
  janela_.reset();
}

// The window closed while its session runs: the client logs out as it goes, and its events reach
// no window.
TEST_F(SessaoJanela, JanelaFechadaDuranteASessao) {
  TLacoQt laco;
  testing::GatewayChild gateway({"--db", ":memory:", "--login-password", kSenha, "--secure-key",
                                 kChave, "--force-encryption"});
  teste::SuporteProcesso suporte({"--gateway", "127.0.0.1:" + gateway.port()});
  TConfiguracao config = suporte.Config();
  config.senhaLogin = kSenha;
  config.chaveDados = kChave;
  config.arquivoCAGateway = gateway.caFile();
  FixedSystemInfo sistema{"PC-TESTE", "usuario", "127.0.0.1"};
  std::vector<QString> caixas;
  for (int vez = 0; vez < 3; ++vez) {
    janela_ = AbreJanela(config, TPastas{pasta_ / "dados", pasta_ / "prog"},
                         std::make_unique<TPortalClienteHttp>(config, &sistema), &avaliacoes_,
                         &iniciados_, &caixas);
    W<QLineEdit>("cnpj")->clear();
    QTest::keyClicks(W<QLineEdit>("cnpj"), QStringLiteral("33444555000103"));
    QTest::keyClick(W<QComboBox>("cbUsuarios"), Qt::Key_Return);
    QTest::keyClick(W<QTreeWidget>("listChamados"), Qt::Key_Return);
    QTest::keyClick(W<QPushButton>("btReabrir"), Qt::Key_Return);
    if (vez > 0) {  // the first time closes it while logging in
      ASSERT_TRUE(Espera([&] { return janela_->TextoStatus() == QStringLiteral("Conectado!"); }));
    }
    janela_.reset();
    QApplication::processEvents();
  }
  EXPECT_TRUE(avaliacoes_.empty());
}

}  // namespace
}  // namespace vtx
