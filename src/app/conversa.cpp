#include "app/conversa.h"

#include <QDateTime>
#include <QString>
#include <cctype>
#include <cmath>

namespace vtx {

namespace {

std::string SemCaracteres(std::string_view s, std::string_view tirar) {
  std::string r;
  r.reserve(s.size());
  for (char c : s)
    if (tirar.find(c) == std::string_view::npos) r += c;
  return r;
}

int32_t Inteiro(std::string_view s) {
  if (s.empty() || s.size() > 10) return 0;
  int64_t v = 0;
  std::size_t i = s[0] == '-' ? 1 : 0;
  if (i == s.size()) return 0;
  for (; i < s.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return 0;
    v = v * 10 + (s[i] - '0');
  }
  if (s[0] == '-') v = -v;
  return v < INT32_MIN || v > INT32_MAX ? 0 : static_cast<int32_t>(v);
}

}  // namespace

TLinhaChat LeLinhaChat(std::string_view linha) {
  std::string_view campos[4];
  std::size_t inicio = 0;
  for (int i = 0; i < 4 && inicio <= linha.size(); ++i) {
    const std::size_t barra = linha.find('|', inicio);
    campos[i] = linha.substr(inicio, barra == std::string_view::npos ? linha.npos : barra - inicio);
    if (barra == std::string_view::npos) break;
    inicio = barra + 1;
  }
  return {std::string(campos[0]), std::string(campos[1]), std::string(campos[2]),
          Inteiro(campos[3])};
}

std::string MontaLinhaChat(std::string_view data, std::string_view nome, std::string_view texto,
                           int32_t id) {
  return std::string(data) + "|" + SemCaracteres(nome, "|") + "|" + LimpaMensagem(texto) + "|" +
         std::to_string(id);
}

std::string LimpaMensagem(std::string_view texto) {
  return SemCaracteres(texto, "\r\n|");
}

bool EhLink(std::string_view msg) {
  auto comeca = [&](std::string_view p) {
    if (msg.size() < p.size()) return false;
    for (std::size_t i = 0; i < p.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(msg[i])) != p[i]) return false;
    return true;
  };
  return comeca("http://") || comeca("https://");
}

std::string TextoTempo(int64_t m) {
  if (m <= 60) return std::to_string(m) + " minuto(s)";
  if (m / 60 <= 24)
    return std::to_string(m / 60) + " hora(s) e " + std::to_string(m % 60) + " min.";
  return std::to_string(m / 1440) + " dia(s), " + std::to_string((m % 1440) / 60) + " h e " +
         std::to_string((m % 1440) % 60) + " m";
}

int64_t MinutosDesde(std::string_view data, double agoraDias) {
  const QDateTime d =
      QDateTime::fromString(QString::fromUtf8(data.data(), static_cast<int>(data.size())),
                            QStringLiteral("dd/MM/yyyy hh:mm:ss"));
  if (!d.isValid()) return -1;
  const QDateTime base(QDate(1899, 12, 30), QTime(0, 0));
  const double dias = static_cast<double>(base.msecsTo(d)) / 86400000.0;
  return static_cast<int64_t>(std::floor((agoraDias - dias) * 1440.0 + 1e-6));
}

}  // namespace vtx
