// The program's fixed folders and files under the data root and beside the program.
#pragma once

#include <filesystem>
#include <string>

namespace vtx {

struct TConfiguracao;

struct TPastas {
  std::filesystem::path dados;     // data root
  std::filesystem::path programa;  // holds "LOG" and "portal.retorno"

  std::filesystem::path Inbox() const { return dados / "INBOX"; }
  std::filesystem::path Instalador() const { return Inbox() / "INST_VORANTELIX.EXE"; }
  std::filesystem::path DirTEMP() const { return dados / "CfgAdicionais"; }
  std::filesystem::path ArquivoIni() const { return DirTEMP() / "Vorantelix.ini"; }
  std::filesystem::path CacheEmpresa() const { return programa / "portal.retorno"; }
  // "LOG/LOG_yyyymmdd.log" for the given local date.
  std::filesystem::path ArquivoLog(int ano, int mes, int dia) const;
  std::filesystem::path ArquivoLogDeHoje() const;
};

// The data root, and the program folder: configured, else beside the executable when
// writable, else the data root.
TPastas PastasDoPrograma(const TConfiguracao& config);

}  // namespace vtx
