#include "app/avisos_remotos.h"

#include <QApplication>
#include <QFont>
#include <QMessageBox>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <future>
#include <memory>

namespace vtx {

namespace {

QString Q(const std::string& s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

bool naGui(const QObject& alvo) {
  return QThread::currentThread() == alvo.thread();
}

}  // namespace

TformRemoteNotification::TformRemoteNotification(QWidget* owner)
    : QWidget(owner, Qt::Window), laText(new QLabel(QStringLiteral("Notification"), this)) {
  setWindowTitle(QStringLiteral("Notification from Remote Control"));
  setFixedSize(352, 111);
  QFont f(QStringLiteral("Tahoma"));
  f.setPixelSize(13);
  f.setBold(true);
  laText->setFont(f);
  laText->setWordWrap(true);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(laText);
  if (QScreen* s = QGuiApplication::primaryScreen())
    move(s->geometry().center() - QPoint(width() / 2, height() / 2));
}

TAvisosRemotosQt::TAvisosRemotosQt(QWidget* owner) : dono_(owner) {
  if (QCoreApplication* app = QCoreApplication::instance()) alvo_.moveToThread(app->thread());
}

TAvisosRemotosQt::~TAvisosRemotosQt() {
  delete janela_.data();
}

void TAvisosRemotosQt::ShowNotification(const std::string& title, const std::string& text) {
  auto mostra = [this, t = Q(title), x = Q(text)] {
    if (!janela_) janela_ = new TformRemoteNotification(dono_);
    janela_->laText->setText(x);
    janela_->setWindowTitle(t);
    janela_->show();
    janela_->raise();
    janela_->activateWindow();
  };
  if (naGui(alvo_))
    mostra();
  else
    QMetaObject::invokeMethod(&alvo_, mostra, Qt::QueuedConnection);
}

bool TAvisosRemotosQt::confirmaNaGui(const QString& title, const QString& text,
                                     int timeoutSeconds) {
  QMessageBox caixa(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, dono_);
  caixa.setDefaultButton(QMessageBox::No);
  QTimer::singleShot(std::max(0, timeoutSeconds) * 1000, &caixa, [&caixa] { caixa.reject(); });
  return caixa.exec() == QMessageBox::Yes;
}

bool TAvisosRemotosQt::Confirm(const std::string& title, const std::string& text,
                               int timeoutSeconds) {
  QString t = Q(title), x = Q(text);
  if (naGui(alvo_)) return confirmaNaGui(t, x, timeoutSeconds);
  // From another thread: ask on the GUI thread and wait at most a little past the time-out
  // (a busy GUI thread refuses).
  auto resposta = std::make_shared<std::promise<bool>>();
  std::future<bool> f = resposta->get_future();
  QMetaObject::invokeMethod(
      &alvo_,
      [this, t, x, timeoutSeconds, resposta] {
        resposta->set_value(confirmaNaGui(t, x, timeoutSeconds));
      },
      Qt::QueuedConnection);
  if (f.wait_for(std::chrono::seconds(std::max(0, timeoutSeconds) + 1)) !=
      std::future_status::ready)
    return false;
  return f.get();
}

}  // namespace vtx
