// TfmAvaliacao: the invitation to rate a ticket once its session has ended.
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QWidget>
#include <memory>
#include <string>

#include "app/links.h"
#include "app/tarefa_fundo.h"
#include "app/web/servico_suporte.h"

class QLabel;
class QMovie;
class QTimer;

namespace vtx {

class TfmAvaliacao : public QWidget {
 public:
  TfmAvaliacao(QWidget* pai, TServicoSuporte web, const std::string& idChamado, TAbreLinks& links);
  ~TfmAvaliacao() override;

  const QString& link() const { return link_; }
  // The downloaded animation, or null while the built-in one runs.
  QMovie* filme() const { return filme_.get(); }
  // "Sair".
  void Sair();

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* objeto, QEvent* evento) override;

 private:
  void MostraGif(const std::string& bytes);

  TServicoSuporte web_;
  TAbreLinks& links_;
  QString link_;
  bool mostrado_ = false;
  bool saindo_ = false;
  QLabel* imgGif_ = nullptr;
  QTimer* embutida_ = nullptr;  // the built-in animation
  int quadro_ = 0;
  QByteArray bytes_;
  QBuffer buffer_;
  std::unique_ptr<QMovie> filme_;

  // Last: destroyed first, so that no picture reaches the window while it is being taken down.
  TCaixaResultados fundo_{this};
};

}  // namespace vtx
