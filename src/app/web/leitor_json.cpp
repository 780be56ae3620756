#include "app/web/leitor_json.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "app/web/erros.h"

namespace vtx::json_campos {

using nlohmann::json;

namespace {

[[noreturn]] void Falha(const std::string& texto) {
  throw EDocumentoInvalido("Resposta inválida do serviço: " + texto);
}

std::string Local(const char* chave, const std::string& onde) {
  std::string s = "\"";
  s += chave;
  s += "\"";
  if (!onde.empty()) s += " em " + onde;
  return s;
}

const char* Tipo(const json& j) {
  switch (j.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::boolean:
      return "booleano";
    case json::value_t::string:
      return "texto";
    case json::value_t::array:
      return "lista";
    case json::value_t::object:
      return "objeto";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      return "número";
    default:
      return "valor desconhecido";
  }
}

}  // namespace

json Analisa(std::string_view texto) {
  try {
    return json::parse(texto.begin(), texto.end());
  } catch (const json::exception& e) {
    Falha(std::string("não é um documento JSON (") + e.what() + ")");
  }
}

const json& Objeto(const json& j, const std::string& onde) {
  if (!j.is_object()) Falha("esperava um objeto em " + onde + ", veio " + Tipo(j));
  return j;
}

const json& Lista(const json& j, const std::string& onde) {
  if (!j.is_array()) Falha("esperava uma lista em " + onde + ", veio " + Tipo(j));
  return j;
}

const json& Chave(const json& objeto, const char* chave, const std::string& onde) {
  auto it = objeto.find(chave);
  if (it == objeto.end()) Falha("falta a chave " + Local(chave, onde));
  return *it;
}

bool InteiroDeTexto(std::string_view texto, int32_t& valor) {
  if (!texto.empty() && texto.front() == '+') {
    texto.remove_prefix(1);
    if (!texto.empty() && texto.front() == '-') return false;
  }
  if (texto.empty()) return false;
  const char* fim = texto.data() + texto.size();
  int32_t lido = 0;
  auto [p, erro] = std::from_chars(texto.data(), fim, lido);
  if (erro != std::errc() || p != fim) return false;
  valor = lido;
  return true;
}

void Inteiro(const json& objeto, const char* chave, const std::string& onde, int32_t& destino,
             Nulo nulo) {
  const json& v = Chave(objeto, chave, onde);
  constexpr auto kMin = std::numeric_limits<int32_t>::min();
  constexpr auto kMax = std::numeric_limits<int32_t>::max();
  switch (v.type()) {
    case json::value_t::null:
      if (nulo == Nulo::Permitido) return;
      Falha("null não permitido em " + Local(chave, onde));
    case json::value_t::number_integer: {
      auto n = v.get<int64_t>();
      if (n < kMin || n > kMax) break;
      destino = static_cast<int32_t>(n);
      return;
    }
    case json::value_t::number_unsigned: {
      auto n = v.get<uint64_t>();
      if (n > static_cast<uint64_t>(kMax)) break;
      destino = static_cast<int32_t>(n);
      return;
    }
    case json::value_t::number_float: {
      double d = v.get<double>();
      if (!std::isfinite(d) || d != std::trunc(d) || d < kMin || d > kMax) break;
      destino = static_cast<int32_t>(d);
      return;
    }
    case json::value_t::string:
      if (InteiroDeTexto(v.get_ref<const std::string&>(), destino)) return;
      break;
    default:
      break;
  }
  Falha("esperava um número inteiro de 32 bits em " + Local(chave, onde) + ", veio " +
        v.dump(-1, ' ', true).substr(0, 40));
}

void Texto(const json& objeto, const char* chave, const std::string& onde, std::string& destino,
           Nulo nulo) {
  const json& v = Chave(objeto, chave, onde);
  switch (v.type()) {
    case json::value_t::string:
      destino = v.get<std::string>();
      return;
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      destino = v.dump();
      return;
    case json::value_t::null:
      if (nulo == Nulo::Permitido) return;
      Falha("null não permitido em " + Local(chave, onde));
    default:
      Falha("esperava um texto em " + Local(chave, onde) + ", veio " + Tipo(v));
  }
}

}  // namespace vtx::json_campos
