#include "app/roteiro_demo.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include "app/janela_principal.h"

namespace vtx {

namespace {

void Aguarda(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

void EnviaTecla(QWidget* alvo, int tecla, const QString& texto) {
  QKeyEvent baixa(QEvent::KeyPress, tecla, Qt::NoModifier, texto);
  QApplication::sendEvent(alvo, &baixa);
  QKeyEvent sobe(QEvent::KeyRelease, tecla, Qt::NoModifier, texto);
  QApplication::sendEvent(alvo, &sobe);
}

// The widget with that object name in any of the program's windows.
template <class T>
T* Procura(QWidget* principal, const QString& nome) {
  if (auto* w = principal->findChild<T*>(nome)) return w;
  for (QWidget* janela : QApplication::topLevelWidgets()) {
    if (auto* w = qobject_cast<T*>(janela); w && janela->objectName() == nome) return w;
    if (auto* w = janela->findChild<T*>(nome)) return w;
  }
  return nullptr;
}

void Clica(QWidget* alvo) {
  const QPointF meio = QRectF(alvo->rect()).center();
  QMouseEvent baixa(QEvent::MouseButtonPress, meio, alvo->mapToGlobal(meio), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(alvo, &baixa);
  QMouseEvent sobe(QEvent::MouseButtonRelease, meio, alvo->mapToGlobal(meio), Qt::LeftButton,
                   Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(alvo, &sobe);
}

}  // namespace

QString ExecutaRoteiro(QWidget* principal, const QStringList& linhas, const QString& pastaSaida) {
  QDir().mkpath(pastaSaida);
  // A window the script acts on may close (and be deleted) by a command.
  QPointer<QWidget> janela = principal;
  for (const QString& bruta : linhas) {
    const QString linha = bruta.trimmed();
    if (linha.isEmpty() || linha.startsWith('#')) continue;
    const QString cmd = linha.section(' ', 0, 0);
    const QString arg = linha.section(' ', 1);
    if (janela.isNull()) janela = principal;
    QWidget* foco = janela->focusWidget() ? janela->focusWidget() : janela.data();
    if (cmd == "digita") {
      for (QChar c : arg)
        EnviaTecla(janela->focusWidget() ? janela->focusWidget() : janela.data(), 0, c);
    } else if (cmd == "tecla") {
      static const QMap<QString, int> teclas = {
          {"Enter", Qt::Key_Return}, {"Escape", Qt::Key_Escape}, {"Backspace", Qt::Key_Backspace},
          {"Down", Qt::Key_Down},    {"Up", Qt::Key_Up},         {"Tab", Qt::Key_Tab}};
      if (!teclas.contains(arg)) return QStringLiteral("tecla desconhecida: ") + arg;
      EnviaTecla(foco, teclas.value(arg), arg == "Enter" ? QStringLiteral("\r") : QString());
    } else if (cmd == "clica") {
      if (auto* b = Procura<QAbstractButton>(principal, arg)) {
        b->click();
      } else if (auto* w = Procura<QWidget>(principal, arg)) {
        Clica(w);
      } else {
        return QStringLiteral("botão desconhecido: ") + arg;
      }
    } else if (cmd == "janela") {
      janela = arg == "principal" ? principal : Procura<QWidget>(principal, arg);
      if (janela == nullptr || !janela->isWindow())
        return QStringLiteral("janela desconhecida: ") + arg;
      janela->activateWindow();
    } else if (cmd == "limpa") {
      auto* e = Procura<QLineEdit>(principal, arg);
      if (e == nullptr) return QStringLiteral("campo desconhecido: ") + arg;
      e->setFocus();
      e->clear();
    } else if (cmd == "avaliacao") {
      auto* j = dynamic_cast<TfmVorantelix*>(principal);
      if (j == nullptr) return QStringLiteral("sem janela principal");
      j->auxiliares().MostraAvaliacao(j, arg.toStdString());
    } else if (cmd == "espera") {
      Aguarda(arg.toInt());
    } else if (cmd == "captura") {
      Aguarda(50);
      QPixmap imagem;
      QScreen* tela = janela->screen();
      if (QGuiApplication::platformName() == "xcb" && tela != nullptr)
        imagem = tela->grabWindow(janela->winId());
      if (imagem.isNull()) imagem = janela->grab();
      const QString arquivo = QDir(pastaSaida).filePath(arg.endsWith(".png") ? arg : arg + ".png");
      if (!imagem.save(arquivo, "PNG")) return QStringLiteral("não foi possível gravar ") + arquivo;
    } else if (cmd == "sai") {
      principal->close();
    } else {
      return QStringLiteral("comando desconhecido: ") + cmd;
    }
    QApplication::processEvents();
  }
  return {};
}

}  // namespace vtx
