#include "app/laco_qt.h"

#include <QCoreApplication>
#include <QThread>

namespace vtx {

TLacoQt::TLacoQt() {
  sair_ = QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &alvo_,
                           [this] { quit_ = true; });
  SetMainLoop(this);
}

TLacoQt::~TLacoQt() {
  if (GetMainLoop() == this) SetMainLoop(nullptr);
  QObject::disconnect(sair_);
  std::lock_guard g(lock_);
  fechado_ = true;
}

bool TLacoQt::post(Task task) {
  std::lock_guard g(lock_);
  if (quit_ || fechado_) return false;
  // A queued invocation on an object of the GUI thread runs there; the object's destruction
  // drops whatever is still queued.
  return QMetaObject::invokeMethod(&alvo_, std::move(task), Qt::QueuedConnection);
}

bool TLacoQt::isMainThread() const {
  return QThread::currentThread() == alvo_.thread();
}

size_t TLacoQt::processPending() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  return 0;
}

}  // namespace vtx
