#include "app/janela_bot.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <cmath>
#include <optional>

#include "app/web/erros.h"

namespace vtx {

namespace {

const QColor kTeal(0, 128, 128);
const QColor kVerdeClaro(206, 255, 206);
constexpr int kLargura = 457, kAltura = 570, kTitulo = 22, kBarra = 36;

QFont Comic(int pontos, unsigned estilo, bool sublinhado = false) {
  QFont f(QStringLiteral("Comic Sans MS"), pontos);
  f.setBold((estilo & EstiloNegrito) != 0);
  f.setItalic((estilo & EstiloItalico) != 0);
  f.setUnderline(sublinhado);
  return f;
}

void CorDoTexto(QWidget* w, const QColor& cor) {
  QPalette p = w->palette();
  p.setColor(QPalette::WindowText, cor);
  w->setPalette(p);
}

// The item icons: a document, a video and a web link.
QPixmap Icone(int32_t tipo) {
  QPixmap px(20, 20);
  px.fill(Qt::transparent);
  QPainter p(&px);
  p.setRenderHint(QPainter::Antialiasing);
  switch (tipo) {
    case 1:
      p.setBrush(Qt::white);
      p.setPen(Qt::darkGray);
      p.drawRect(3, 1, 14, 18);
      p.fillRect(3, 12, 15, 5, QColor(200, 30, 30));
      break;
    case 2:
      p.setBrush(QColor(40, 40, 40));
      p.setPen(Qt::NoPen);
      p.drawRoundedRect(1, 3, 18, 14, 3, 3);
      p.setBrush(Qt::white);
      p.drawPolygon(QPolygon({QPoint(7, 6), QPoint(7, 14), QPoint(14, 10)}));
      break;
    default:
      p.setBrush(QColor(30, 90, 200));
      p.setPen(QPen(Qt::white, 1.5));
      p.drawEllipse(1, 1, 18, 18);
      p.drawLine(2, 10, 18, 10);
      p.drawEllipse(QRectF(6, 1, 8, 18));
      break;
  }
  return px;
}

QPixmap Avatar() {
  QPixmap px(44, 44);
  px.fill(Qt::transparent);
  QPainter p(&px);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(kTeal);
  p.setPen(QPen(Qt::white, 2));
  p.drawEllipse(2, 2, 40, 40);
  p.setBrush(Qt::white);
  p.drawEllipse(13, 15, 6, 6);
  p.drawEllipse(25, 15, 6, 6);
  p.drawArc(12, 18, 20, 14, 200 * 16, 140 * 16);
  return px;
}

// One frame of the loading picture: eight dots, one of them highlighted.
QPixmap Carregamento(int quadro) {
  QPixmap px(24, 24);
  px.fill(Qt::transparent);
  QPainter p(&px);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  for (int i = 0; i < 8; ++i) {
    const double a = i * 3.14159265 / 4;
    p.setBrush(i == quadro % 8 ? kTeal : QColor(180, 220, 220));
    p.drawEllipse(QPointF(12 + 8 * std::cos(a), 12 + 8 * std::sin(a)), 2.5, 2.5);
  }
  return px;
}

// A line whose click opens its address.
class TRotuloLink : public QLabel {
 public:
  TRotuloLink(const QString& texto, QWidget* pai, std::function<void()> clique)
      : QLabel(texto, pai), clique_(std::move(clique)) {}

 protected:
  void mousePressEvent(QMouseEvent* e) override {
    if (e->button() == Qt::LeftButton && clique_) clique_();
  }

