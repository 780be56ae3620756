#include "app/roteiro_demo.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <QWindow>

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

}  // namespace

QString ExecutaRoteiro(QWidget* janela, const QStringList& linhas, const QString& pastaSaida) {
  QDir().mkpath(pastaSaida);
  for (const QString& bruta : linhas) {
    const QString linha = bruta.trimmed();
    if (linha.isEmpty() || linha.startsWith('#')) continue;
    const QString cmd = linha.section(' ', 0, 0);
    const QString arg = linha.section(' ', 1);
    QWidget* foco = janela->focusWidget() ? janela->focusWidget() : janela;
    if (cmd == "digita") {
      for (QChar c : arg) EnviaTecla(janela->focusWidget() ? janela->focusWidget() : janela, 0, c);
    } else if (cmd == "tecla") {
      static const QMap<QString, int> teclas = {
          {"Enter", Qt::Key_Return}, {"Escape", Qt::Key_Escape}, {"Backspace", Qt::Key_Backspace},
          {"Down", Qt::Key_Down},    {"Up", Qt::Key_Up},         {"Tab", Qt::Key_Tab}};
      if (!teclas.contains(arg)) return QStringLiteral("tecla desconhecida: ") + arg;
      EnviaTecla(foco, teclas.value(arg), arg == "Enter" ? QStringLiteral("\r") : QString());
    } else if (cmd == "clica") {
      auto* b = janela->findChild<QAbstractButton*>(arg);
      if (b == nullptr) return QStringLiteral("botão desconhecido: ") + arg;
      b->click();
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
      janela->close();
    } else {
      return QStringLiteral("comando desconhecido: ") + cmd;
    }
    QApplication::processEvents();
  }
  return {};
}

}  // namespace vtx
