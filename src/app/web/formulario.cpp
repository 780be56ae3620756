#include "app/web/formulario.h"

namespace vtx {

std::string CodificaCampo(std::string_view texto) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string saida;
  saida.reserve(texto.size() * 3);
  for (char ch : texto) {
    const auto b = static_cast<unsigned char>(ch);
    if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '*' ||
        b == '-' || b == '.' || b == '_') {
      saida += ch;
    } else if (b == ' ') {
      saida += '+';
    } else {
      saida += '%';
      saida += kHex[b >> 4];
      saida += kHex[b & 0x0F];
    }
  }
  return saida;
}

std::string CodificaFormulario(const TCampos& campos) {
  std::string corpo;
  for (const auto& [nome, valor] : campos) {
    if (!corpo.empty()) corpo += '&';
    corpo += CodificaCampo(nome);
    corpo += '=';
    corpo += CodificaCampo(valor);
  }
  return corpo;
}

}  // namespace vtx
