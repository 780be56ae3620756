// The window's modal questions and messages, behind an interface so that tests can answer them.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace vtx {

class TDialogos {
 public:
  virtual ~TDialogos() = default;
  // An information message box.
  virtual void Informa(QWidget* pai, const QString& titulo, const QString& texto) = 0;
  // An error message box.
  virtual void Erro(QWidget* pai, const QString& texto) = 0;
  // An input dialog; nothing on cancel.
  virtual std::optional<QString> PedeTexto(QWidget* pai, const QString& titulo,
                                           const QString& pergunta) = 0;
  // A question answered yes or no; true for yes.
  virtual bool Pergunta(QWidget* pai, const QString& titulo, const QString& pergunta) = 0;
};

// Qt's message boxes and input dialog.
class TDialogosQt : public TDialogos {
 public:
  void Informa(QWidget* pai, const QString& titulo, const QString& texto) override;
  void Erro(QWidget* pai, const QString& texto) override;
  std::optional<QString> PedeTexto(QWidget* pai, const QString& titulo,
                                   const QString& pergunta) override;
  bool Pergunta(QWidget* pai, const QString& titulo, const QString& pergunta) override;
};

}  // namespace vtx
