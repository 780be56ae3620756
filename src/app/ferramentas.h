// The desktop tools the analyst's commands start. Each Windows tool has a short list of Linux
// stand-ins, the first one installed wins; with none installed nothing visible happens and the
// log names what was missing.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vtx {

enum class TFerramenta {
  OpcoesInternet,
  OpcoesPastas,
  PainelControle,
  Som,
  Sistema,
  Video,
  Mouse,
  Programas,
  Prompt,
  GerenciadorDispositivos,
  Firebird,
  Firewall,
  ConexoesRede,
  DataHora,
  Impressoras,
  Teclado,
};

struct TFerramentaLinux {
  TFerramenta ferramenta;
  const char* windows;                               // the Windows command line it stands in for
  std::vector<std::vector<std::string>> candidatos;  // argument lists, the program first
};

// The whole table, one row per tool, in the enum's order.
const std::vector<TFerramentaLinux>& TabelaFerramentas();
const TFerramentaLinux& Ferramenta(TFerramenta f);

// Starts programs and opens paths; the program's own runs them detached, tests record them.
class TExecutor {
 public:
  virtual ~TExecutor() = default;
  // Whether `programa` is found on PATH (or is an executable path).
  virtual bool Instalado(const std::string& programa) const = 0;
  // Starts the argument list as a program of its own; false when it could not be started.
  virtual bool Inicia(const std::vector<std::string>& argumentos) = 0;
};

// Finds programs on PATH and starts them detached from the program.
class TExecutorSistema final : public TExecutor {
 public:
  bool Instalado(const std::string& programa) const override;
  bool Inicia(const std::vector<std::string>& argumentos) override;
};

// The first installed candidate of `f`, or none.
std::optional<std::vector<std::string>> EscolheFerramenta(const TExecutor& executor, TFerramenta f);

// Starts the tool; without any installed candidate (or when it fails to start) logs one line
// through `log` naming the tool and its candidates and returns false.
bool ExecutaFerramenta(TExecutor& executor, TFerramenta f,
                       const std::function<void(const std::string&)>& log);

// Opens a folder or URL with the desktop's handler (xdg-open), logging when it is missing.
bool AbreNoDesktop(TExecutor& executor, const std::string& caminho,
                   const std::function<void(const std::string&)>& log);

// Whether a process whose executable file name equals `nome` (compared in lower case) runs,
// read from `proc` (the process table's folder: one numeric folder per process with "comm",
// "cmdline" and "exe"). False when the table cannot be read.
bool ProcessoAtivo(std::string_view nome, const std::filesystem::path& proc = "/proc");

}  // namespace vtx
