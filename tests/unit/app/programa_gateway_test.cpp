// The program's way to the gateway with its default configuration: TLS with the certificate
// checked, never plain HTTP, and only to a configured gateway.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/janela_principal.h"
#include "app/laco_qt.h"
#include "app/portal_cliente_http.h"
#include "e2e/gateway_child.h"
#include "janela_teste.h"
#include "platform/system_info.h"

namespace vtx {
namespace {

namespace fs = std::filesystem;

// Accepts one connection on 127.0.0.1 and keeps the first bytes the client sends.
class Escuta {
 public:
  Escuta() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd_, 4) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n) != 0)
      throw std::runtime_error("escuta");
    porta_ = ntohs(a.sin_port);
    fio_ = std::thread([this] { Recebe(); });
  }
  ~Escuta() {
    fim_ = true;
    fio_.join();
    ::close(fd_);
  }
  std::string Porta() const { return std::to_string(porta_); }
  bool Recebeu() const { return pronto_; }
  std::string Bytes() const { return pronto_ ? bytes_ : std::string(); }

 private:
  void Recebe() {
    int c = -1;
    while (!fim_ && c < 0) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    while (!fim_ && c >= 0 && bytes_.size() < 64) {
      pollfd p{c, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char b[512];
      const ssize_t r = ::recv(c, b, sizeof b, 0);
      if (r <= 0) break;
      bytes_.append(b, static_cast<std::size_t>(r));
    }
    pronto_ = true;
    if (c >= 0) ::close(c);
  }

  int fd_ = -1;
  uint16_t porta_ = 0;
  std::string bytes_;
  std::atomic<bool> fim_{false}, pronto_{false};
  std::thread fio_;
};

bool Espera(const std::function<bool()>& pronto) {
  const auto fim = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!pronto() && std::chrono::steady_clock::now() < fim) {
    QApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pronto();
}

class Gateway : public teste::JanelaTeste {
 protected:
  void SetUp() override { CriaPasta("vtx-gateway-"); }
  void TearDown() override { fs::remove_all(pasta_); }
};

// With nothing but the defaults (no CA named), a gateway whose certificate the system does not
// trust is never logged into, and a listener that is not TLS sees a TLS greeting, not HTTP.
TEST_F(Gateway, PadraoFalaTlsEConfereOCertificado) {
  TLacoQt laco;
  const std::string senha = "fyduzAKrpRQdnnwXjRM", chave = "kgQWdXnb5mVpW";
  struct Caso {
    const char* nome;
    bool gatewayTls;  // a real gateway with its own certificate, else a bare listener
  };
  for (const Caso& caso : {Caso{"gateway TLS sem CA", true}, Caso{"ouvinte simples", false}}) {
    SCOPED_TRACE(caso.nome);
    std::unique_ptr<testing::GatewayChild> gateway;
    std::unique_ptr<Escuta> escuta;
    TConfiguracao c = ConfiguracaoPadrao();
    ASSERT_EQ(c.gatewayTls, "1");
    c.senhaLogin = senha;
    c.chaveDados = chave;
    if (caso.gatewayTls) {
      gateway = std::make_unique<testing::GatewayChild>(std::vector<std::string>{
          "--db", ":memory:", "--login-password", senha, "--secure-key", chave});
      c.portaGateway = gateway->port();
    } else {
      escuta = std::make_unique<Escuta>();
      c.portaGateway = escuta->Porta();
    }
    FixedSystemInfo sistema{"PC-TESTE", "usuario", "127.0.0.1"};
    TPortalClienteHttp portal(c, &sistema);
    bool entrou = false, erro = false;
    portal.PClient().OnLogIn = [&](TAbsPortalClient&) { entrou = true; };
    portal.PClient().OnError = [&](TAbsPortalClient&, const std::string&) { erro = true; };
    portal.PClient().OnFatalError = [&](TAbsPortalClient&, const std::string&) { erro = true; };
    portal.setGateAddr("127.0.0.1");
    portal.setLoginUserName("1004PC-TESTE");
    portal.setActive(true);
    if (caso.gatewayTls) {
      EXPECT_TRUE(Espera([&] { return erro; }));
    } else {
      ASSERT_TRUE(Espera([&] { return escuta->Recebeu(); }));
      const std::string bytes = escuta->Bytes();
      ASSERT_FALSE(bytes.empty());
      EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x16);  // a TLS handshake record
      for (const char* http : {"HTTP/1.", "POST ", "GET ", "Host:"})
        EXPECT_EQ(bytes.find(http), std::string::npos) << http;
    }
    EXPECT_FALSE(entrou);
    EXPECT_FALSE(portal.PClient().Connected());
    portal.setActive(false);
    portal.Stop();
  }
}

// The company record names the gateway; one that is not configured is refused, the session stays
// on the current gateway and the status and the log say so.
TEST_F(Gateway, GatewayDoCadastroSoSeForConfigurado) {
  struct Caso {
    const char* servidor;
    bool aceito;
  };
  for (const Caso& caso :
       {Caso{"127.0.0.1", true}, Caso{"PORTAL1.vorantelix.example", true},
        Caso{"203.0.113.7", false}, Caso{"portal.vorantelix.example.evil", false}}) {
    SCOPED_TRACE(caso.servidor);
    teste::SuporteProcesso suporte({"--gateway", std::string(caso.servidor) + ":4433"});
    TAmbiente a;
    a.config = suporte.Config();
    a.pastas = TPastas{pasta_ / "dados", pasta_ / "prog"};
    auto registro = std::make_unique<TPortalClienteRegistro>("portal.padrao", "1025");
    TPortalClienteRegistro& portal = *registro;
    a.portal = std::move(registro);
    std::vector<QString> caixas;
    a.dialogos = std::make_unique<teste::DialogosGravados>(&caixas, true);
    auto janela = std::make_unique<TfmVorantelix>(std::move(a));
    janela->show();
    QApplication::processEvents();
    QTest::keyClicks(janela->findChild<QLineEdit*>(QStringLiteral("cnpj")),
                     QStringLiteral("33444555000103"));
    ASSERT_EQ(janela->findChild<QLineEdit*>(QStringLiteral("razao"))->text(),
              QStringLiteral("Auto Peças Veloz Eireli"));
    std::stringstream log;
    log << std::ifstream(TPastas{pasta_ / "dados", pasta_ / "prog"}.ArquivoLogDeHoje()).rdbuf();
    if (caso.aceito) {
      EXPECT_EQ(portal.GateAddr(), caso.servidor);
      EXPECT_EQ(portal.GatePort(), "4433");
      EXPECT_EQ(janela->TextoStatus(),
                QString::fromStdString(std::string(caso.servidor) + ":4433"));
      EXPECT_EQ(log.str().find("recusado"), std::string::npos);
    } else {
      EXPECT_EQ(portal.GateAddr(), "portal.padrao");
      EXPECT_EQ(portal.GatePort(), "1025");
      EXPECT_TRUE(janela->TextoStatus().startsWith(QStringLiteral("Servidor recusado: ")))
          << janela->TextoStatus().toStdString();
      EXPECT_NE(log.str().find(std::string("recusado (não configurado): \"") + caso.servidor),
                std::string::npos)
          << log.str();
    }
    janela.reset();
    fs::remove_all(pasta_ / "dados");
  }
}

}  // namespace
}  // namespace vtx
