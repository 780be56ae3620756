#include "app/ini.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <system_error>

#include "app/arquivos.h"

namespace vtx {

namespace {

std::string_view Apara(std::string_view s) {
  const auto branco = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && branco(s.front())) s.remove_prefix(1);
  while (!s.empty() && branco(s.back())) s.remove_suffix(1);
  return s;
}

bool MesmoTexto(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto baixa = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (baixa(a[i]) != baixa(b[i])) return false;
  }
  return true;
}

}  // namespace

TArquivoIni::TArquivoIni(std::filesystem::path arquivo) : arquivo_(std::move(arquivo)) {
  Carrega(LeArquivoTexto(arquivo_).value_or(""));
}

void TArquivoIni::Carrega(std::string_view texto) {
  secoes_.clear();
  secoes_.push_back({});
  std::size_t inicio = 0;
  while (inicio < texto.size()) {
    std::size_t fim = texto.find('\n', inicio);
    if (fim == std::string_view::npos) fim = texto.size();
    std::string_view linha = texto.substr(inicio, fim - inicio);
    if (!linha.empty() && linha.back() == '\r') linha.remove_suffix(1);
    inicio = fim + 1;

    const std::string_view aparada = Apara(linha);
    if (aparada.size() >= 2 && aparada.front() == '[' && aparada.back() == ']') {
      secoes_.push_back({std::string(Apara(aparada.substr(1, aparada.size() - 2))), {}});
      continue;
    }
    Linha l{std::string(linha), {}, {}};
    const auto igual = aparada.find('=');
    const bool comentario = !aparada.empty() && (aparada.front() == ';' || aparada.front() == '#');
    if (!comentario && igual != std::string_view::npos && igual > 0) {
      l.chave = std::string(Apara(aparada.substr(0, igual)));
      l.valor = std::string(Apara(aparada.substr(igual + 1)));
    }
    secoes_.back().linhas.push_back(std::move(l));
  }
}

std::string TArquivoIni::Texto() const {
  std::string saida;
  for (const Secao& s : secoes_) {
    if (&s != &secoes_.front()) saida += "[" + s.nome + "]\r\n";
    for (const Linha& l : s.linhas) saida += l.texto + "\r\n";
  }
  return saida;
}

const TArquivoIni::Secao* TArquivoIni::AchaSecao(std::string_view nome) const {
  for (std::size_t i = 1; i < secoes_.size(); ++i)
    if (MesmoTexto(secoes_[i].nome, nome)) return &secoes_[i];
  return nullptr;
}

std::optional<std::string> TArquivoIni::Le(std::string_view secao, std::string_view chave) const {
  const Secao* s = AchaSecao(secao);
  if (s == nullptr) return std::nullopt;
  for (const Linha& l : s->linhas)
    if (!l.chave.empty() && MesmoTexto(l.chave, chave)) return l.valor;
  return std::nullopt;
}

std::string TArquivoIni::LeTexto(std::string_view secao, std::string_view chave,
                                 std::string_view padrao) const {
  auto v = Le(secao, chave);
  return v ? *v : std::string(padrao);
}

int32_t TArquivoIni::LeInteiro(std::string_view secao, std::string_view chave,
                               int32_t padrao) const {
  const auto v = Le(secao, chave);
  if (!v || v->empty()) return padrao;
  int32_t n = 0;
  const char* fim = v->data() + v->size();
  const auto [p, erro] = std::from_chars(v->data() + (v->front() == '+' ? 1 : 0), fim, n);
  return (erro == std::errc() && p == fim) ? n : padrao;
}

void TArquivoIni::Define(std::string_view secao, std::string_view chave, std::string_view valor) {
  const std::string linha = std::string(chave) + "=" + std::string(valor);
  auto* s = const_cast<Secao*>(AchaSecao(secao));
  if (s == nullptr) {
    secoes_.push_back({std::string(secao), {}});
    s = &secoes_.back();
  }
  for (Linha& l : s->linhas) {
    if (!l.chave.empty() && MesmoTexto(l.chave, chave)) {
      l = {std::string(l.chave) + "=" + std::string(valor), l.chave, std::string(valor)};
      return;
    }
  }
  // New keys go after the section's last key, before trailing blank lines.
  auto pos = s->linhas.end();
  while (pos != s->linhas.begin() && Apara((pos - 1)->texto).empty()) --pos;
  s->linhas.insert(pos, Linha{linha, std::string(chave), std::string(valor)});
}

bool TArquivoIni::Grava(std::string_view secao, std::string_view chave, std::string_view valor) {
  // A line break inside a value would split it into two lines, one of them a new key.
  std::string limpo(valor);
  for (char& c : limpo)
    if (c == '\r' || c == '\n') c = ' ';
  Define(secao, chave, limpo);
  return Salva();
}

bool TArquivoIni::GravaInteiro(std::string_view secao, std::string_view chave, int32_t valor) {
  return Grava(secao, chave, std::to_string(valor));
}

bool TArquivoIni::Salva() const {
  if (arquivo_.empty()) return false;
  std::error_code ec;
  std::filesystem::create_directories(arquivo_.parent_path(), ec);
  return SubstituiArquivo(arquivo_, Texto());
}

}  // namespace vtx
