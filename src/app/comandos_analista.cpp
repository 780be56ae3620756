#include "app/comandos_analista.h"

#include <map>

namespace vtx {

namespace {

struct Entrada {
  TTipoComando tipo;
  TFerramenta ferramenta;
  std::size_t ultimoCampo;  // the last field the command reads (0: none)
};

const std::map<std::string_view, Entrada>& Tabela() {
  using T = TTipoComando;
  using F = TFerramenta;
  static const std::map<std::string_view, Entrada> tabela = {
      {"changeanalista", {T::MudaAnalista, F::PainelControle, 5}},
      {"analistaonline", {T::AnalistaOnline, F::PainelControle, 4}},
      {"<WIN_CTRL_ALT_DEL>", {T::TeclaAtalho, F::PainelControle, 0}},
      {"<WIN_ALT_TAB>", {T::TeclaAtalho, F::PainelControle, 0}},
      {"<TSINBOX>", {T::AbreEntrada, F::PainelControle, 0}},
      {"<TSFOLDER>", {T::AbrePastaDados, F::PainelControle, 0}},
      {"<CP_OPC_INTERNET>", {T::Ferramenta, F::OpcoesInternet, 0}},
      {"<CP_OPC_PASTAS>", {T::Ferramenta, F::OpcoesPastas, 0}},
      {"<CP_PAINEL_CONTROLE>", {T::Ferramenta, F::PainelControle, 0}},
      {"<CP_SOM>", {T::Ferramenta, F::Som, 0}},
      {"<CP_SISTEMA>", {T::Ferramenta, F::Sistema, 0}},
      {"<CP_VIDEO>", {T::Ferramenta, F::Video, 0}},
      {"<CP_MOUSE>", {T::Ferramenta, F::Mouse, 0}},
      {"<CP_PROGRAMAS>", {T::Ferramenta, F::Programas, 0}},
      {"<CP_PROMPT>", {T::Ferramenta, F::Prompt, 0}},
      {"<CP_GERENC_DISPOS>", {T::Ferramenta, F::GerenciadorDispositivos, 0}},
      {"<CP_FIREBIRD>", {T::Firebird, F::Firebird, 0}},
      {"<CP_FIREWALL>", {T::Ferramenta, F::Firewall, 0}},
      {"<CP_CON_REDE>", {T::Ferramenta, F::ConexoesRede, 0}},
      {"<CP_DATAHORA>", {T::Ferramenta, F::DataHora, 0}},
      {"<CP_DISPOS_IMPRES>", {T::Ferramenta, F::Impressoras, 0}},
      {"<CP_TECLADO>", {T::Ferramenta, F::Teclado, 0}},
      {"<CLOSE_HOST>", {T::Encerra, F::PainelControle, 0}},
  };
  return tabela;
}

// The database server's executable names: the Windows one and those of its Linux builds.
constexpr const char* kServidoresFirebird[] = {"fbserver.exe", "fbserver", "firebird"};

}  // namespace

std::string Campo(std::string_view texto, std::size_t n) {
  if (n == 0 || texto.empty()) return {};
  std::size_t inicio = 0;
  for (std::size_t i = 1; i < n; ++i) {
    const std::size_t barra = texto.find('|', inicio);
    if (barra == std::string_view::npos) return {};
    inicio = barra + 1;
  }
  return std::string(texto.substr(inicio, texto.find('|', inicio) - inicio));
}

TComando InterpretaComando(std::string_view texto) {
  TComando c;
  if (texto.empty()) return c;
  const auto it = Tabela().find(texto.substr(0, texto.find('|')));
  if (it == Tabela().end()) return c;
  c.tipo = it->second.tipo;
  c.ferramenta = it->second.ferramenta;
  for (std::size_t n = 3; n <= it->second.ultimoCampo; ++n) c.campos.push_back(Campo(texto, n));
  return c;
}

void ExecutaComando(const TComando& c, TAcoesComando& acoes) {
  auto log = [&acoes](const std::string& linha) { acoes.Log(linha); };
  switch (c.tipo) {
    case TTipoComando::Ignorado:
    case TTipoComando::TeclaAtalho:  // the window has no handler of its own for it
      return;
    case TTipoComando::MudaAnalista:
      acoes.MudaAnalista(c.campos.at(0), c.campos.at(1), c.campos.at(2));
      return;
    case TTipoComando::AnalistaOnline:
      acoes.AnalistaOnline(c.campos.at(0), c.campos.at(1));
      return;
    case TTipoComando::AbreEntrada:
      AbreNoDesktop(acoes.Executor(), acoes.PastaEntrada(), log);
      return;
    case TTipoComando::AbrePastaDados:
      AbreNoDesktop(acoes.Executor(),
                    acoes.NomeComputador() == kNomeServidor ? acoes.PastaDados() : kPastaServidor,
                    log);
      return;
    case TTipoComando::Ferramenta:
      ExecutaFerramenta(acoes.Executor(), c.ferramenta, log);
      return;
    case TTipoComando::Firebird:
      for (const char* nome : kServidoresFirebird)
        if (acoes.ProcessoAtivo(nome)) {
          ExecutaFerramenta(acoes.Executor(), c.ferramenta, log);
          return;
        }
      return;
    case TTipoComando::Encerra:
      acoes.PedeEncerramento();
      return;
  }
}

}  // namespace vtx
