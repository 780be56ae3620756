// Attacks on a real vorantelix-supportd on 127.0.0.1: a forged Host header, admin password
// guessing, and the passwords it keeps.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "suporte_processo.h"

namespace vtx {
namespace {

namespace fs = std::filesystem;

constexpr const char* kApi = "/api/sanctum/vorantelix/";

httplib::Result Posta(const TConfiguracao& c, const std::string& rota, const std::string& corpo,
                      httplib::Headers extra = {}) {
  httplib::Client cliente(c.urlSuporte);
  extra.emplace("Authorization", "Bearer " + c.tokenBearer);
  return cliente.Post(kApi + rota, extra, corpo, "application/x-www-form-urlencoded");
}

// Addresses handed out are the listener's own whatever Host the request names.
TEST(SuporteHostil, HostForjadoNaoEntraNosEnderecos) {
  teste::SuporteProcesso suporte({});
  const TConfiguracao c = suporte.Config();
  struct Caso {
    const char* rota;
    const char* host;
  };
  for (const Caso& caso : {Caso{"anuncios", "evil.example"}, Caso{"avalie", "evil.example:81"},
                           Caso{"anuncios", "127.0.0.1:1@evil.example"}}) {
    auto r = Posta(c, caso.rota, "", {{"Host", caso.host}});
    ASSERT_TRUE(r) << caso.rota;
    ASSERT_EQ(r->status, 200) << caso.rota;
    EXPECT_EQ(r->body.find("evil"), std::string::npos) << r->body;
    EXPECT_NE(r->body.find(c.urlSuporte), std::string::npos) << r->body;
  }
}

// After a few wrong passwords from one address or for one email, the next attempts wait, even
// with the right password; plain passwords never stay in the database.
TEST(SuporteHostil, SenhasDeAdminAdivinhadasEsperamEFicamCifradas) {
  const fs::path pasta =
      fs::temp_directory_path() / ("vtx-sup-hostil-" + std::to_string(::getpid()));
  fs::create_directories(pasta);
  const fs::path db = pasta / "sup.db";
  {
    teste::SuporteProcesso suporte({"--db", db.string()});
    const TConfiguracao c = suporte.Config();
    const std::string codigo = "codigo=" + c.codigoAcesso;
    auto tenta = [&](const std::string& email, const std::string& pw) {
      auto r = Posta(c, "adminlogin", codigo + "&email=" + email + "&pw=" + pw);
      return r ? std::to_string(r->status) + " " + r->body : std::string("sem resposta");
    };
    EXPECT_EQ(tenta("bruno@estrela.example", "segredo"), "200 true");
    for (int i = 0; i < 6; ++i)
      EXPECT_EQ(tenta("bruno@estrela.example", "chute" + std::to_string(i)), "200 false") << i;
    const std::vector<std::pair<std::string, std::string>> depois = {
        {"bruno@estrela.example", "segredo"}, {"carla@boavista.example", "boavista"}};
    for (const auto& [email, pw] : depois) EXPECT_EQ(tenta(email, pw).substr(0, 3), "429") << email;
  }
  std::ifstream f(db, std::ios::binary);
  std::stringstream bytes;
  bytes << f.rdbuf();
  for (const char* aberta : {"segredo", "pão&café 1"})
    EXPECT_EQ(bytes.str().find(aberta), std::string::npos) << aberta;
  EXPECT_NE(bytes.str().find("pbkdf2-sha256$"), std::string::npos);
  fs::remove_all(pasta);
}

// Everyone with the program knows its built-in token: a stand-in using it serves this machine
// only. The addresses below are never bound: the refusal comes first (192.0.2.1 is a
// documentation address no host has).
TEST(SuporteHostil, TokenEmbutidoSoServeEstaMaquina) {
  struct Caso {
    std::string opcoes;
    bool recusa;
  };
  const std::string base = std::string(VTX_SUPPORTD_PATH) + " --db :memory: --seed " +
                           VTX_SUPPORTD_SEED + " --cert-dir " + fs::temp_directory_path().string() +
                           " ";
  for (const Caso& caso : {Caso{"--listen 192.0.2.1:0", true},
                           Caso{"--listen 127.0.0.1:0 --tls-listen 192.0.2.1:0", true}}) {
    const std::string comando =
        "env -u VORANTELIX_CONFIG timeout 10 " + base + caso.opcoes + " 2>&1";
    FILE* saida = ::popen(comando.c_str(), "r");
    ASSERT_NE(saida, nullptr);
    std::string texto;
    char linha[512];
    while (std::fgets(linha, sizeof linha, saida)) texto += linha;
    const int status = ::pclose(saida);
    EXPECT_NE(status, 0) << caso.opcoes;
    EXPECT_EQ(texto.find("token") != std::string::npos, caso.recusa) << texto;
  }
}

// The bot answers only a request that brings its access code.
TEST(SuporteHostil, RoboExigeOCodigoDeAcesso) {
  teste::SuporteProcesso suporte({});
  const TConfiguracao c = suporte.Config();
  struct Caso {
    std::string codigo;  // empty: the field is left out
    int status;
  };
  for (const Caso& caso :
       {Caso{"", 400}, Caso{"codigo=000000&", 403}, Caso{"codigo=" + c.codigoAcesso + "&", 200}}) {
    httplib::Client cliente(c.urlBot);
    auto r = cliente.Post("/vorantelix/bot", caso.codigo + "empresa=101&usuario=1001&id=0&nivel=0",
                          "application/x-www-form-urlencoded");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, caso.status) << caso.codigo;
  }
}

}  // namespace
}  // namespace vtx
