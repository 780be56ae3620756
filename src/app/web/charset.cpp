#include "app/web/charset.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "app/web/erros.h"

namespace vtx {

namespace {

std::string Minusculo(std::string_view s) {
  std::string r(s);
  std::transform(r.begin(), r.end(), r.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return r;
}

std::string_view Apara(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

void AnexaUtf8(std::string& saida, uint32_t cp) {
  if (cp < 0x80) {
    saida += static_cast<char>(cp);
  } else if (cp < 0x800) {
    saida += static_cast<char>(0xC0 | (cp >> 6));
    saida += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    saida += static_cast<char>(0xE0 | (cp >> 12));
    saida += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    saida += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    saida += static_cast<char>(0xF0 | (cp >> 18));
    saida += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    saida += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    saida += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Windows-1252 0x80..0x9F; the five unassigned bytes keep their C1 code points.
constexpr uint16_t kCp1252Alto[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

uint32_t Cp1252(unsigned char b) {
  return (b >= 0x80 && b <= 0x9F) ? kCp1252Alto[b - 0x80] : b;
}

uint32_t Iso885915(unsigned char b) {
  switch (b) {
    case 0xA4:
      return 0x20AC;
    case 0xA6:
      return 0x0160;
    case 0xA8:
      return 0x0161;
    case 0xB4:
      return 0x017D;
    case 0xB8:
      return 0x017E;
    case 0xBC:
      return 0x0152;
    case 0xBD:
      return 0x0153;
    case 0xBE:
      return 0x0178;
    default:
      return b;
  }
}

template <typename Mapa>
std::string DeUmByte(std::string_view corpo, Mapa mapa) {
  std::string saida;
  saida.reserve(corpo.size() + corpo.size() / 2);
  for (char ch : corpo) AnexaUtf8(saida, mapa(static_cast<unsigned char>(ch)));
  return saida;
}

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
std::size_t SequenciaUtf8(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  std::size_t n;
  uint32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3, cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4, cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

std::string Utf8Reparado(std::string_view corpo) {
  std::string saida;
  saida.reserve(corpo.size());
  for (std::size_t i = 0; i < corpo.size();) {
    const std::size_t n = SequenciaUtf8(corpo, i);
    if (n == 0) {
      AnexaUtf8(saida, 0xFFFD);
      ++i;
    } else {
      saida.append(corpo.substr(i, n));
      i += n;
    }
  }
  return saida;
}

}  // namespace

bool Utf8Valido(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = SequenciaUtf8(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string CharsetDe(std::string_view contentType) {
  std::size_t pos = contentType.find(';');
  while (pos != std::string_view::npos) {
    std::string_view resto = contentType.substr(pos + 1);
    const std::size_t fim = resto.find(';');
    std::string_view parametro = Apara(resto.substr(0, fim));
    const std::size_t igual = parametro.find('=');
    if (igual != std::string_view::npos &&
        Minusculo(Apara(parametro.substr(0, igual))) == "charset") {
      std::string_view valor = Apara(parametro.substr(igual + 1));
      if (valor.size() >= 2 && valor.front() == '"' && valor.back() == '"')
        valor = valor.substr(1, valor.size() - 2);
      return Minusculo(valor);
    }
    pos = fim == std::string_view::npos ? fim : pos + 1 + fim;
  }
  return {};
}

std::string DecodificaTexto(std::string_view corpo, std::string_view contentType) {
  const std::string charset = CharsetDe(contentType);
  if (charset.empty()) {
    return Utf8Valido(corpo) ? std::string(corpo) : DeUmByte(corpo, Cp1252);
  }
  if (charset == "utf-8" || charset == "utf8") return Utf8Reparado(corpo);
  if (charset == "iso-8859-1" || charset == "latin1" || charset == "iso8859-1" ||
      charset == "windows-1252" || charset == "cp1252" || charset == "us-ascii" ||
      charset == "ascii")
    return DeUmByte(corpo, Cp1252);
  if (charset == "iso-8859-15" || charset == "latin9") return DeUmByte(corpo, Iso885915);
  throw EWebServico("Conjunto de caracteres não suportado na resposta: " + charset.substr(0, 40));
}

}  // namespace vtx
