#include "app/pastas.h"

#include <cstdio>
#include <ctime>

#include "app/web/config.h"
#include "util/paths.h"

namespace vtx {

std::filesystem::path TPastas::ArquivoLog(int ano, int mes, int dia) const {
  char nome[32];
  std::snprintf(nome, sizeof nome, "LOG_%04d%02d%02d.log", ano, mes, dia);
  return programa / "LOG" / nome;
}

std::filesystem::path TPastas::ArquivoLogDeHoje() const {
  const std::time_t agora = std::time(nullptr);
  std::tm local{};
  localtime_r(&agora, &local);
  return ArquivoLog(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

TPastas PastasDoPrograma(const TConfiguracao& config) {
  TPastas p;
  p.dados = DataRoot();
  if (!config.pastaPrograma.empty()) {
    p.programa = config.pastaPrograma;
  } else {
    const auto exe = ExecutablePath();
    p.programa = (!exe.empty() && IsWritableDir(exe.parent_path())) ? exe.parent_path() : p.dados;
  }
  return p;
}

}  // namespace vtx
