// Window messages 2024 and 1924 from any local sender: a local socket named per user and data
// root, that accepts one decimal number per line and passes on only those two.
#pragma once

#include <QLocalServer>
#include <QString>
#include <functional>

namespace vtx {

inline constexpr int MensagemMinimiza = 2024;
inline constexpr int MensagemDesconecta = 1924;

// The endpoint's name for this user and data root.
QString NomePontoLocal();

class TMensagensLocais : public QObject {
 public:
  explicit TMensagensLocais(std::function<void(int)> recebe, QObject* pai = nullptr);
  // False when the name is taken by a running program or cannot be bound.
  bool Escuta(const QString& nome);

 private:
  QLocalServer servidor_;
  std::function<void(int)> recebe_;
};

// Sends one message number to the running program; false when none answers.
bool EnviaMensagemLocal(const QString& nome, int mensagem, int esperaMs = 3000);

}  // namespace vtx
