// What the program puts into its gateway session and how it shows it, apart from the window:
// the login data record, the connection lamps' colours and the list of analysts present.
#pragma once

#include <QColor>
#include <optional>
#include <string>
#include <vector>

#include "app/web/classes.h"
#include "portal/http_portal_client.h"
#include "values/containers.h"

namespace vtx {

// Adds the login data record to the login function: the caller, the computer and the ticket
// (offline: placeholders and `agora`, the current local date-time).
void PreencheDadosLogin(TRtcFunctionInfo& f, const TCliente& cliente, const TUsuario& usuario,
                        const std::string& maquina, const TChamado& chamado, double agora);

// A lamp's colours for a channel status. `contador` (0..5) makes the outline pulse while the
// channel sends, and moves on by one each time; no outline: it stays as it was.
struct TCoresLampada {
  QColor preenchimento;
  std::optional<QColor> contorno;
};
TCoresLampada CoresDaLampada(TRtcPHttpConnStatus status, bool recepcao, int& contador);

// The analysts present, by login name compared without regard to case. Adiciona and Remove
// say whether the list changed.
bool AdicionaAnalista(std::vector<std::string>& analistas, const std::string& nome);
bool RemoveAnalista(std::vector<std::string>& analistas, const std::string& nome);

}  // namespace vtx
