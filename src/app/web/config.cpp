#include "app/web/config.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "app/web/erros.h"

namespace vtx {

namespace {

using nlohmann::json;

struct Campo {
  const char* nome;
  std::string TConfiguracao::*membro;
};

constexpr Campo kCampos[] = {
    {"hostSuporte", &TConfiguracao::hostSuporte},
    {"urlSuporte", &TConfiguracao::urlSuporte},
    {"urlSuporteSegura", &TConfiguracao::urlSuporteSegura},
    {"urlBot", &TConfiguracao::urlBot},
    {"arquivoCA", &TConfiguracao::arquivoCA},
    {"tokenBearer", &TConfiguracao::tokenBearer},
    {"codigoAcesso", &TConfiguracao::codigoAcesso},
    {"chaveAvaliacao", &TConfiguracao::chaveAvaliacao},
    {"chaveAvaliacaoFinal", &TConfiguracao::chaveAvaliacaoFinal},
    {"gatewayPadrao", &TConfiguracao::gatewayPadrao},
    {"gatewayPrimario", &TConfiguracao::gatewayPrimario},
    {"gatewaySecundario", &TConfiguracao::gatewaySecundario},
    {"portaGateway", &TConfiguracao::portaGateway},
    {"gatewayTls", &TConfiguracao::gatewayTls},
    {"arquivoCAGateway", &TConfiguracao::arquivoCAGateway},
    {"perguntaAcesso", &TConfiguracao::perguntaAcesso},
    {"enderecoTesteLan", &TConfiguracao::enderecoTesteLan},
    {"chaveDados", &TConfiguracao::chaveDados},
    {"senhaLogin", &TConfiguracao::senhaLogin},
    {"pastaPrograma", &TConfiguracao::pastaPrograma},
};

[[noreturn]] void Falha(const std::string& texto) {
  throw EConfiguracao("Configuração inválida: " + texto);
}

bool Todos(std::string_view s, bool (*ok)(char)) {
  return std::all_of(s.begin(), s.end(), ok);
}
bool Alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool Digito(char c) {
  return c >= '0' && c <= '9';
}
bool MinusculoOuDigito(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
}
bool Visivel(char c) {
  return c > ' ' && c != 0x7F;
}

void ExigeForma(bool ok, const char* campo, const char* forma) {
  if (!ok) Falha(std::string("\"") + campo + "\" deve ser " + forma);
}

void ValidaUrl(const std::string& url, const char* campo, bool aceitaTls) {
  const bool http = url.rfind("http://", 0) == 0;
  const bool https = url.rfind("https://", 0) == 0;
  ExigeForma((http || (aceitaTls && https)) && Todos(url, Visivel) &&
                 url.size() > (http ? 7u : 8u) && url.back() != '/',
             campo,
             aceitaTls ? "um endereço http:// ou https:// sem \"/\" final"
                       : "um endereço http:// sem \"/\" final");
}

void Deriva(TConfiguracao& c) {
  auto semBarra = [](std::string& s) {
    while (!s.empty() && s.back() == '/') s.pop_back();
  };
  semBarra(c.urlSuporte);
  semBarra(c.urlSuporteSegura);
  semBarra(c.urlBot);
  if (c.urlSuporte.empty()) c.urlSuporte = "http://" + c.hostSuporte;
  if (c.urlSuporteSegura.empty()) c.urlSuporteSegura = "https://" + c.hostSuporte;
  if (c.urlBot.empty()) c.urlBot = "http://www." + c.hostSuporte;
}

}  // namespace

void ValidaConfiguracao(const TConfiguracao& c) {
  ExigeForma(!c.hostSuporte.empty() && Todos(c.hostSuporte, Visivel), "hostSuporte",
             "um nome de máquina");
  ValidaUrl(c.urlSuporte, "urlSuporte", true);
  ValidaUrl(c.urlSuporteSegura, "urlSuporteSegura", true);
  ValidaUrl(c.urlBot, "urlBot", false);
  ExigeForma(c.tokenBearer.size() == 48 && Todos(c.tokenBearer, Alnum), "tokenBearer",
             "48 letras ou dígitos");
  ExigeForma(c.codigoAcesso.size() == 6 && Todos(c.codigoAcesso, Digito), "codigoAcesso",
             "6 dígitos");
  ExigeForma(
      c.chaveAvaliacao.size() == 69 &&
          std::count(c.chaveAvaliacao.begin(), c.chaveAvaliacao.end(), '-') == 1 &&
          Todos(c.chaveAvaliacao, [](char ch) { return MinusculoOuDigito(ch) || ch == '-'; }),
      "chaveAvaliacao", "69 letras minúsculas, dígitos e um hífen");
  ExigeForma(c.chaveAvaliacaoFinal.size() == 14 && Todos(c.chaveAvaliacaoFinal, MinusculoOuDigito),
             "chaveAvaliacaoFinal", "14 letras minúsculas ou dígitos");
  for (const auto* gw :
       {&c.gatewayPadrao, &c.gatewayPrimario, &c.gatewaySecundario, &c.enderecoTesteLan}) {
    ExigeForma(!gw->empty() && Todos(*gw, Visivel), "gateway", "um endereço sem espaços");
  }
  const bool portaOk = !c.portaGateway.empty() && c.portaGateway.size() <= 5 &&
                       Todos(c.portaGateway, Digito) && std::stoi(c.portaGateway) >= 1 &&
                       std::stoi(c.portaGateway) <= 65535;
  ExigeForma(portaOk, "portaGateway", "uma porta de 1 a 65535");
  ExigeForma(c.gatewayTls == "0" || c.gatewayTls == "1", "gatewayTls", "\"0\" ou \"1\"");
  ExigeForma(c.perguntaAcesso == "0" || c.perguntaAcesso == "1", "perguntaAcesso",
             "\"0\" ou \"1\"");
  ExigeForma(c.chaveDados.size() == 13, "chaveDados", "13 caracteres");
  ExigeForma(c.senhaLogin.size() == 19, "senhaLogin", "19 caracteres");
}

bool GatewayConfigurado(const TConfiguracao& c, std::string_view endereco) {
  auto igual = [&](const std::string& gw) {
    return gw.size() == endereco.size() &&
           std::equal(gw.begin(), gw.end(), endereco.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) ==
                    std::tolower(static_cast<unsigned char>(b));
           });
  };
  return !endereco.empty() &&
         (igual(c.gatewayPadrao) || igual(c.gatewayPrimario) || igual(c.gatewaySecundario));
}

