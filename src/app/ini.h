// The program's INI file: sections and keys matched without regard to case, other lines kept.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vtx {

class TArquivoIni {
 public:
  // Reads the file; a missing or unreadable file gives an empty one.
  explicit TArquivoIni(std::filesystem::path arquivo);

  // Parses text as the file's content (lines without "=" or "[...]" are kept as they are).
  void Carrega(std::string_view texto);
  std::string Texto() const;

  std::optional<std::string> Le(std::string_view secao, std::string_view chave) const;
  std::string LeTexto(std::string_view secao, std::string_view chave,
                      std::string_view padrao = {}) const;
  // A value that is not a decimal 32-bit integer gives the default.
  int32_t LeInteiro(std::string_view secao, std::string_view chave, int32_t padrao) const;

  // Sets the value in memory and writes the whole file (replacing it only once the new content
  // is complete). Returns false when the file could not be written.
  bool Grava(std::string_view secao, std::string_view chave, std::string_view valor);
  bool GravaInteiro(std::string_view secao, std::string_view chave, int32_t valor);

  const std::filesystem::path& arquivo() const { return arquivo_; }

 private:
  struct Linha {
    std::string texto;  // the line as read; rebuilt for written keys
    std::string chave;  // empty for section headers and other lines
    std::string valor;
  };
  struct Secao {
    std::string nome;  // empty: the lines before the first section
    std::vector<Linha> linhas;
  };

  const Secao* AchaSecao(std::string_view nome) const;
  void Define(std::string_view secao, std::string_view chave, std::string_view valor);
  bool Salva() const;

  std::filesystem::path arquivo_;
  std::vector<Secao> secoes_;
};

}  // namespace vtx
