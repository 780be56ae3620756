// Every endpoint through the web client against a real vorantelix-supportd on 127.0.0.1.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "app/web/erros.h"
#include "app/web/servico_suporte.h"
#include "suporte_processo.h"

namespace vtx {
namespace {

namespace fs = std::filesystem;

using Suporte = teste::SuporteProcesso;

class SuporteTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const fs::path instalador = fs::temp_directory_path() / "vtx-instalador-teste.bin";
    std::ofstream(instalador, std::ios::binary) << std::string("MZ\0\x01instalador", 13);
    suporte_ = std::make_unique<Suporte>(
        std::vector<std::string>{"--version-build", "5069", "--installer", instalador.string()});
    fs::remove(instalador);
  }
  static void TearDownTestSuite() { suporte_.reset(); }

  TServicoSuporte Servico() const { return TServicoSuporte(suporte_->Config()); }

  static inline std::unique_ptr<Suporte> suporte_;
};

TEST_F(SuporteTest, VersaoEInstaladorPorTlsComCertificadoGerado) {
  const TServicoSuporte s = Servico();
  EXPECT_EQ(s.BuscaVersao(), 5069);
  const fs::path destino = suporte_->pasta() / "INST_VORANTELIX.EXE";
  std::ofstream(destino) << "velho";
  s.BaixaInstalador(destino);
  std::ifstream f(destino, std::ios::binary);
  std::stringstream conteudo;
  conteudo << f.rdbuf();
  EXPECT_EQ(conteudo.str(), std::string("MZ\0\x01instalador", 13));
  EXPECT_FALSE(fs::exists(destino.string() + ".part"));

  // Without the generated certificate the TLS endpoints are refused.
  TConfiguracao semCa = suporte_->Config();
  semCa.arquivoCA.clear();
  EXPECT_THROW(TServicoSuporte(semCa).BuscaVersao(), EWebServico);
}

TEST_F(SuporteTest, InstaladorQueFalhaNaoDeixaArquivo) {
  TConfiguracao c = suporte_->Config();
  c.tokenBearer = std::string(48, 'x');
  const fs::path destino = suporte_->pasta() / "falho.exe";
  std::ofstream(destino) << "antigo";
  EXPECT_THROW(TServicoSuporte(c).BaixaInstalador(destino), EWebServico);
  EXPECT_FALSE(fs::exists(destino));
  EXPECT_FALSE(fs::exists(destino.string() + ".part"));
}

TEST_F(SuporteTest, TokenErradoDa401) {
  TConfiguracao c = suporte_->Config();
  c.tokenBearer = std::string(48, 'A');
  try {
    TServicoSuporte(c).BuscaCliente("11222333000181");
    FAIL();
  } catch (const EWebServico& e) {
    EXPECT_EQ(e.status(), 401);
  }
}

TEST_F(SuporteTest, EmpresasUsuariosESenha) {
  const TServicoSuporte s = Servico();
  auto estrela = s.BuscaCliente("11222333000181");
  ASSERT_TRUE(estrela.has_value());
  EXPECT_TRUE(estrela->online);
  EXPECT_EQ(estrela->senha, 1);
  EXPECT_EQ(estrela->bot, 1);
  EXPECT_EQ(estrela->cidade, "São José dos Campos");
  ASSERT_EQ(estrela->usuarios.lista.size(), 2u);
  EXPECT_EQ(estrela->usuarios.lista[0].nome, "Ana Paula Conceição");
  EXPECT_TRUE(s.ConfereSenha("ana@estrela.example", "pão&café 1"));
  EXPECT_FALSE(s.ConfereSenha("ana@estrela.example", "errada"));

  EXPECT_EQ(s.BuscaCliente("22333444000192")->implantacao, 1);
  EXPECT_TRUE(s.BuscaCliente("44555666000114")->usuarios.lista.empty());
  EXPECT_FALSE(s.BuscaCliente("00000000000000").has_value());
  EXPECT_FALSE(s.BuscaCliente("11.222.333/0001-81").has_value());

  TConfiguracao c = suporte_->Config();
  c.codigoAcesso = "000000";
  EXPECT_THROW(TServicoSuporte(c).ConfereSenha("ana@estrela.example", "pão&café 1"), EWebServico);
}