TConfiguracao ConfiguracaoPadrao() {
  TConfiguracao c;
  Deriva(c);
  return c;
}

TConfiguracao LeConfiguracao(std::string_view texto) {
  json doc;
  try {
    doc = json::parse(texto.begin(), texto.end());
  } catch (const json::exception& e) {
    Falha(std::string("não é um documento JSON (") + e.what() + ")");
  }
  if (!doc.is_object()) Falha("o documento deve ser um objeto JSON");
  TConfiguracao c;
  for (const auto& item : doc.items()) {
    const std::string& chave = item.key();
    const json& valor = item.value();
    if (!chave.empty() && chave.front() == '_') continue;
    const auto* campo = std::find_if(std::begin(kCampos), std::end(kCampos),
                                     [&](const Campo& k) { return chave == k.nome; });
    if (campo == std::end(kCampos)) Falha("chave desconhecida \"" + chave + "\"");
    if (!valor.is_string()) Falha("\"" + chave + "\" deve ser um texto");
    c.*(campo->membro) = valor.get<std::string>();
  }
  Deriva(c);
  ValidaConfiguracao(c);
  return c;
}

TConfiguracao CarregaConfiguracao(const std::filesystem::path& arquivo) {
  std::ifstream entrada(arquivo, std::ios::binary);
  if (!entrada) Falha("não foi possível ler " + arquivo.string());
  std::ostringstream texto;
  texto << entrada.rdbuf();
  try {
    return LeConfiguracao(texto.str());
  } catch (const EConfiguracao& e) {
    throw EConfiguracao(e.message() + " (" + arquivo.string() + ")");
  }
}

TConfiguracao ConfiguracaoDoAmbiente() {
  const char* arquivo = std::getenv("VORANTELIX_CONFIG");
  if (arquivo == nullptr || *arquivo == '\0') return ConfiguracaoPadrao();
  return CarregaConfiguracao(arquivo);
}

}  // namespace vtx
