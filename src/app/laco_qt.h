// The main loop of the communication library on Qt's event loop: tasks posted from any thread
// run on the GUI thread, in order.
#pragma once

#include <QObject>
#include <atomic>
#include <mutex>

#include "transport/main_loop.h"

namespace vtx {

class TLacoQt final : public MainLoop {
 public:
  // Installs itself as the process's main loop; the application object must exist.
  TLacoQt();
  // Uninstalls itself; tasks posted afterwards are dropped.
  ~TLacoQt() override;
  TLacoQt(const TLacoQt&) = delete;
  TLacoQt& operator=(const TLacoQt&) = delete;

  bool post(Task task) override;
  bool isMainThread() const override;
  size_t processPending() override;
  bool quitRequested() const override { return quit_; }

 private:
  QObject alvo_;                   // lives on the GUI thread; queued tasks are delivered to it
  std::atomic<bool> quit_{false};  // the application is quitting: no more tasks
  std::mutex lock_;                // posts against the destruction
  bool fechado_ = false;
  QMetaObject::Connection sair_;
};

}  // namespace vtx
