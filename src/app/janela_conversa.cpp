// The ticket page's conversation: the chat panel's labels, the history, the customer's messages
// and the analyst's lines, and the elapsed time.
#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "app/conversa.h"
#include "app/janela_principal.h"
#include "util/datetime.h"

namespace vtx {

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

QFont FonteChat(int pontos, bool negrito, bool italico) {
  QFont f(QStringLiteral("Arial"));
  f.setPointSize(pontos);
  f.setBold(negrito);
  f.setItalic(italico);
  return f;
}

// The message box takes at most this many characters by typing.
constexpr int kMaxDigitado = 500;
// A message longer than this is shown cut (the whole text stays in the label's hint).
constexpr int kMaxMostrado = 4000;

const char* const kBoasVindas[] = {
    "Olá, seja bem vindo ao Suporte Técnico da VARNELIKO, aguarde um breve momento e você já "
    "será atendido.",
    "Se preferir você também pode usar o telefone 19-5550-0199",
    "Se não houver interatividade interromperemos o chamado, retorne quanto for conveniente para "
    "você, estaremos sempre a disposição."};

}  // namespace

QLabel* TfmVorantelix::RotuloChat(const QString& texto, const QFont& fonte, const QColor& cor,
                                  Qt::Alignment alinhamento) {
  auto* l = new QLabel(conteudoChat_);
  l->setFont(fonte);
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, cor);
  l->setPalette(p);
  l->setAlignment(alinhamento | Qt::AlignTop);
  l->setWordWrap(true);
  const QString mostrado =
      texto.size() > kMaxMostrado ? texto.left(kMaxMostrado) + QStringLiteral("…") : texto;
  l->setText(mostrado);
  l->setTextFormat(Qt::PlainText);
  const QFontMetrics m(fonte);
  const int natural = m.horizontalAdvance(mostrado);
  const int linhas = std::max(1, (natural + scrW_ - 1) / std::max(1, scrW_)) +
                     static_cast<int>(mostrado.count(QLatin1Char('\n')));
  const int altura = m.lineSpacing() * linhas;
  l->setGeometry(10, chat_iTop_, scrW_, altura);
  chat_iTop_ += altura;
  conteudoChat_->resize(scrW_ + 20, chat_iTop_);
  l->show();
  return l;
}

void TfmVorantelix::LimpaChat() {
  for (QLabel* l : conteudoChat_->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) delete l;
  chat_iTop_ = 0;
  scrW_ = scroll_->width() - 50;
  conteudoChat_->resize(scrW_ + 20, 0);
}

void TfmVorantelix::MostraBoasVindas() {
  chat_iTop_ += 2;
  chat_id_user_ = -1;
  for (int i = 0; i < 3; ++i) {
    RotuloChat(QString::fromUtf8(kBoasVindas[i]), FonteChat(8, true, true), QColor(128, 0, 0),
               Qt::AlignHCenter);
    if (i < 2) chat_iTop_ += 3;
  }
  scroll_->verticalScrollBar()->setValue(scroll_->verticalScrollBar()->maximum());
}

void TfmVorantelix::AdicionaMensagem(const std::string& data, const std::string& idAutor,
                                     const std::string& msg, const std::string& nome) {
  const int32_t id = LeLinhaChat("|||" + idAutor).id;
  QColor cor(128, 0, 0);
  Qt::Alignment alinhamento = Qt::AlignRight;
  if (id == usuarioPrincipal_.id_user) {
    cor = QColor(0, 0, 128);
    alinhamento = Qt::AlignLeft;
  } else if (id == chamadoAtual_.id_analista) {
    cor = QColor(0, 128, 128);
  }
  if (id != chat_id_user_) {
    chat_iTop_ += 2;
    chat_id_user_ = id;
    RotuloChat(Q(nome), FonteChat(9, true, true), cor, alinhamento);
  }
  RotuloChat(Q(data), FonteChat(7, false, true), cor, alinhamento);
  if (EhLink(msg)) {
    QFont f = FonteChat(8, true, false);
    f.setUnderline(true);
    QLabel* l = RotuloChat(Q(msg), f, QColor(0, 0, 255), alinhamento);
    l->setCursor(Qt::PointingHandCursor);
    l->setToolTip(Q(msg));
    l->setTextInteractionFlags(Qt::NoTextInteraction);
    l->setProperty("vtxLink", Q(msg));
    l->installEventFilter(this);
  } else {
    RotuloChat(Q(msg), FonteChat(8, true, false), cor, alinhamento);
  }
  if (scroll_->verticalScrollBar()->isVisible())
    scroll_->verticalScrollBar()->setValue(scroll_->verticalScrollBar()->maximum());
}

