#include "app/janela_servico.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "app/web/erros.h"

namespace vtx {

namespace {

const QColor kTeal(0, 128, 128);

// Restores the cursor however the request ends.
struct Ampulheta {
  Ampulheta() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~Ampulheta() { QApplication::restoreOverrideCursor(); }
  Ampulheta(const Ampulheta&) = delete;
  Ampulheta& operator=(const Ampulheta&) = delete;
};

}  // namespace

TfmServico::TfmServico(QWidget* pai, TServicoSuporte web, TChamado chamado, TDialogos& dialogos,
                       std::function<void(const TServico&)> alterado)
    : QWidget(pai, Qt::Window | Qt::FramelessWindowHint),
      web_(std::move(web)),
      chamado_(std::move(chamado)),
      dialogos_(dialogos),
      alterado_(std::move(alterado)) {
  setObjectName(QStringLiteral("fmServico"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowModality(Qt::ApplicationModal);
  setWindowTitle(QStringLiteral("Vorantelix VARNELIKO®"));
  setFixedSize(457, 377);
  setAutoFillBackground(true);
  QPalette p = palette();
  p.setColor(QPalette::Window, kTeal);
  setPalette(p);
  if (pai) move(pai->x(), pai->y());

  auto* titulo = new QLabel(QStringLiteral("Vorantelix VARNELIKO®"), this);
  titulo->setGeometry(6, 2, 400, 18);
  QFont ft(QStringLiteral("Tahoma"), 10);
  ft.setBold(true);
  titulo->setFont(ft);
  QPalette pt = titulo->palette();
  pt.setColor(QPalette::WindowText, Qt::white);
  titulo->setPalette(pt);
  auto* fecha = new QPushButton(QStringLiteral("X"), this);
  fecha->setObjectName(QStringLiteral("btFecha"));
  fecha->setAutoDefault(false);
  fecha->setGeometry(425, 1, 28, 20);
  connect(fecha, &QPushButton::clicked, this, &QWidget::close);

  listServicos_ = new QTreeWidget(this);
  listServicos_->setObjectName(QStringLiteral("listServicos"));
  listServicos_->setGeometry(8, 26, 441, 258);
  listServicos_->setColumnCount(2);
  listServicos_->setHeaderLabels({QString(), QStringLiteral("Serviço")});
  listServicos_->setHeaderHidden(true);
  listServicos_->setRootIsDecorated(false);
  listServicos_->setSelectionBehavior(QAbstractItemView::SelectRows);
  listServicos_->setColumnWidth(0, 15);
  listServicos_->setColumnWidth(1, 400);
  listServicos_->setCursor(Qt::PointingHandCursor);
  QFont fl(QStringLiteral("Arial"), 12);
  fl.setBold(true);
  listServicos_->setFont(fl);
  listServicos_->installEventFilter(this);
  connect(listServicos_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
    if (item) Escolhe(listServicos_->indexOfTopLevelItem(item));
  });

  obs_ = new QPlainTextEdit(this);
  obs_->setObjectName(QStringLiteral("obs"));
  obs_->setReadOnly(true);
  obs_->setGeometry(8, 290, 441, 43);
  btAlterar_ = new QPushButton(QStringLiteral("Alterar Serviço do Chamado"), this);
  btAlterar_->setObjectName(QStringLiteral("btAlterar"));
  btAlterar_->setAutoDefault(false);
  btAlterar_->setGeometry(249, 340, 200, 30);
  btAlterar_->setEnabled(false);
  connect(btAlterar_, &QPushButton::clicked, this, [this] { Alterar(); });
}

void TfmServico::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (mostrado_) return;
  mostrado_ = true;
  BuscaServicos(0);
}

bool TfmServico::TemLinhaVoltar() const {
  return listServicos_->topLevelItemCount() > static_cast<int>(Servicos_.lista.size());
}

void TfmServico::BuscaServicos(int32_t id) {
  listServicos_->clear();
  obs_->clear();
  escolhido_ = -1;
  Servicos_ = TListaServicos{};
  {
    const Ampulheta ampulheta;
    btAlterar_->setEnabled(false);
    try {
      auto nivel = web_.BuscaServicos(id);
      if (nivel) {
        Servicos_ = std::move(*nivel);
        ID_SERV_ANTERIOR_ = Servicos_.anterior;
        for (const TServico& s : Servicos_.lista)
          new QTreeWidgetItem(listServicos_, {QString(), QString::fromStdString(s.descricao)});
        if (!Servicos_.lista.empty() && id > 0)
          new QTreeWidgetItem(listServicos_, {QString(), QStringLiteral("<  <  Voltar")});
      } else {
        dialogos_.Informa(this, windowTitle(),
                          QStringLiteral("Falha na obtenção da lista de serviços!"));
      }
    } catch (const EVorantelix& e) {
      dialogos_.Erro(this, QString::fromStdString(e.message()));
    }
  }
  if (listServicos_->topLevelItemCount() > 0)
    listServicos_->setCurrentItem(listServicos_->topLevelItem(0));
  listServicos_->setFocus();
}

void TfmServico::Escolhe(int linha) {
  if (linha < 0 || linha >= listServicos_->topLevelItemCount()) return;
  if (linha >= static_cast<int>(Servicos_.lista.size())) {
    BuscaServicos(Servicos_.anterior);
    return;
  }
  const TServico& s = Servicos_.lista[static_cast<std::size_t>(linha)];
  if (s.i > 0) {
    BuscaServicos(s.id);
    return;
  }
  escolhido_ = linha;
  obs_->setPlainText(QString::fromStdString(s.observacao));
  btAlterar_->setEnabled(true);
  btAlterar_->setFocus();
}

void TfmServico::Alterar() {
  if (escolhido_ < 0 || escolhido_ >= static_cast<int>(Servicos_.lista.size())) return;
  const TServico s = Servicos_.lista[static_cast<std::size_t>(escolhido_)];
  try {
    // Without a ticket (an offline session) there is nothing to move.
    if (chamado_.id != 0 && web_.AtualizaServico(chamado_.id, chamado_.iduser, s.id)) {
      chamado_.id_serv = s.id;
      chamado_.servico = s.descricao;
      if (alterado_) alterado_(s);
      close();
      return;
    }
    dialogos_.Informa(this, windowTitle(), QStringLiteral("Erro atualizando Serviço do Chamado!"));
  } catch (const EVorantelix& e) {
    dialogos_.Erro(this, QString::fromStdString(e.message()));
  }
}

bool TfmServico::eventFilter(QObject* objeto, QEvent* evento) {
  if (objeto == listServicos_ && evento->type() == QEvent::KeyPress) {
    const int tecla = static_cast<QKeyEvent*>(evento)->key();
    if (tecla == Qt::Key_Return || tecla == Qt::Key_Enter) {
      if (auto* item = listServicos_->currentItem())
        Escolhe(listServicos_->indexOfTopLevelItem(item));
      return true;
    }
    if (tecla == Qt::Key_Escape) {
      if (TemLinhaVoltar())
        BuscaServicos(Servicos_.anterior);
      else
        close();
      return true;
    }
  }
  return QWidget::eventFilter(objeto, evento);
}

}  // namespace vtx
