#include "formulario_servidor.h"

namespace vtx::supportd {

namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Decodifica(std::string_view s) {
  std::string r;
  r.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      r += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && Hex(s[i + 1]) >= 0 && Hex(s[i + 2]) >= 0) {
      r += static_cast<char>(Hex(s[i + 1]) * 16 + Hex(s[i + 2]));
      i += 2;
    } else {
      r += s[i];
    }
  }
  return r;
}

}  // namespace

std::map<std::string, std::string> DecodificaFormulario(std::string_view corpo) {
  std::map<std::string, std::string> campos;
  while (!corpo.empty()) {
    const std::size_t fim = corpo.find('&');
    const std::string_view par = corpo.substr(0, fim);
    if (!par.empty()) {
      const std::size_t igual = par.find('=');
      campos[Decodifica(par.substr(0, igual))] =
          igual == std::string_view::npos ? std::string() : Decodifica(par.substr(igual + 1));
    }
    if (fim == std::string_view::npos) break;
    corpo.remove_prefix(fim + 1);
  }
  return campos;
}

}  // namespace vtx::supportd
