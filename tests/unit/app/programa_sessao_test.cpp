// The session's login data record, lamp colours, analyst list and the customer's consent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/admissao.h"
#include "app/sessao.h"
#include "util/text.h"

namespace vtx {
namespace {

TEST(Sessao, DadosDeLoginOnlineEOffline) {
  TCliente cliente;
  cliente.nome = "Auto Peças Veloz";
  TUsuario usuario;
  usuario.nome = "Diego";
  TChamado chamado;
  chamado.servico = "Impressora";
  chamado.fone1 = "16-5550-0103";
  chamado.vtxstore = 2;
  chamado.chamados = 7;
  chamado.data = "05/05/2024 09:14:00";
  chamado.id = 4201;
  chamado.id_analista = 57;
  chamado.analista = "Maria";
  chamado.curva = "A";
  const double agora = 45000.5;
  // Key, then kind and value online, then offline ("" for a date-time: agora).
  struct Linha {
    const char* chave;
    TRtcValueTypes tipoOn;
    std::string on;
    TRtcValueTypes tipoOff;
    std::string off;
  };
  const std::vector<Linha> linhas = {
      {"IsHost", rtc_Text, "true", rtc_Text, "true"},
      {"EMPRESA", rtc_Text, "Auto Peças Veloz", rtc_Text, "Auto Peças Veloz"},
      {"NOME", rtc_Text, "Diego", rtc_Text, "Diego"},
      {"MAQUINA", rtc_Text, "PC-1", rtc_Text, "PC-1"},
      {"VERSAO", rtc_Text, "5068", rtc_Text, "5068"},
      {"SERVICO", rtc_Text, "Impressora", rtc_Text, "(desconhecido)"},
      {"FONE1", rtc_Text, "16-5550-0103", rtc_Text, ""},
      {"FONE2", rtc_Text, "", rtc_Text, ""},
      {"FONE3", rtc_Text, "", rtc_Text, ""},
      {"FONE4", rtc_Text, "", rtc_Text, ""},
      {"VTXSTORE", rtc_Integer, "2", rtc_Text, ""},
      {"CHAMADOS", rtc_Integer, "7", rtc_Text, ""},
      {"DATA", rtc_Text, "05/05/2024 09:14:00", rtc_DateTime, ""},
      {"CHAMADO", rtc_Integer, "4201", rtc_Text, "0"},
      {"ID_ANALISTA", rtc_Integer, "57", rtc_Text, "0"},
      {"ANALISTA", rtc_Text, "Maria", rtc_Text, "(desconhecido)"},
      {"CURVA", rtc_Text, "A", rtc_Text, "***"},
  };
  for (const bool online : {true, false}) {
    SCOPED_TRACE(online ? "online" : "offline");
    cliente.online = online;
    TRtcFunctionInfo f;
    PreencheDadosLogin(f, cliente, usuario, "PC-1", chamado, agora);
    ASSERT_EQ(f.FieldCount(), static_cast<int>(linhas.size()));
    for (std::size_t i = 0; i < linhas.size(); ++i) {
      const Linha& l = linhas[i];
      SCOPED_TRACE(l.chave);
      EXPECT_EQ(Utf8Encode(f.FieldName(static_cast<int>(i))), l.chave);  // in this order
      const TRtcValueTypes tipo = online ? l.tipoOn : l.tipoOff;
      const std::string& valor = online ? l.on : l.off;
      ASSERT_EQ(f.isType(l.chave), tipo);
      if (tipo == rtc_Text)
        EXPECT_EQ(Utf8Encode(f.asText(l.chave)), valor);
      else if (tipo == rtc_Integer)
        EXPECT_EQ(std::to_string(f.asInteger(l.chave)), valor);
      else
        EXPECT_DOUBLE_EQ(f.asDateTime(l.chave), agora);
    }
  }
}

TEST(Sessao, CoresDasLampadas) {
  using S = TRtcPHttpConnStatus;
  const QColor vermelho(255, 0, 0), marrom(128, 0, 0), cinza(128, 128, 128), azul(0, 0, 128),
      verde(0, 128, 0), lima(0, 255, 0), fucsia(255, 0, 255), preto(0, 0, 0), prata(192, 192, 192),
      branco(255, 255, 255);
  struct Caso {
    S status;
    bool recepcao;
    QColor preenchimento;
    std::optional<QColor> contorno;
  };
  const Caso casos[] = {
      {S::rtccClosed, true, vermelho, marrom},      {S::rtccClosed, false, cinza, std::nullopt},
      {S::rtccOpen, true, azul, std::nullopt},      {S::rtccOpen, false, azul, std::nullopt},
      {S::rtccReceiving, true, lima, std::nullopt}, {S::rtccReceiving, false, lima, std::nullopt},
      {S::rtccError, true, fucsia, vermelho},       {S::rtccError, false, fucsia, vermelho},
      {static_cast<S>(99), true, fucsia, vermelho},
  };
  for (const Caso& c : casos) {
    int contador = 3;
    const TCoresLampada r = CoresDaLampada(c.status, c.recepcao, contador);
    EXPECT_EQ(r.preenchimento, c.preenchimento) << static_cast<int>(c.status);
    EXPECT_EQ(r.contorno, c.contorno) << static_cast<int>(c.status);
    EXPECT_EQ(contador, 3);  // only sending moves the pulse on
  }
  // Sends in a row pulse the outline, and the sequence starts over after six.
  for (const bool recepcao : {true, false}) {
    int contador = 0;
    std::vector<QColor> contornos;
    for (int i = 0; i < 7; ++i) {
      const TCoresLampada r = CoresDaLampada(S::rtccSending, recepcao, contador);
      EXPECT_EQ(r.preenchimento, verde);
      contornos.push_back(*r.contorno);
    }
    EXPECT_EQ(contornos, (std::vector<QColor>{preto, cinza, prata, branco, prata, cinza, preto}));
  }
  int fora = 17;  // a counter out of range starts over
  EXPECT_EQ(*CoresDaLampada(S::rtccSending, true, fora).contorno, preto);
  EXPECT_EQ(fora, 1);
}

TEST(Sessao, AnalistasSemRepetirPeloNome) {
  std::vector<std::string> a;
  struct Passo {
    bool adiciona;
    const char* nome;
    bool mudou;
  };
  const Passo passos[] = {
      {true, "maria", true},  {true, "MARIA", false}, {true, "Érica", true},
      {true, "éRICA", false}, {false, "Maria", true}, {false, "maria", false},
      {false, "", false},     {true, "", true},       {false, "", true},
  };
  for (const Passo& p : passos)
    EXPECT_EQ(p.adiciona ? AdicionaAnalista(a, p.nome) : RemoveAnalista(a, p.nome), p.mudou)
        << (p.adiciona ? "+" : "-") << p.nome;
  EXPECT_EQ(a, std::vector<std::string>{"Érica"});
}

// Off: nobody is asked. On: one question per analyst (names without regard to case) per
// session, whatever module asks; "no" keeps the analyst out until the next session.
TEST(Sessao, ConsentimentoDoClienteUmaVezPorAnalista) {
  struct Passo {
    const char* analista;  // "" = a new session
    bool admitido;
    const char* perguntado;  // the question asked by this step, or ""
  };
  struct Caso {
    const char* nome;
    bool pergunta;
    std::vector<Passo> passos;
  };
  const std::vector<Caso> casos = {
      {"desligado", false, {{"maria", true, ""}, {"joao", true, ""}, {"maria", true, ""}}},
      {"ligado",
       true,
       {{"maria", true, "maria"},
        {"MARIA", true, ""},  // the chat after the desktop: not asked again
        {"joao", false, "joao"},
        {"joao", false, ""},
        {"maria", true, ""},
        {"", true, ""},
        {"joao", false, "joao"},
        {"Maria", true, "Maria"}}},
  };
  for (const Caso& c : casos) {
    std::vector<std::string> perguntas;
    TAdmissaoAnalistas a(c.pergunta, [&](const std::string& analista) {
      perguntas.push_back(analista);
      return analista != "joao";  // the customer refuses joao
    });
    EXPECT_EQ(a.Ativa(), c.pergunta);
    for (std::size_t i = 0; i < c.passos.size(); ++i) {
      const Passo& p = c.passos[i];
      SCOPED_TRACE(std::string(c.nome) + " passo " + std::to_string(i));
      const std::size_t antes = perguntas.size();
      if (*p.analista == 0) {
        a.NovaSessao();
        continue;
      }
      EXPECT_EQ(a.Admite(p.analista), p.admitido);
      if (*p.perguntado == 0) {
        EXPECT_EQ(perguntas.size(), antes);
      } else {
        ASSERT_EQ(perguntas.size(), antes + 1);
        EXPECT_EQ(perguntas.back(), p.perguntado);
      }
    }
  }
}

// A request that comes while the question about the same analyst is open (the dialog runs the
// event loop) is refused without a second question; one about another analyst is asked.
TEST(Sessao, ConsentimentoPedidoDuranteAPergunta) {
  std::vector<std::string> perguntas;
  std::vector<bool> durante;
  TAdmissaoAnalistas* ref = nullptr;
  TAdmissaoAnalistas a(true, [&](const std::string& analista) {
    perguntas.push_back(analista);
    if (analista == "maria") {
      durante.push_back(ref->Admite("MARIA"));
      durante.push_back(ref->Admite("joao"));
    }
    return true;
  });
  ref = &a;
  EXPECT_TRUE(a.Admite("maria"));
  EXPECT_EQ(perguntas, (std::vector<std::string>{"maria", "joao"}));
  EXPECT_EQ(durante, (std::vector<bool>{false, true}));
  EXPECT_TRUE(a.Admite("maria"));
  EXPECT_EQ(perguntas.size(), 2u);
}

}  // namespace
}  // namespace vtx