TEST_F(SuporteTest, CatalogoEmNiveis) {
  const TServicoSuporte s = Servico();
  auto topo = s.BuscaServicos(0);
  ASSERT_TRUE(topo.has_value());
  ASSERT_EQ(topo->lista.size(), 3u);
  EXPECT_GT(topo->lista[0].i, 0);  // a group
  EXPECT_EQ(topo->lista[2].i, 0);  // a service ("i": null)
  auto vendas = s.BuscaServicos(1);
  ASSERT_TRUE(vendas.has_value());
  EXPECT_EQ(vendas->anterior, 0);
  EXPECT_EQ(vendas->lista[2].descricao, "");  // "descricao": null
  EXPECT_EQ(s.BuscaServicos(10)->anterior, 1);
  EXPECT_FALSE(s.BuscaServicos(999).has_value());
}

TEST_F(SuporteTest, ChamadosNovoReabertoEConversa) {
  const TServicoSuporte s = Servico();
  EXPECT_TRUE(s.BuscaChamadosUsuario(1001).lista.empty());  // "[]"
  const auto abertos = s.BuscaChamadosUsuario(1004);
  ASSERT_EQ(abertos.lista.size(), 2u);
  EXPECT_EQ(abertos.lista[0].id, 4201);
  EXPECT_EQ(abertos.lista[1].id_analista, 0);  // null

  auto novo = s.AbreNovoChamado(101, 11, "192.168.1.9", "CAIXA 01", 1001, "Ana Paula Conceição");
  ASSERT_TRUE(novo.has_value());
  EXPECT_EQ(novo->maquina, "CAIXA 01");
  EXPECT_EQ(novo->iduser, 1001);
  EXPECT_EQ(novo->curva, "A");
  const auto agora = s.BuscaChamadosUsuario(1001);
  ASSERT_EQ(agora.lista.size(), 1u);
  EXPECT_EQ(agora.lista[0].id, novo->id);
  EXPECT_FALSE(s.AbreNovoChamado(101, 1, "ip", "m", 1001, "n").has_value());  // a group
  // Service 0 is the deployment entry: only a company being deployed opens tickets for it.
  EXPECT_FALSE(s.AbreNovoChamado(101, 0, "ip", "m", 1001, "n").has_value());
  EXPECT_FALSE(s.AbreNovoChamado(102, 0, "ip", "m", 1001, "n").has_value());  // not its user
  auto implantacao = s.AbreNovoChamado(102, 0, "10.0.0.7", "BALCAO", 1003, "Carla Souza");
  ASSERT_TRUE(implantacao.has_value());
  EXPECT_EQ(implantacao->id_serv, 0);
  EXPECT_EQ(implantacao->id_cli, 102);
  EXPECT_EQ(implantacao->servico, "Implantação");

  auto reaberto = s.ReabreChamado(4203);
  ASSERT_TRUE(reaberto.has_value());
  EXPECT_EQ(reaberto->reabertura, 1);
  EXPECT_EQ(s.BuscaChamadosUsuario(1004).lista.size(), 3u);
  EXPECT_FALSE(s.ReabreChamado(1).has_value());

  const std::string quando = s.GravaMensagem(novo->id, 1001, "a b&c ção");
  EXPECT_FALSE(quando.empty());
  EXPECT_EQ(s.GravaMensagem(999999, 1001, "x"), "");
  const auto conversa = s.BuscaChat(novo->id);
  ASSERT_EQ(conversa.lista.size(), 1u);
  EXPECT_EQ(conversa.lista[0].msg, "a b&c ção");
  EXPECT_EQ(conversa.lista[0].data, quando);
  EXPECT_EQ(s.BuscaChat(4201).lista.size(), 3u);

  EXPECT_TRUE(s.AtualizaServico(novo->id, 1001, 21));
  EXPECT_FALSE(s.AtualizaServico(novo->id, 1002, 21));  // another user's ticket
  EXPECT_EQ(s.BuscaChamadosUsuario(1001).lista[0].id_serv, 21);
}

