#include "app/tarefa_fundo.h"

#include <QMetaObject>

namespace vtx {

TCaixaResultados::~TCaixaResultados() {
  {
    std::lock_guard<std::mutex> trava(estado_->trava);
    estado_->alvo = nullptr;
  }
  for (Tarefa& t : tarefas_) t.thread.join();
}

void TCaixaResultados::Executa(std::function<std::string()> trabalho,
                               std::function<void(const std::string&, bool)> entrega) {
  // Threads that have finished are joined here, so that they do not pile up.
  std::erase_if(tarefas_, [](Tarefa& t) {
    if (!t.terminou->load()) return false;
    t.thread.join();
    return true;
  });
  auto terminou = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([estado = estado_, trabalho = std::move(trabalho),
                      entrega = std::move(entrega), terminou]() mutable {
    std::string resultado;
    bool falhou = false;
    try {
      resultado = trabalho();
    } catch (...) {
      falhou = true;
    }
    std::lock_guard<std::mutex> trava(estado->trava);
    terminou->store(true);
    if (estado->alvo == nullptr) return;
    QMetaObject::invokeMethod(
        estado->alvo,
        [entrega = std::move(entrega), resultado = std::move(resultado), falhou]() {
          entrega(resultado, falhou);
        },
        Qt::QueuedConnection);
  });
  tarefas_.push_back({std::move(thread), std::move(terminou)});
}

}  // namespace vtx