 private:
  std::function<void()> clique_;
};

}  // namespace

TfmVorantelixBot::TfmVorantelixBot(TServicoSuporte web, TCliente cliente, TUsuario usuario,
                                   TDialogos& dialogos, TAbreLinks& links)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint),
      web_(std::move(web)),
      cliente_(std::move(cliente)),
      usuario_(std::move(usuario)),
      dialogos_(dialogos),
      links_(links) {
  setObjectName(QStringLiteral("fmVorantelixBot"));
  setWindowTitle(QStringLiteral("Vorantelix Bot"));
  setFixedSize(kLargura, kAltura);
  setAutoFillBackground(true);
  QPalette pj = palette();
  pj.setColor(QPalette::Window, kTeal);
  setPalette(pj);

  auto* titulo = new QLabel(QStringLiteral("Vorantelix Bot"), this);
  titulo->setGeometry(6, 2, 300, 18);
  QFont ft(QStringLiteral("Tahoma"), 10);
  ft.setBold(true);
  titulo->setFont(ft);
  CorDoTexto(titulo, Qt::white);
  auto* minimiza = new QPushButton(QStringLiteral("_"), this);  // has no action
  minimiza->setAutoDefault(false);
  minimiza->setFocusPolicy(Qt::NoFocus);
  minimiza->setGeometry(kLargura - 32, 1, 28, 20);

  // The panel's background picture: a soft gradient.
  painel_ = new QWidget(this);
  painel_->setObjectName(QStringLiteral("painel"));
  painel_->setGeometry(0, kTitulo, kLargura, kAltura - kTitulo - kBarra);
  painel_->setAutoFillBackground(true);
  QLinearGradient gradiente(0, 0, 0, painel_->height());
  gradiente.setColorAt(0, QColor(235, 245, 245));
  gradiente.setColorAt(1, QColor(200, 225, 225));
  QPalette pp = painel_->palette();
  pp.setBrush(QPalette::Window, gradiente);
  painel_->setPalette(pp);

  scroll_ = new QScrollArea(painel_);
  scroll_->setObjectName(QStringLiteral("scroll"));
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setGeometry(0, 0, painel_->width(), painel_->height());
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_->setAutoFillBackground(false);
  conteudo_ = new QWidget;
  conteudo_->setObjectName(QStringLiteral("conteudo"));
  conteudo_->setAutoFillBackground(false);
  conteudo_->resize(painel_->width() - scroll_->verticalScrollBar()->sizeHint().width(), 10);
  scroll_->setWidget(conteudo_);
  scroll_->viewport()->setAutoFillBackground(false);

  auto* avatar = new QLabel(conteudo_);
  avatar->setObjectName(QStringLiteral("imgAvatar"));
  avatar->setPixmap(Avatar());
  avatar->setGeometry(4, 4, 44, 44);
  const char* nomes[] = {"imgpdf", "imgvideo", "imglink"};
  QLabel** icones[] = {&imgpdf_, &imgvideo_, &imglink_};
  for (int i = 0; i < 3; ++i) {
    *icones[i] = new QLabel(conteudo_);
    (*icones[i])->setObjectName(QString::fromLatin1(nomes[i]));
    (*icones[i])->setPixmap(Icone(i + 1));
    (*icones[i])->setGeometry(0, 0, 20, 20);
    (*icones[i])->hide();
  }

  auto* barra = new QWidget(this);
  barra->setObjectName(QStringLiteral("barra"));
  barra->setGeometry(0, kAltura - kBarra, kLargura, kBarra);
  barra->setAutoFillBackground(true);
  QPalette pb = barra->palette();
  pb.setColor(QPalette::Window, QColor(240, 240, 240));
  barra->setPalette(pb);
  bot_ = new QLineEdit(barra);
  bot_->setObjectName(QStringLiteral("bot"));
  bot_->setFont(Comic(12, EstiloNegrito));
  bot_->setMaxLength(20);
  bot_->setGeometry(4, 4, 180, 28);
  bot_->installEventFilter(this);
  bot_->setFocus();
  loading_ = new QLabel(barra);
  loading_->setObjectName(QStringLiteral("loading"));
  loading_->setGeometry(190, 6, 24, 24);
  loading_->setPixmap(Carregamento(0));
  loading_->hide();
  animacao_ = new QTimer(this);
  animacao_->setInterval(100);
  connect(animacao_, &QTimer::timeout, this,
          [this] { loading_->setPixmap(Carregamento(++quadro_)); });
  auto* menu = new QLabel(QStringLiteral("0 - Menu Principal"), barra);
  menu->setFont(Comic(9, EstiloNegrito));
  CorDoTexto(menu, kTeal);
  menu->setGeometry(222, 1, 230, 17);
  auto* anterior = new QLabel(QStringLiteral("9 - Menu Anterior"), barra);
  anterior->setFont(Comic(9, EstiloNegrito));
  CorDoTexto(anterior, kTeal);
  anterior->setGeometry(222, 18, 230, 17);

  // Beside the main window, in the bottom-right corner of the screen.
  if (const QScreen* tela = QGuiApplication::primaryScreen()) {
    const QRect r = tela->geometry();
    move(r.width() - kLargura - 5, r.height() - kAltura - 50);
  }
  msg_iTop_ = 0;
  scrWidth_ = painel_->width() - 65;
  BoasVindas();
  NIVEL_ANTERIOR_ = "-1";
  processandoConsulta_ = true;
  Carregando(true);
  Consulta("0", "0");
}

TfmVorantelixBot::~TfmVorantelixBot() = default;

