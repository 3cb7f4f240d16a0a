#include "platform/ui/Application.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <thread>

namespace tvl::ui {

void runWhileHandlingEvents(const std::function<void()>& work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || QThread::currentThread() != app->thread()) {
    work();
    return;
  }
  QEventLoop loop;
  // The quit is queued to the loop: posted before exec() starts, it is handled once it runs.
  std::thread worker([&] {
    work();
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
}

int runAlert(AlertStyle style, const std::string& message, const std::string& informativeText,
             const std::optional<std::string>& defaultButton,
             const std::optional<std::string>& alternateButton,
             const std::optional<std::string>& otherButton) {
  QMessageBox box;
  box.setIcon(style == AlertStyle::Critical  ? QMessageBox::Critical
              : style == AlertStyle::Warning ? QMessageBox::Warning
                                             : QMessageBox::Information);
  box.setText(QString::fromStdString(message));
  box.setInformativeText(QString::fromStdString(informativeText));
  std::vector<QPushButton*> buttons;
  // The first button is the default one; the roles keep the given order on screen.
  const QMessageBox::ButtonRole roles[] = {QMessageBox::AcceptRole, QMessageBox::RejectRole,
                                           QMessageBox::DestructiveRole};
  for (const auto* title : {&defaultButton, &alternateButton, &otherButton}) {
    if (!*title) continue;
    buttons.push_back(box.addButton(QString::fromStdString(**title), roles[buttons.size()]));
  }
  if (buttons.empty())
    buttons.push_back(box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole));
  box.setDefaultButton(buttons.front());
  box.exec();
  for (size_t i = 0; i < buttons.size(); ++i)
    if (box.clickedButton() == buttons[i]) return kAlertFirstButtonReturn + static_cast<int>(i);
  // Closed without a button (Escape with no cancel button): the default button's code.
  return kAlertFirstButtonReturn;
}

Application& Application::sharedApplication() {
  static Application app;
  return app;
}

void Application::setDelegate(std::function<void()> applicationDidFinishLaunching) {
  didFinishLaunching_ = std::move(applicationDidFinishLaunching);
}

int Application::run() {
  QTimer::singleShot(0, [this] {
    if (didFinishLaunching_ && !terminating_) didFinishLaunching_();
    if (terminating_) QCoreApplication::exit(0);
  });
  return QApplication::exec();
}

void Application::terminate() {
  terminating_ = true;
  QCoreApplication::exit(0);
}

void Application::requestUserAttention() {
  if (QWidget* w = QApplication::activeWindow()) QApplication::alert(w);
}

void Application::activateIgnoringOtherApps(bool /*flag*/) {
  if (QWidget* w = QApplication::activeModalWidget()) w->activateWindow();
}

}  // namespace tvl::ui
