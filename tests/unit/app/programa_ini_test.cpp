// The INI file and the program's file routines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "app/arquivos.h"
#include "app/ini.h"
#include "app/pastas.h"

namespace vtx {
namespace {

namespace fs = std::filesystem;

class Pasta : public ::testing::Test {
 protected:
  void SetUp() override {
    pasta_ = fs::temp_directory_path() /
             ("vtx-ini-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(pasta_);
  }
  void TearDown() override { fs::remove_all(pasta_); }
  fs::path pasta_;
};

TEST_F(Pasta, IniSemArquivoDaOsPadroesEGravaCriandoAPasta) {
  TArquivoIni ini(pasta_ / "CfgAdicionais" / "Vorantelix.ini");
  EXPECT_EQ(ini.LeInteiro("Vorantelix", "Left", 50), 50);
  EXPECT_EQ(ini.LeTexto("CONFIG", "CNPJ"), "");
  ASSERT_TRUE(ini.Grava("CONFIG", "CNPJ", "33444555000103"));
  ASSERT_TRUE(ini.GravaInteiro("Vorantelix", "top", 130));
  TArquivoIni relido(pasta_ / "CfgAdicionais" / "Vorantelix.ini");
  EXPECT_EQ(relido.LeTexto("config", "cnpj"), "33444555000103");
  EXPECT_EQ(relido.LeInteiro("VORANTELIX", "Top", 100), 130);
}

TEST(Ini, SecoesEChavesSemDistincaoDeCaixaEOutrasLinhasPreservadas) {
  TArquivoIni ini{fs::path{}};  // memory only
  ini.Carrega(
      "; comentario\r\n[vorantelix]\r\nTop = 7\r\nlixo sem igual\r\n\r\n[Outra]\r\nk=v\r\n");
  EXPECT_EQ(ini.LeInteiro("Vorantelix", "top", 100), 7);
  EXPECT_EQ(ini.LeTexto("OUTRA", "K"), "v");
  EXPECT_FALSE(ini.Le("Outra", "Top"));  // keys belong to their section
  ini.Grava("Vorantelix", "top", "9");   // same key: replaced, not added
  ini.Grava("Vorantelix", "Left", "3");  // new key: before the blank line
  EXPECT_EQ(ini.Texto(),
            "; comentario\r\n[vorantelix]\r\nTop=9\r\nlixo sem igual\r\nLeft=3\r\n\r\n[Outra]\r\n"
            "k=v\r\n");
}

TEST(Ini, ValoresQueNaoSaoInteirosDaoOPadrao) {
  TArquivoIni ini{fs::path{}};  // memory only
  ini.Carrega("[v]\na=abc\nb=12x\nc=99999999999\nd=\ne=-5\nf=+4\n");
  for (const char* k : {"a", "b", "c", "d", "ausente"})
    EXPECT_EQ(ini.LeInteiro("v", k, 50), 50) << k;
  EXPECT_EQ(ini.LeInteiro("v", "e", 0), -5);
  EXPECT_EQ(ini.LeInteiro("v", "f", 0), 4);
}

TEST(Ini, QuebraDeLinhaNoValorNaoCriaOutraChave) {
  TArquivoIni ini{fs::path{}};  // memory only
  ini.Grava("CONFIG", "CNPJ", "1\r\n[Vorantelix]\nTop=1");
  EXPECT_FALSE(ini.Le("Vorantelix", "Top"));
}

TEST_F(Pasta, SalvaTextoGuardaSoAUltimaMensagemDoDia) {
  TPastas p{pasta_, pasta_ / "prog"};
  const fs::path log = p.ArquivoLog(2026, 12, 9);
  EXPECT_EQ(log, pasta_ / "prog" / "LOG" / "LOG_20261209.log");
  ASSERT_TRUE(SalvaTexto(log, "DragAcceptFiles = true", true));
  ASSERT_TRUE(SalvaTexto(log, "Usuário vazio ", true));
  EXPECT_EQ(LeArquivoTexto(log), "Usuário vazio ");
  // Empty text on an existing file changes nothing; without the flag no folder is made.
  EXPECT_TRUE(SalvaTexto(log, "", true));
  EXPECT_EQ(LeArquivoTexto(log), "Usuário vazio ");
  EXPECT_FALSE(SalvaTexto(pasta_ / "novo" / "a.txt", "x", false));
  EXPECT_EQ(fs::directory_iterator(log.parent_path())->path(), log);  // no temporary left
}

}  // namespace
}  // namespace vtx