int TfmVorantelixBot::Paragrafo(const QString& texto, int pontos, const QColor& cor, int esquerda,
                                int largura, int altura) {
  auto* l = new QLabel(texto, conteudo_);
  l->setFont(Comic(pontos, EstiloNegrito | EstiloItalico));
  CorDoTexto(l, cor);
  l->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  l->setWordWrap(true);
  // A face that stands in for a missing one may need more lines than the planned height.
  altura = std::max(altura, l->heightForWidth(largura));
  l->setGeometry(esquerda, msg_iTop_, largura, altura);
  l->show();
  return altura;
}

void TfmVorantelixBot::BoasVindas() {
  const QString ola = QStringLiteral(
      "Olá, eu sou o Vorantelix bot, veja abaixo os itens que estão disponíveis para o seu "
      "autoatendimento, se mesmo assim você quiser abrir um chamado fique a vontate, teremos o "
      "maior prazer em te atender.");
  msg_iTop_ += 2;
  const QFontMetrics fm(Comic(10, EstiloNegrito | EstiloItalico));
  const int linhas = static_cast<int>(
      std::ceil(static_cast<double>(fm.horizontalAdvance(ola)) / (scrWidth_ - 80)));
  const int altura =
      Paragrafo(ola, 10, kTeal, 80, scrWidth_ - 35, fm.height() * std::max(1, linhas));
  msg_iTop_ += altura + 3;
  msg_iTop_ += 2;
  const int altura2 = Paragrafo(
      QStringLiteral("Para usar é fácil, digite o número do item do Menu e tecle ENTER, ou "
                     "digite uma palavra para uma consulta, ex: devolucao ou xml"),
      8, Qt::black, 50, scrWidth_ - 10, 35);
  msg_iTop_ += altura2 + 3;
  CresceConteudo();
}

void TfmVorantelixBot::CresceConteudo() {
  conteudo_->resize(conteudo_->width(), std::max(msg_iTop_ + 10, 10));
  QScrollBar* barra = scroll_->verticalScrollBar();
  barra->setValue(barra->maximum());
  // The range follows the new size once the resize has been handled.
  QTimer::singleShot(0, scroll_, [barra] { barra->setValue(barra->maximum()); });
}

void TfmVorantelixBot::Carregando(bool sim) {
  loading_->setVisible(sim);
  if (sim)
    animacao_->start();
  else
    animacao_->stop();
}

void TfmVorantelixBot::Termina() {
  bot_->clear();
  processandoConsulta_ = false;
  Carregando(false);
}

void TfmVorantelixBot::Consulta(const std::string& id, const std::string& nivel) {
  struct Resposta {
    std::optional<TListaBots> bots;
    bool falhou = false;
    std::string erro;
  };
  auto resposta = std::make_shared<Resposta>();
  fundo_.Executa(
      [web = web_, empresa = cliente_.id, usuario = usuario_.id_user, id, nivel, resposta] {
        try {
          resposta->bots = web.ConsultaBot(empresa, usuario, id, nivel);
        } catch (const EVorantelix& e) {
          resposta->falhou = true;
          resposta->erro = e.message();
        }
        return std::string();
      },
      [this, resposta](const std::string&, bool falhou) {
        // The edit takes input again even when the box below is still open.
        Termina();
        if (falhou || resposta->falhou)
          dialogos_.Erro(this, QString::fromStdString(resposta->erro));
        else if (resposta->bots)
          Desenha(*resposta->bots);
      });
}

void TfmVorantelixBot::Enter() {
  if (processandoConsulta_) return;
  Carregando(true);
  processandoConsulta_ = true;
  const QString bruto = bot_->text();
  const std::string t = bruto.trimmed().toStdString();
  if (t == "0") return Consulta("0", "0");
  if (t == "9")
    return NIVEL_ANTERIOR_ == "-1" ? Consulta("0", "0") : Consulta(NIVEL_ANTERIOR_, "0");
  for (const TMenuBot& item : bots_.bots)
    if (item.menu == t) return Consulta(std::to_string(item.id), NIVEL_MENU_);
  if (bruto.size() >= 3) return Consulta(bruto.toStdString(), "0");
  AdicionaLinha(QStringLiteral("Opção inválida"), {}, QColor(255, 0, 0), 10, 20, EstiloNenhum, 0,
                0);
  Termina();
}

