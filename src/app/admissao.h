// The customer's consent to each analyst, asked once per analyst per session when the program is
// set to ask (off: everyone the modules admit is admitted).
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>

namespace vtx {

class TAdmissaoAnalistas {
 public:
  // `pergunta` asks the customer about one analyst: true admits.
  using Pergunta = std::function<bool(const std::string& analista)>;

  TAdmissaoAnalistas(bool pergunta, Pergunta perguntaAoCliente);

  bool Ativa() const { return ativa_; }
  // Whether the analyst may enter the desktop, files or chat. Asks at the analyst's first
  // request of the session; later requests get that answer. A request that comes while the
  // question about the same analyst is still open is refused (the analyst may ask again).
  bool Admite(const std::string& analista);
  // A new session: every answer is forgotten.
  void NovaSessao();

 private:
  bool ativa_;
  Pergunta pergunta_;
  std::map<std::string, bool> respostas_;  // by the name without regard to case
  std::set<std::string> perguntando_;
};

}  // namespace vtx
