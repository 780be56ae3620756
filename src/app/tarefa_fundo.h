// Work on short-lived background threads whose results are handed to the user-interface thread,
// unless the receiving object has gone by then. The threads end before the object does.
#pragma once

#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vtx {

class TCaixaResultados {
 public:
  explicit TCaixaResultados(QObject* alvo) : estado_(std::make_shared<Estado>(alvo)) {}
  // Forgets the receiver, so that results arriving later are dropped, and waits for the threads.
  ~TCaixaResultados();
  TCaixaResultados(const TCaixaResultados&) = delete;
  TCaixaResultados& operator=(const TCaixaResultados&) = delete;

  // Runs trabalho on a new thread, then entrega(its result) on the receiver's thread. An
  // exception from trabalho delivers an empty string and falhou = true.
  void Executa(std::function<std::string()> trabalho,
               std::function<void(const std::string& resultado, bool falhou)> entrega);

 private:
  struct Estado {
    explicit Estado(QObject* a) : alvo(a) {}
    std::mutex trava;
    QObject* alvo;
  };
  std::shared_ptr<Estado> estado_;
  struct Tarefa {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> terminou;
  };
  std::vector<Tarefa> tarefas_;
};

}  // namespace vtx
