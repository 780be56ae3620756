#include "app/tarefa_fundo.h"

#include <QMetaObject>
#include <thread>

namespace vtx {

TCaixaResultados::~TCaixaResultados() {
  std::lock_guard<std::mutex> trava(estado_->trava);
  estado_->alvo = nullptr;
}

void TCaixaResultados::Executa(std::function<std::string()> trabalho,
                               std::function<void(const std::string&, bool)> entrega) {
  std::thread([estado = estado_, trabalho = std::move(trabalho),
               entrega = std::move(entrega)]() mutable {
    std::string resultado;
    bool falhou = false;
    try {
      resultado = trabalho();
    } catch (...) {
      falhou = true;
    }
    std::lock_guard<std::mutex> trava(estado->trava);
    if (estado->alvo == nullptr) return;
    QMetaObject::invokeMethod(
        estado->alvo,
        [entrega = std::move(entrega), resultado = std::move(resultado), falhou]() {
          entrega(resultado, falhou);
        },
        Qt::QueuedConnection);
  }).detach();
}

}  // namespace vtx
