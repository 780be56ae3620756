#include "app/admissao.h"

#include <QString>

namespace vtx {

TAdmissaoAnalistas::TAdmissaoAnalistas(bool pergunta, Pergunta perguntaAoCliente)
    : ativa_(pergunta), pergunta_(std::move(perguntaAoCliente)) {}

bool TAdmissaoAnalistas::Admite(const std::string& analista) {
  if (!ativa_) return true;
  const std::string chave = QString::fromStdString(analista).toCaseFolded().toStdString();
  if (auto r = respostas_.find(chave); r != respostas_.end()) return r->second;
  if (!perguntando_.insert(chave).second || !pergunta_) return false;
  bool sim = false;
  try {
    sim = pergunta_(analista);
  } catch (...) {
    perguntando_.erase(chave);
    throw;
  }
  perguntando_.erase(chave);
  respostas_[chave] = sim;
  return sim;
}

void TAdmissaoAnalistas::NovaSessao() {
  respostas_.clear();
}

}  // namespace vtx
