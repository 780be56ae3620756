// The request pattern against an in-process HTTP server on 127.0.0.1 that records what it got.
#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <thread>

#include "app/web/cliente_http.h"
#include "app/web/erros.h"
#include "app/web/servico_suporte.h"

namespace vtx {
namespace {

class ServidorEco : public ::testing::Test {
 protected:
  void SetUp() override {
    servidor_.Post(R"(/api/sanctum/vorantelix/(\w+))", [this](const httplib::Request& q,
                                                              httplib::Response& r) {
      Grava(q);
      const std::string nome = q.matches[1];
      if (nome == "mensagem")
        r.set_content("", "text/plain");
      else if (nome == "cliente")
        r.set_content("  \r\n", "text/plain");
      else if (nome == "avalie")
        r.set_content("\xe9", "text/plain; charset=ISO-8859-1");
      else if (nome == "servico")
        r.set_content(R"({"anterior": 0, "lista": [{"id": 1}]})", "application/json");
      else
        r.set_content("ok", "text/plain");
    });
    servidor_.Post("/vorantelix/bot", [this](const httplib::Request& q, httplib::Response& r) {
      Grava(q);
      r.set_content("", "text/plain");
    });
    servidor_.Get(R"(/salto/(\d+))", [](const httplib::Request& q, httplib::Response& r) {
      const int n = std::stoi(q.matches[1]);
      if (n == 0) return r.set_content("fim", "text/plain");
      r.set_redirect("/salto/" + std::to_string(n - 1));
    });
    servidor_.Get("/falha", [](const httplib::Request&, httplib::Response& r) {
      r.status = 503;
      r.set_content("fora do ar", "text/plain");
    });
    servidor_.Get("/grande", [](const httplib::Request&, httplib::Response& r) {
      r.set_content(std::string(4096, 'x'), "application/octet-stream");
    });
    porta_ = servidor_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(porta_, 0);
    thread_ = std::thread([this] { servidor_.listen_after_bind(); });
    base_ = "http://127.0.0.1:" + std::to_string(porta_);
  }
  void TearDown() override {
    servidor_.stop();
    thread_.join();
  }

  void Grava(const httplib::Request& q) {
    std::lock_guard trava(trava_);
    ultimo_ = q;
  }
  httplib::Request Ultimo() {
    std::lock_guard trava(trava_);
    return ultimo_;
  }
  TServicoSuporte Servico() {
    TConfiguracao c = ConfiguracaoPadrao();
    c.urlSuporte = c.urlSuporteSegura = c.urlBot = base_;
    return TServicoSuporte(c);
  }

  httplib::Server servidor_;
  std::thread thread_;
  int porta_ = 0;
  std::string base_;
  std::mutex trava_;
  httplib::Request ultimo_;
};

TEST_F(ServidorEco, PedidoPadraoLevaFormularioEAsDuasLinhasDeCabecalho) {
  const TServicoSuporte s = Servico();
  EXPECT_EQ(s.GravaMensagem(4201, 57, "a b&c"), "");
  const httplib::Request q = Ultimo();
  EXPECT_EQ(q.body, "ID=4201&ID_USER=57&TYPE=1&MSG=a+b%26c");
  EXPECT_EQ(q.get_header_value("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(q.get_header_value("Accept"), "Application/json");
  EXPECT_EQ(q.get_header_value("Authorization"), "Bearer " + s.config().tokenBearer);
  EXPECT_EQ(q.get_header_value_count("Accept"), 1u);
  EXPECT_FALSE(q.has_header("Expect"));
}

TEST_F(ServidorEco, RespostasVaziasETextoDecodificado) {
  const TServicoSuporte s = Servico();
  EXPECT_FALSE(s.BuscaCliente("11222333000181").has_value());  // blanks only
  EXPECT_EQ(s.BuscaImagemAvaliacao(), "é");                    // ISO-8859-1 decoded
  EXPECT_TRUE(s.AtualizaServico(1, 2, 3));                     // "ok"
  EXPECT_FALSE(s.AnalistaOnline(1));                           // "ok" is not "1"
  EXPECT_THROW(s.BuscaServicos(0), EDocumentoInvalido);        // a key missing
}

TEST_F(ServidorEco, ChamadaDoRoboSemCabecalhosNemTls) {
  TServicoSuporte s = Servico();
  EXPECT_FALSE(s.ConsultaBot(101, 1001, "xml", "0").has_value());
  const httplib::Request q = Ultimo();
  EXPECT_EQ(q.body,
            "codigo=" + s.config().codigoAcesso + "&empresa=101&usuario=1001&id=xml&nivel=0");
  EXPECT_FALSE(q.has_header("Authorization"));
  EXPECT_NE(q.get_header_value("Accept"), "Application/json");

  TRequisicaoHttp tls;
  tls.url = "https://127.0.0.1:" + std::to_string(porta_) + "/";
  tls.permiteTls = false;
  EXPECT_THROW(ExecutaRequisicao(tls), EWebServico);
}

TEST_F(ServidorEco, RedirecionamentosAteQuinze) {
  TRequisicaoHttp r;
  r.url = base_ + "/salto/15";
  EXPECT_EQ(ExecutaRequisicao(r).corpo, "fim");
  r.url = base_ + "/salto/16";
  EXPECT_THROW(ExecutaRequisicao(r), EWebServico);
  // Without following, a redirect is not the document.
  r.url = base_ + "/salto/1";
  r.segueRedirecionamentos = false;
  EXPECT_THROW(ExecutaRequisicao(r), EWebServico);
}

TEST_F(ServidorEco, ErrosViramExcecaoComMensagem) {
  TRequisicaoHttp r;
  r.url = base_ + "/falha";
  try {
    ExecutaRequisicao(r);
    FAIL();
  } catch (const EWebServico& e) {
    EXPECT_EQ(e.status(), 503);
    EXPECT_NE(e.message().find("503"), std::string::npos);
  }
  r.url = base_ + "/grande";
  r.limiteCorpo = 1000;
  EXPECT_THROW(ExecutaRequisicao(r), EWebServico);
  r.url = "http://127.0.0.1:1/";  // nobody listens
  EXPECT_THROW(ExecutaRequisicao(r), EWebServico);
  r.url = "nada://x";
  EXPECT_THROW(ExecutaRequisicao(r), EWebServico);
}

}  // namespace
}  // namespace vtx
