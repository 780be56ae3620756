// The two windows remote control shows the local user: the remote notification (created on
// first use and kept) and the access confirmation (Yes/No, refused after its time-out). Safe to
// call from any thread: the windows live on the GUI thread.
#pragma once

#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <string>

#include "desktop/local_prompts.h"

namespace vtx {

// 352 × 111, centred, one word-wrapped bold label filling the client area.
class TformRemoteNotification : public QWidget {
 public:
  explicit TformRemoteNotification(QWidget* owner = nullptr);
  QLabel* laText;
};

class TAvisosRemotosQt final : public LocalPrompts {
 public:
  // owner: the main window (observed; may be none). The application object must exist.
  explicit TAvisosRemotosQt(QWidget* owner = nullptr);
  ~TAvisosRemotosQt() override;

  void ShowNotification(const std::string& title, const std::string& text) override;
  bool Confirm(const std::string& title, const std::string& text, int timeoutSeconds) override;

  // The notification window once shown (for tests).
  TformRemoteNotification* Notification() const { return janela_; }

 private:
  bool confirmaNaGui(const QString& title, const QString& text, int timeoutSeconds);

  QObject alvo_;  // lives on the GUI thread
  QPointer<QWidget> dono_;
  QPointer<TformRemoteNotification> janela_;
};

}  // namespace vtx
