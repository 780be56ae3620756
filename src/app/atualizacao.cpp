#include "app/atualizacao.h"

#include <spawn.h>
#include <sys/stat.h>

#include <system_error>

#include "app/web/servico_suporte.h"

extern char** environ;

namespace vtx {

bool IniciaProcessoSeparado(const std::filesystem::path& programa) noexcept {
  std::error_code ec;
  std::filesystem::permissions(
      programa, std::filesystem::perms::owner_exec | std::filesystem::perms::group_exec,
      std::filesystem::perm_options::add, ec);
  if (ec) return false;
  posix_spawnattr_t atributos;
  if (posix_spawnattr_init(&atributos) != 0) return false;
  posix_spawnattr_setflags(&atributos, POSIX_SPAWN_SETSID);
  std::string caminho = programa.string();
  char* argv[] = {caminho.data(), nullptr};
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, caminho.c_str(), nullptr, &atributos, argv, environ);
  posix_spawnattr_destroy(&atributos);
  return rc == 0;
}

TResultadoAtualizacao VerificaAtualizacao(const TServicoSuporte& servico,
                                          const std::filesystem::path& instalador) noexcept {
  try {
    if (servico.BuscaVersao() <= NumeroBuild) return TResultadoAtualizacao::SemAtualizacao;
    servico.BaixaInstalador(instalador);
    if (IniciaProcessoSeparado(instalador)) return TResultadoAtualizacao::InstaladorIniciado;
  } catch (...) {
  }
  return TResultadoAtualizacao::SemAtualizacao;
}

}  // namespace vtx
