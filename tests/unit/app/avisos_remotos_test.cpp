// The remote notification and the access confirmation under Qt's offscreen platform.
#include "app/avisos_remotos.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <thread>

namespace vtx {
namespace {

QApplication& App() {
  static int argc = 1;
  static char nome[] = "vtx_app_prompt_tests";
  static char* argv[] = {nome, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication app(argc, argv);
  return app;
}

TEST(AvisosRemotos, NotificationWindowIsMadeOnceAndShowsTheText) {
  App();
  TformRemoteNotification fresh;
  EXPECT_EQ(fresh.windowTitle(), QStringLiteral("Notification from Remote Control"));
  EXPECT_EQ(fresh.laText->text(), QStringLiteral("Notification"));
  EXPECT_EQ(fresh.size(), QSize(352, 111));
  EXPECT_TRUE(fresh.laText->wordWrap());
  EXPECT_TRUE(fresh.laText->font().bold());

  TAvisosRemotosQt avisos;
  avisos.ShowNotification(kNotificationTitle, "Olá, ação");
  TformRemoteNotification* first = avisos.Notification();
  ASSERT_NE(first, nullptr);
  avisos.ShowNotification(kNotificationTitle, "second");
  EXPECT_EQ(avisos.Notification(), first);
  EXPECT_TRUE(first->isVisible());
  EXPECT_EQ(first->windowTitle(), QStringLiteral("Message from Orvanta Portal"));
  EXPECT_EQ(first->laText->text(), QStringLiteral("second"));

  // From another thread the window is updated on the GUI thread.
  std::thread t([&] { avisos.ShowNotification(kNotificationTitle, "from a thread"); });
  t.join();
  QCoreApplication::processEvents();
  EXPECT_EQ(first->laText->text(), QStringLiteral("from a thread"));
}

TEST(AvisosRemotos, ConfirmationIsYesOnlyWhenAnsweredYes) {
  App();
  TAvisosRemotosQt avisos;
  // No answer before the time-out refuses.
  EXPECT_FALSE(avisos.Confirm(kConfirmAccessTitle, ConfirmAccessText("ana"), 0));

  for (QMessageBox::StandardButton answer : {QMessageBox::Yes, QMessageBox::No}) {
    // The question runs a nested loop on the GUI thread; a timer there answers it.
    QString title, text;
    QTimer answerer;
    QObject::connect(&answerer, &QTimer::timeout, [&] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) {
          title = b->windowTitle();
          text = b->text();
          b->button(answer)->click();
        }
    });
    answerer.start(5);
    std::atomic<int> result{-1};
    std::thread t([&] {
      result = avisos.Confirm(kConfirmAccessTitle, ConfirmAccessText("ana"), 10) ? 1 : 0;
    });
    while (result < 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    t.join();
    EXPECT_EQ(result, answer == QMessageBox::Yes ? 1 : 0);
    EXPECT_EQ(title, QStringLiteral("Confirm Desktop Access"));
    EXPECT_EQ(text, QStringLiteral("ana wants to access your desktop. Do you want to allow this?"));
  }
}

}  // namespace
}  // namespace vtx
