#include "app/dialogos.h"

#include <QInputDialog>
#include <QMessageBox>

namespace vtx {

void TDialogosQt::Informa(QWidget* pai, const QString& titulo, const QString& texto) {
  QMessageBox::information(pai, titulo, texto);
}

void TDialogosQt::Erro(QWidget* pai, const QString& texto) {
  QMessageBox::critical(pai, QStringLiteral("VARNELIKO Vorantelix"), texto);
}

std::optional<QString> TDialogosQt::PedeTexto(QWidget* pai, const QString& titulo,
                                              const QString& pergunta) {
  bool ok = false;
  const QString texto = QInputDialog::getText(pai, titulo, pergunta, QLineEdit::Normal, {}, &ok);
  if (!ok) return std::nullopt;
  return texto;
}

bool TDialogosQt::Pergunta(QWidget* pai, const QString& titulo, const QString& pergunta) {
  return QMessageBox::question(pai, titulo, pergunta, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

}  // namespace vtx