bool TfmVorantelix::TeclaMensagem(QKeyEvent* tecla, int tipo) {
  if (tipo != QEvent::KeyPress && tipo != QEvent::KeyRelease) return false;
  const bool enter = tecla->key() == Qt::Key_Return || tecla->key() == Qt::Key_Enter;
  const bool colar = tecla->key() == Qt::Key_V && tecla->modifiers() == Qt::ControlModifier;
  if (tipo == QEvent::KeyPress) {
    if (enter) return true;  // never a line break
    if (colar) return portal().ChatAberto();
    const bool escreve = !tecla->text().isEmpty() && tecla->text().at(0).isPrint();
    return escreve && edtMsg_->toPlainText().size() >= kMaxDigitado;
  }
  if (!portal().ChatAberto()) return false;
  if (enter) {
    if (!edtMsg_->toPlainText().isEmpty()) EnviaMensagem();
    return true;
  }
  if (colar) {
    QString texto = QGuiApplication::clipboard()->text();
    if (texto.endsWith(QLatin1Char('\n'))) texto.chop(1);
    if (texto.endsWith(QLatin1Char('\r'))) texto.chop(1);
    if (!texto.isEmpty()) edtMsg_->setPlainText(texto);
    return true;
  }
  return false;
}

void TfmVorantelix::BaixaFotoAnalista(bool confereOnline) {
  const TServicoSuporte web = web_;
  const int32_t id = chamadoAtual_.id_analista;
  imgAnalista_->show();
  fundo_.Executa([web, id] { return web.BaixaFotoPerfil(id); },
                 [this, id](const std::string& bytes, bool falhou) {
                   if (id != chamadoAtual_.id_analista) return;  // another analyst's, too late
                   QPixmap px;
                   if (falhou || !px.loadFromData(reinterpret_cast<const uchar*>(bytes.data()),
                                                  static_cast<uint>(bytes.size()), "PNG")) {
                     px = QPixmap(57, 57);
                     px.fill(Qt::darkGray);
                   }
                   imgAnalista_->setPixmap(px.scaled(57, 57, Qt::KeepAspectRatio));
                 });
  if (!confereOnline) return;
  fundo_.Executa([web, id] { return std::string(web.AnalistaOnline(id) ? "1" : "0"); },
                 [this, id](const std::string& resposta, bool falhou) {
                   if (id != chamadoAtual_.id_analista) return;
                   if (falhou || resposta != "1") lAnalistOffline_->show();
                 });
}

QStringList TfmVorantelix::LinhasDoChat() const {
  QList<QLabel*> rotulos = conteudoChat_->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
  std::stable_sort(rotulos.begin(), rotulos.end(),
                   [](QLabel* a, QLabel* b) { return a->y() < b->y(); });
  QStringList r;
  for (QLabel* l : rotulos) r << l->text();
  return r;
}

void TfmVorantelix::EnviaMensagem() {
  const std::string texto = LimpaMensagem(edtMsg_->toPlainText().toStdString());
  if (texto.empty()) return;
  try {
    const std::string data = web_.GravaMensagem(chamadoAtual_.id, usuarioPrincipal_.id_user, texto);
    if (data.empty()) {
      ONHintBalloon(edtMsg_, QStringLiteral("Erro gravando mensagem, tente novamente"),
                    QStringLiteral("Mensagem"));
      return;
    }
    portal().EnviaChat(
        MontaLinhaChat(data, usuarioPrincipal_.nome, texto, usuarioPrincipal_.id_user));
    AdicionaMensagem(data, std::to_string(usuarioPrincipal_.id_user), texto,
                     usuarioPrincipal_.nome);
    edtMsg_->clear();
  } catch (const EVorantelix& e) {
    ambiente_.dialogos->Erro(this, TextoDaFalha(e));
  }
}

void TfmVorantelix::ChatRecebido(const std::string& linha) {
  if (!isActiveWindow()) {
    if (isMinimized()) showNormal();
    raise();
    QApplication::beep();
  }
  QApplication::alert(this);
  activateWindow();
  std::string_view texto = linha;
  while (!texto.empty() && (texto.back() == '\r' || texto.back() == '\n')) texto.remove_suffix(1);
  const TLinhaChat l = LeLinhaChat(texto);
  AdicionaMensagem(l.data, std::to_string(l.id), l.msg, l.nome);
}

void TfmVorantelix::AtualizaTempo() {
  if (!cliente_.online) return;
  const int64_t m = MinutosDesde(chamadoAtual_.data, NowLocal());
  if (m >= 0) Ltempo_->setText(Q(TextoTempo(m)));
}

}  // namespace vtx
