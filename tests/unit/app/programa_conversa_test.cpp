// The ticket conversation's texts.
#include <gtest/gtest.h>

#include "app/conversa.h"

namespace vtx {
namespace {

TEST(Conversa, LinhaDoChat) {
  struct Caso {
    std::string linha;
    std::string data, nome, msg;
    int32_t id;
  };
  const std::vector<Caso> casos = {
      {"05/05/2024 10:31:07|Maria|Bom dia|57", "05/05/2024 10:31:07", "Maria", "Bom dia", 57},
      {"d|n|m|57|extra", "d", "n", "m", 57},
      {"d|n|m", "d", "n", "m", 0},
      {"d", "d", "", "", 0},
      {"", "", "", "", 0},
      {"|||", "", "", "", 0},
      {"d|n|m|x57", "d", "n", "m", 0},
      {"d|n|m|99999999999", "d", "n", "m", 0},
      {"d|n|m|-3", "d", "n", "m", -3},
      {"d|n|m|-", "d", "n", "m", 0},
      {"d|n|" + std::string(1 << 20, 'a') + "|1", "d", "n", std::string(1 << 20, 'a'), 1},
  };
  for (const Caso& c : casos) {
    const TLinhaChat l = LeLinhaChat(c.linha);
    EXPECT_EQ(l.data, c.data) << c.linha.substr(0, 40);
    EXPECT_EQ(l.nome, c.nome) << c.linha.substr(0, 40);
    EXPECT_EQ(l.msg, c.msg) << c.linha.substr(0, 40);
    EXPECT_EQ(l.id, c.id) << c.linha.substr(0, 40);
  }
}

TEST(Conversa, MensagemEnviadaTemSempreQuatroCampos) {
  EXPECT_EQ(MontaLinhaChat("d", "Ma|ria", "a|b\r\nc", 7), "d|Maria|abc|7");
  EXPECT_EQ(LimpaMensagem("\r\n|\n|"), "");
  EXPECT_EQ(LimpaMensagem("Olá\r\nmundo"), "Olámundo");
  for (const char* texto : {"x", "|||", "a\r|b\n", ""}) {
    const std::string l = MontaLinhaChat("d", "|n|", texto, 1);
    EXPECT_EQ(std::count(l.begin(), l.end(), '|'), 3) << l;
  }
}

TEST(Conversa, LinksETempo) {
  const std::pair<const char*, bool> links[] = {
      {"http://x", true}, {"HTTPS://X.COM", true}, {"Https://a", true}, {"veja http://x", false},
      {"http:/x", false}, {"https:", false},       {"", false},
  };
  for (const auto& [msg, link] : links) EXPECT_EQ(EhLink(msg), link) << msg;
  const std::pair<int64_t, const char*> tempos[] = {
      {0, "0 minuto(s)"},
      {60, "60 minuto(s)"},
      {61, "1 hora(s) e 1 min."},
      {1440, "24 hora(s) e 0 min."},
      {1499, "24 hora(s) e 59 min."},
      {1500, "1 dia(s), 1 h e 0 m"},
      {3000, "2 dia(s), 2 h e 0 m"},
  };
  for (const auto& [m, texto] : tempos) EXPECT_EQ(TextoTempo(m), texto) << m;
  // 02/12/2026 is 46358 days after 1899-12-30.
  EXPECT_EQ(MinutosDesde("02/12/2026 09:15:00", 46358.0 + (9 * 60 + 15 + 61) / 1440.0), 61);
  for (const char* ruim : {"", "02/12/2026", "31/02/2026 10:00:00", "x", "2026-12-02 09:15:00"})
    EXPECT_EQ(MinutosDesde(ruim, 46358.5), -1) << ruim;
}

}  // namespace
}  // namespace vtx
