// The analyst's short text commands: "|"-separated fields, the first the command word (compared
// exactly, letter case included). InterpretaComando tells what a text asks for;
// ExecutaComando carries it out through the program's actions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "app/ferramentas.h"

namespace vtx {

enum class TTipoComando {
  Ignorado,
  MudaAnalista,    // "changeanalista": fields 3, 4, 5
  AnalistaOnline,  // "analistaonline": fields 3, 4
  TeclaAtalho,     // "<WIN_CTRL_ALT_DEL>", "<WIN_ALT_TAB>": the hot-key message, unhandled
  AbreEntrada,     // "<TSINBOX>"
  AbrePastaDados,  // "<TSFOLDER>"
  Ferramenta,      // a control-panel tool or the prompt
  Firebird,        // the database tool, only while its server runs
  Encerra,         // "<CLOSE_HOST>"
};

struct TComando {
  TTipoComando tipo = TTipoComando::Ignorado;
  TFerramenta ferramenta = TFerramenta::PainelControle;  // for Ferramenta and Firebird
  std::vector<std::string> campos;  // the fields the command reads (from field 3 on), or none
};

// Reads one command text. Only the fields a command reads are kept, so a text of very many
// fields costs one pass.
TComando InterpretaComando(std::string_view texto);

// Field `n` (counted from 1) of `texto` split at "|", empty when there are fewer fields.
std::string Campo(std::string_view texto, std::size_t n);

// What the commands do to the program and the desktop.
class TAcoesComando {
 public:
  virtual ~TAcoesComando() = default;
  virtual void MudaAnalista(const std::string& chamado, const std::string& analista,
                            const std::string& nome) = 0;
  virtual void AnalistaOnline(const std::string& chamado, const std::string& analista) = 0;
  // Posted, so the session ends after the command's own event.
  virtual void PedeEncerramento() = 0;
  virtual std::string NomeComputador() const = 0;
  virtual std::string PastaDados() const = 0;    // the data root
  virtual std::string PastaEntrada() const = 0;  // its INBOX
  virtual void Log(const std::string& linha) = 0;
  virtual TExecutor& Executor() = 0;
  virtual bool ProcessoAtivo(std::string_view nome) const = 0;
};

// The server computer's name and the share the data folder is reached through elsewhere.
inline constexpr const char* kNomeServidor = "SERVIDOR";
inline constexpr const char* kPastaServidor = "smb://SERVIDOR/VARNELIKO_VTX5/";

void ExecutaComando(const TComando& comando, TAcoesComando& acoes);

}  // namespace vtx
