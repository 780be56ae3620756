// The self-update check made at start-up, before any window exists.
#pragma once

#include <cstdint>
#include <filesystem>

namespace vtx {

class TServicoSuporte;

inline constexpr int32_t NumeroBuild = 5068;

enum class TResultadoAtualizacao {
  SemAtualizacao,      // the reported build is not newer, or the check failed
  InstaladorIniciado,  // the installer runs as its own process: the program ends now
};

// Asks the version endpoint; when it reports a build above NumeroBuild, downloads the installer
// into `instalador` (an old file there is deleted first) and starts it as a separate process.
// Every failure is swallowed and gives SemAtualizacao.
TResultadoAtualizacao VerificaAtualizacao(const TServicoSuporte& servico,
                                          const std::filesystem::path& instalador) noexcept;

// Starts the program file in its own session, without waiting for it. False when it could not
// be started.
bool IniciaProcessoSeparado(const std::filesystem::path& programa) noexcept;

}  // namespace vtx
