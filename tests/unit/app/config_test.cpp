#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "app/web/config.h"
#include "app/web/erros.h"

namespace vtx {
namespace {

TEST(Configuracao, PadroesValidosEUrlsDerivadas) {
  const TConfiguracao c = ConfiguracaoPadrao();
  EXPECT_NO_THROW(ValidaConfiguracao(c));
  EXPECT_EQ(c.urlSuporte, "http://suporte.vorantelix.example");
  EXPECT_EQ(c.urlSuporteSegura, "https://suporte.vorantelix.example");
  EXPECT_EQ(c.urlBot, "http://www.suporte.vorantelix.example");
  EXPECT_TRUE(c.arquivoCA.empty());
}

TEST(Configuracao, ArquivoSobrepoeOsPadroes) {
  const TConfiguracao c = LeConfiguracao(R"({"_nota": "teste", "hostSuporte": "h.example",
      "urlSuporteSegura": "https://127.0.0.1:8443/", "arquivoCA": "/tmp/ca.pem",
      "codigoAcesso": "123456"})");
  EXPECT_EQ(c.urlSuporte, "http://h.example");
  EXPECT_EQ(c.urlBot, "http://www.h.example");
  EXPECT_EQ(c.urlSuporteSegura, "https://127.0.0.1:8443");
  EXPECT_EQ(c.codigoAcesso, "123456");
  EXPECT_EQ(c.tokenBearer, ConfiguracaoPadrao().tokenBearer);
  EXPECT_EQ(c.gatewayTls, "1");  // TLS unless plain is asked for
  EXPECT_EQ(LeConfiguracao(R"({"gatewayTls": "0"})").gatewayTls, "0");
  const TConfiguracao tls =
      LeConfiguracao(R"({"gatewayTls": "1", "arquivoCAGateway": "/tmp/gw.pem"})");
  EXPECT_EQ(tls.gatewayTls, "1");
  EXPECT_EQ(tls.arquivoCAGateway, "/tmp/gw.pem");
  EXPECT_EQ(c.perguntaAcesso, "0");  // the customer is not asked unless configured
  EXPECT_EQ(LeConfiguracao(R"({"perguntaAcesso": "1"})").perguntaAcesso, "1");
}

TEST(Configuracao, RecusaValoresMalFormados) {
  const char* ruins[] = {
      R"({"codigoAcesso": "12345"})",
      R"({"codigoAcesso": 123456})",
      R"({"tokenBearer": "curto"})",
      R"({"tokenBearer": "aSVQXGDuh2pqeyAvYUXMbav6fPgakHXdJUtIIAv9jucBXW-s"})",
      R"({"urlBot": "https://127.0.0.1:1"})",  // the bot call is plain HTTP
      R"({"urlSuporte": "ftp://x"})",
      R"({"urlSuporte": "http://a b"})",
      R"({"portaGateway": "70000"})",
      R"({"gatewayTls": "sim"})",
      R"({"perguntaAcesso": "sim"})",
      R"({"perguntaAcesso": 1})",
      R"({"chaveAvaliacaoFinal": "ABCDEFGHIJKLMN"})",
      R"({"chaveDesconhecida": "x"})",
      R"(["x"])",
      "{",
  };
  for (const char* doc : ruins) EXPECT_THROW(LeConfiguracao(doc), EConfiguracao) << doc;
}

TEST(Configuracao, GatewayDoCadastroSoSeForUmDosConfigurados) {
  const TConfiguracao c = LeConfiguracao(
      R"({"gatewayPadrao": "127.0.0.1", "gatewaySecundario": "Portal2.Exemplo.com"})");
  const std::pair<const char*, bool> casos[] = {
      {"127.0.0.1", true},
      {"portal1.vorantelix.example", true},
      {"PORTAL2.exemplo.COM", true},
      {"", false},
      {"127.0.0.2", false},
      {"127.0.0.1 ", false},
      {"portal2.exemplo.com.evil", false},
      {"xportal1.vorantelix.example", false},
      {"portal.vorantelix.example", false},  // the default, replaced above
  };
  for (const auto& [endereco, aceito] : casos)
    EXPECT_EQ(GatewayConfigurado(c, endereco), aceito) << '"' << endereco << '"';
}

TEST(Configuracao, VariavelDeAmbienteNomeiaOArquivo) {
  const auto arquivo = std::filesystem::temp_directory_path() /
                       ("vtx-config-" + std::to_string(::getpid()) + ".json");
  std::ofstream(arquivo) << R"({"urlSuporte": "http://127.0.0.1:9"})";
  ::setenv("VORANTELIX_CONFIG", arquivo.c_str(), 1);
  EXPECT_EQ(ConfiguracaoDoAmbiente().urlSuporte, "http://127.0.0.1:9");
  std::filesystem::remove(arquivo);
  EXPECT_THROW(ConfiguracaoDoAmbiente(), EConfiguracao);
  ::unsetenv("VORANTELIX_CONFIG");
  EXPECT_EQ(ConfiguracaoDoAmbiente().urlSuporte, ConfiguracaoPadrao().urlSuporte);
}

}  // namespace
}  // namespace vtx