void TfmVorantelixBot::Desenha(const TListaBots& resposta) {
  bots_ = resposta;
  NIVEL_ANTERIOR_ = bots_.master;
  auto* balao = new QLabel(conteudo_);
  balao->setObjectName(QStringLiteral("balao"));
  balao->move(15, msg_iTop_);
  widthMaior_ = 0;
  heightMaior_ = 0;
  if (!bots_.descricao.empty())
    AdicionaLinha(QString::fromStdString(bots_.descricao), {}, Qt::white, 10, 20,
                  EstiloNegrito | EstiloItalico, 0, 0);
  for (const TMenuBot& item : bots_.bots) {
    if (item.conteudo.empty()) {
      AdicionaLinha(QString::fromStdString(item.menu + " | " + item.descricao), {}, Qt::white, 10,
                    20, EstiloNegrito, 0, 0);
    } else if (item.tipo >= 1 && item.tipo <= 3) {
      AdicionaLinha(QString::fromStdString(item.conteudo), item.link, Qt::white, 10, 20,
                    EstiloNegrito, item.tipo, 0);
    } else if (item.tipo == 4) {
      AdicionaLinha(QString::fromStdString(item.conteudo), {}, Qt::white, 8, 20, EstiloNenhum, 4,
                    item.altura);
    }
  }
  const int w = widthMaior_ + 10, h = heightMaior_ + 10;
  QPixmap px(w, h);
  px.fill(Qt::transparent);
  {
    QPainter p(&px);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(kTeal);
    p.setBrush(kTeal);
    p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 5, 5);
  }
  balao->setPixmap(px);
  balao->resize(w, h);
  balao->show();
  balao->lower();
  msg_iTop_ += 10;
  CresceConteudo();
}

QLabel* TfmVorantelixBot::AdicionaLinha(const QString& texto, const std::string& link,
                                        const QColor& cor, int tamanho, int esquerda,
                                        unsigned estilo, int32_t tipo, int32_t altura) {
  msg_iTop_ += 2;
  QLabel* l = nullptr;
  if (!link.empty()) {
    QString endereco = QString::fromStdString(link);
    endereco.replace(QStringLiteral("[CHAVE_EMPRESA]"), QString::fromStdString(cliente_.chave),
                     Qt::CaseInsensitive);
    l = new TRotuloLink(texto, conteudo_, [this, endereco] { links_.Abre(endereco); });
    if (tipo >= 1 && tipo <= 3) {
      const QLabel* modelo = tipo == 1 ? imgpdf_ : tipo == 2 ? imgvideo_ : imglink_;
      auto* icone = new QLabel(conteudo_);
      icone->setObjectName(modelo->objectName() + QStringLiteral("_item"));
      icone->setPixmap(modelo->pixmap());
      icone->setGeometry(25, msg_iTop_, 20, 20);
      icone->show();
    }
    esquerda = 50;
    l->setFont(Comic(tamanho, EstiloNegrito, true));
    CorDoTexto(l, kVerdeClaro);
    l->setCursor(Qt::PointingHandCursor);
    l->setToolTip(endereco);
  } else {
    l = new QLabel(texto, conteudo_);
    l->setFont(Comic(tamanho, estilo));
    CorDoTexto(l, cor);
  }
  l->setObjectName(QStringLiteral("linha"));
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  const QFontMetrics fm(l->font());
  const int w = fm.horizontalAdvance(texto);
  const int largura = std::min(w, scrWidth_);
  widthMaior_ = std::max(widthMaior_, largura + (link.empty() ? 0 : 30));
  l->setWordWrap(true);
  // A few pixels more than the measured width, or the label wraps a text that fits one line.
  const int larguraRotulo = std::min(w + 4, scrWidth_);
  int h = altura;
  if (h == 0) {
    const int linhas = std::max(1, static_cast<int>(std::ceil(static_cast<double>(w) / scrWidth_)));
    // Wrapping at word boundaries may need a line more than the width alone says.
    h = std::max(fm.height() * linhas, l->heightForWidth(larguraRotulo));
  }
  l->setGeometry(esquerda, msg_iTop_, larguraRotulo, h);
  l->show();
  msg_iTop_ += h;
  // The gap above the line counts too, or the last lines would hang below the bubble.
  heightMaior_ += h + 2;
  CresceConteudo();
  return l;
}

bool TfmVorantelixBot::eventFilter(QObject* objeto, QEvent* evento) {
  if (objeto == bot_ && evento->type() == QEvent::KeyPress) {
    const auto* k = static_cast<QKeyEvent*>(evento);
    if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
      Enter();
      return true;
    }
    if (k->key() == Qt::Key_Escape || processandoConsulta_) return true;
  }
  return QWidget::eventFilter(objeto, evento);
}

}  // namespace vtx
