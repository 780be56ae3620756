#include "app/tarefa_fundo.h"

#include <QMetaObject>

namespace vtx {

TCaixaResultados::~TCaixaResultados() {
  {
    std::lock_guard<std::mutex> trava(estado_->trava);
    estado_->alvo = nullptr;
  }
  for (std::thread& t : threads_) t.join();
}

void TCaixaResultados::Executa(std::function<std::string()> trabalho,
                               std::function<void(const std::string&, bool)> entrega) {
  threads_.emplace_back(
      [estado = estado_, trabalho = std::move(trabalho), entrega = std::move(entrega)]() mutable {
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
      });
}

}  // namespace vtx