TEST_F(SuporteTest, AnalistaFotosAnunciosEAvaliacao) {
  const TServicoSuporte s = Servico();
  EXPECT_TRUE(s.AnalistaOnline(501));
  EXPECT_FALSE(s.AnalistaOnline(502));
  EXPECT_EQ(s.BaixaFotoPerfil(1001).substr(1, 3), "PNG");
  EXPECT_THROW(s.BaixaFotoPerfil(77), EWebServico);

  auto anuncios = s.BuscaAnuncios();
  ASSERT_TRUE(anuncios.has_value());
  ASSERT_EQ(anuncios->list.size(), 3u);
  // Real pictures of the banner's size (the width and height in the PNG header), one per
  // advertisement and different from each other.
  const std::string png1 = s.BaixaImagem(anuncios->list[0].imagem);
  const std::string png2 = s.BaixaImagem(anuncios->list[1].imagem);
  EXPECT_EQ(png1.substr(1, 3), "PNG");
  EXPECT_EQ(png1.substr(16, 8), std::string("\0\0\x01\xB9\0\0\0\xA1", 8));
  EXPECT_NE(png1, png2);
  EXPECT_FALSE(anuncios->list[2].mensagem.empty());

  const std::string gif = s.BuscaImagemAvaliacao();
  ASSERT_EQ(gif.rfind("https://", 0), 0u) << gif;
  const std::string animacao = s.BaixaImagem(gif);
  EXPECT_EQ(animacao.substr(0, 6), "GIF89a");
  EXPECT_EQ(animacao.substr(6, 4), std::string("\xEA\x01\xC8\0", 4));  // 490 x 200
  EXPECT_NE(animacao.find("NETSCAPE2.0"), std::string::npos);
  EXPECT_EQ(animacao.back(), ';');
  EXPECT_EQ(s.EnderecoAvaliacao(42), s.config().urlSuporteSegura + "/avaliarchamado/" +
                                         s.config().chaveAvaliacao + "42" +
                                         s.config().chaveAvaliacaoFinal);
}

TEST_F(SuporteTest, Robo) {
  const TServicoSuporte s = Servico();
  auto menu = s.ConsultaBot(101, 1001, "0", "0");
  ASSERT_TRUE(menu.has_value());
  EXPECT_EQ(menu->bots.size(), 8u);  // ten in the seed
  EXPECT_EQ(menu->mais, 1);
  EXPECT_EQ(menu->bots[7].menu, "8");
  auto sub = s.ConsultaBot(101, 1001, std::to_string(menu->bots[0].id), "");
  ASSERT_TRUE(sub.has_value());
  EXPECT_EQ(sub->master, "0");
  EXPECT_EQ(sub->bots.size(), 3u);  // two texts and a second sub-menu
  auto sub2 = s.ConsultaBot(101, 1001, std::to_string(sub->bots[2].id), "");
  ASSERT_TRUE(sub2.has_value());
  EXPECT_EQ(sub2->master, std::to_string(menu->bots[0].id));  // "9" goes back to the first level
  EXPECT_EQ(sub2->bots.size(), 2u);
  // Every item kind at the top: a menu entry, a document, a video, a web link, text blocks.
  EXPECT_TRUE(menu->bots[0].conteudo.empty());
  for (int32_t tipo : {1, 2, 3, 4}) {
    const auto& item = menu->bots[static_cast<std::size_t>(tipo)];
    EXPECT_EQ(item.tipo, tipo);
    EXPECT_FALSE(item.conteudo.empty());
    EXPECT_EQ(item.link.empty(), tipo == 4);
  }
  auto busca = s.ConsultaBot(101, 1001, "xml", "0");
  ASSERT_TRUE(busca.has_value());
  EXPECT_EQ(busca->bots[0].descricao, "Exportar XML");
  EXPECT_FALSE(s.ConsultaBot(101, 1001, "nada-disso", "0").has_value());
  EXPECT_FALSE(s.ConsultaBot(999, 1001, "0", "0").has_value());
}

TEST(SuporteLatin1, RespostasEmIso88591SaoDecodificadas) {
  Suporte latin({"--latin1"});
  const TServicoSuporte s(latin.Config());
  auto estrela = s.BuscaCliente("11222333000181");
  ASSERT_TRUE(estrela.has_value());
  EXPECT_EQ(estrela->cidade, "São José dos Campos");
}

}  // namespace
}  // namespace vtx
