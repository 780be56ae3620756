#include "app/janela_avaliacao.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <charconv>
#include <cmath>

namespace vtx {

namespace {

const QColor kMarinho(0, 0, 128);

// One frame of the built-in animation: five stars lit one after the other.
QPixmap Estrelas(int quadro) {
  QPixmap px(490, 200);
  px.fill(Qt::white);
  QPainter p(&px);
  p.setRenderHint(QPainter::Antialiasing);
  for (int i = 0; i < 5; ++i) {
    QPolygonF estrela;
    for (int k = 0; k < 10; ++k) {
      const double a = -1.5707963 + k * 3.14159265 / 5;
      const double r = k % 2 == 0 ? 34 : 14;
      estrela << QPointF(65 + i * 90 + r * std::cos(a), 100 + r * std::sin(a));
    }
    p.setPen(QPen(kMarinho, 2));
    p.setBrush(i <= quadro % 6 - 1 ? QColor(255, 190, 0) : QColor(230, 230, 230));
    p.drawPolygon(estrela);
  }
  return px;
}

// The ticket id in decimal, or 0 when the text is not one.
int32_t IdDoChamado(const std::string& texto) {
  int32_t n = 0;
  const auto [p, erro] = std::from_chars(texto.data(), texto.data() + texto.size(), n);
  return erro == std::errc() && p == texto.data() + texto.size() ? n : 0;
}

}  // namespace

TfmAvaliacao::TfmAvaliacao(QWidget* pai, TServicoSuporte web, const std::string& idChamado,
                           TAbreLinks& links)
    : QWidget(pai, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      web_(std::move(web)),
      links_(links) {
  setObjectName(QStringLiteral("fmAvaliacao"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowModality(Qt::ApplicationModal);
  setWindowTitle(QStringLiteral("VARNELIKO Vorantelix"));
  setFixedSize(507, 301);
  setAutoFillBackground(true);
  QPalette pj = palette();
  pj.setColor(QPalette::Window, Qt::white);
  setPalette(pj);
  if (const QScreen* tela = QGuiApplication::primaryScreen())
    move(tela->geometry().center() - rect().center());

  auto* titulo = new QLabel(QStringLiteral("Avaliação do Chamado:"), this);
  QFont f14(QStringLiteral("Tahoma"), 14);
  f14.setBold(true);
  titulo->setFont(f14);
  titulo->setGeometry(8, 4, 490, 24);
  auto* texto = new QLabel(QStringLiteral("Você receberá um e-mail para fazer a avaliação do "
                                          "chamado, ou clique no link abaixo para avaliar agora"),
                           this);
  QFont f10(QStringLiteral("Tahoma"), 10);
  f10.setBold(true);
  texto->setFont(f10);
  texto->setWordWrap(true);
  texto->setGeometry(8, 28, 490, 34);
  for (QLabel* l : {titulo, texto}) {
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, kMarinho);
    l->setPalette(p);
  }
  imgGif_ = new QLabel(this);
  imgGif_->setObjectName(QStringLiteral("imgGif"));
  imgGif_->setGeometry(8, 64, 490, 200);
  imgGif_->setCursor(Qt::PointingHandCursor);
  imgGif_->setPixmap(Estrelas(0));
  imgGif_->installEventFilter(this);
  embutida_ = new QTimer(this);
  embutida_->setInterval(300);
  connect(embutida_, &QTimer::timeout, this, [this] { imgGif_->setPixmap(Estrelas(++quadro_)); });
  embutida_->start();
  auto* sair = new QPushButton(QStringLiteral("Sair"), this);
  sair->setObjectName(QStringLiteral("btSair"));
  sair->setAutoDefault(false);
  sair->setGeometry(423, 268, 75, 26);
  connect(sair, &QPushButton::clicked, this, [this] { Sair(); });

  link_ = QString::fromStdString(web_.EnderecoAvaliacao(IdDoChamado(idChamado)));
}

TfmAvaliacao::~TfmAvaliacao() {
  // The movie reads from the buffer: it goes first.
  filme_.reset();
}

void TfmAvaliacao::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (mostrado_) return;
  mostrado_ = true;
  // The address and the picture both come in the background; any failure keeps the built-in
  // animation.
  fundo_.Executa(
      [web = web_] {
        const std::string endereco = web.BuscaImagemAvaliacao();
        return endereco.empty() ? std::string() : web.BaixaImagem(endereco);
      },
      [this](const std::string& bytes, bool falhou) {
        if (!falhou && !bytes.empty()) MostraGif(bytes);
      });
}

void TfmAvaliacao::MostraGif(const std::string& bytes) {
  QByteArray dados(bytes.data(), static_cast<qsizetype>(bytes.size()));
  // Something that is not a GIF, or one whose first frame does not decode, is not shown.
  if (QImage().loadFromData(dados, "GIF") == false) return;
  filme_.reset();
  buffer_.close();
  bytes_ = std::move(dados);
  buffer_.setBuffer(&bytes_);
  buffer_.open(QIODevice::ReadOnly);
  filme_ = std::make_unique<QMovie>(&buffer_, "gif");
  if (!filme_->isValid()) {
    filme_.reset();
    return;
  }
  embutida_->stop();
  // Played in a loop, also when the picture itself asks for one pass only.
  QMovie* filme = filme_.get();
  connect(filme, &QMovie::finished, filme, [filme] { filme->start(); });
  imgGif_->setVisible(true);
  imgGif_->setMovie(filme);
  filme->start();
}

void TfmAvaliacao::Sair() {
  saindo_ = true;
  close();
}

void TfmAvaliacao::closeEvent(QCloseEvent* e) {
  // Only "Sair" closes the window.
  if (!saindo_) {
    e->ignore();
    return;
  }
  QWidget::closeEvent(e);
}

bool TfmAvaliacao::eventFilter(QObject* objeto, QEvent* evento) {
  if (objeto == imgGif_ && evento->type() == QEvent::MouseButtonPress) {
    links_.Abre(link_);
    return true;
  }
  return QWidget::eventFilter(objeto, evento);
}

}  // namespace vtx
