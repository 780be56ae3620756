// TfmServico: moves the open ticket to another service of the catalogue.
#pragma once

#include <QWidget>
#include <functional>

#include "app/dialogos.h"
#include "app/web/classes.h"
#include "app/web/servico_suporte.h"

class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

namespace vtx {

class TfmServico : public QWidget {
 public:
  // alterado runs with the new service once the web service has accepted it.
  TfmServico(QWidget* pai, TServicoSuporte web, TChamado chamado, TDialogos& dialogos,
             std::function<void(const TServico&)> alterado);

  // Shows one level of the catalogue (0 = top).
  void BuscaServicos(int32_t id);
  // A chosen row: the back row goes up, a group goes down, a service can be chosen.
  void Escolhe(int linha);
  // "Alterar Serviço do Chamado".
  void Alterar();

  const TListaServicos& Servicos() const { return Servicos_; }
  int32_t ID_SERV_ANTERIOR() const { return ID_SERV_ANTERIOR_; }

 protected:
  void showEvent(QShowEvent* e) override;
  bool eventFilter(QObject* objeto, QEvent* evento) override;

 private:
  bool TemLinhaVoltar() const;

  TServicoSuporte web_;
  TChamado chamado_;
  TDialogos& dialogos_;
  std::function<void(const TServico&)> alterado_;
  TListaServicos Servicos_;
  int32_t ID_SERV_ANTERIOR_ = 0;
  int escolhido_ = -1;  // the entry chosen for the update
  bool mostrado_ = false;

  QTreeWidget* listServicos_ = nullptr;
  QPlainTextEdit* obs_ = nullptr;
  QPushButton* btAlterar_ = nullptr;
};

}  // namespace vtx
