#include "app/arquivos.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <system_error>

namespace vtx {

bool SubstituiArquivo(const std::filesystem::path& arquivo, std::string_view texto) {
  std::filesystem::path temporario = arquivo;
  temporario += ".tmp" + std::to_string(::getpid());
  {
    std::ofstream saida(temporario, std::ios::binary | std::ios::trunc);
    if (!saida) return false;
    saida.write(texto.data(), static_cast<std::streamsize>(texto.size()));
    saida.close();
    if (!saida) {
      std::error_code ec;
      std::filesystem::remove(temporario, ec);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporario, arquivo, ec);
  if (ec) std::filesystem::remove(temporario, ec);
  return !ec;
}

bool SalvaTexto(const std::filesystem::path& arquivo, std::string_view texto, bool criaPastas) {
  std::error_code ec;
  const bool existe = std::filesystem::exists(arquivo, ec);
  if (existe && texto.empty()) return true;
  if (!existe && criaPastas && arquivo.has_parent_path())
    std::filesystem::create_directories(arquivo.parent_path(), ec);
  return SubstituiArquivo(arquivo, texto);
}

std::optional<std::string> LeArquivoTexto(const std::filesystem::path& arquivo) {
  std::ifstream entrada(arquivo, std::ios::binary);
  if (!entrada) return std::nullopt;
  std::ostringstream texto;
  texto << entrada.rdbuf();
  if (entrada.bad()) return std::nullopt;
  return texto.str();
}

}  // namespace vtx
