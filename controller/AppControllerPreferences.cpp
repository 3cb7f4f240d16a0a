// The preferences window (General, Auto Tovalo, About) and the preferences file it edits;
// the controller's alerts.
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QWidget>

#include <cstring>

#include "controller/AppController.h"
#include "controller/LoginItem.h"
#include "platform/authview/AuthorizationView.h"
#include "platform/cf/PropertyListXML.h"
#include "platform/system/Log.h"
#include "platform/system/Paths.h"
#include "platform/ui/Application.h"

namespace tvl {

using product::kDefaultSessionLength;
using product::kPreferencesFile;
using product::kProblemReportKey;
using product::kSessionLengthKey;

std::string AppController::preferencesFilePath() {
  return tvl::system::homeFolder() + kPreferencesFile;
}

void AppController::adoptPreferencesWindow(std::unique_ptr<QWidget> window) {
  preferencesWindowOwner_ = std::move(window);
}

void AppController::setPreferencesWindowLoader(std::function<std::unique_ptr<QWidget>()> loader) {
  preferencesWindowLoader_ = std::move(loader);
}

void AppController::loadPreferencesWindowIfNeeded() {
  if (preferencesWindowOwner_ || !preferencesWindowLoader_) return;
  adoptPreferencesWindow(std::exchange(preferencesWindowLoader_, {})());
  showAboutTexts();
  // The pane shows what the menu found when it last opened, which happened while the
  // window was not there to show it.
  if (state_.edition != Edition::NoEnclosingApp) getAutoTovaloStatus();
}

void AppController::showPreferencesWindow() {
  showPreferencesTab(0);
}

void AppController::showPreferencesAutoTovalo() {
  showPreferencesTab(2);
}

void AppController::showPreferencesTab(int index) {
  loadPreferencesWindowIfNeeded();
  updateWindowContents();
  if (services_.application) services_.application->activateIgnoringOtherApps(true);
  QWidget* window = outlets_.preferencesWindow.data();
  if (!window) return;
  window->adjustSize();
  if (QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen())
    window->move(screen->availableGeometry().center() - window->rect().center());
  if (outlets_.preferencesTabView) outlets_.preferencesTabView->setCurrentIndex(index);
  window->show();
  window->raise();
  window->activateWindow();
}

void AppController::updateWindowContents() {
  state_.tvlPlist = {};
  // A missing file, or one that is not a property list with a dictionary at its root,
  // gives no dictionary: the defaults show and Save writes nothing.
  cf::Ref<cf::Object> read = cf::createFromXMLFile(preferencesFilePath());
  if (auto* dictionary = cf::as<cf::Dictionary>(read.get()))
    state_.tvlPlist = dictionary->mutableCopy();

  const cf::Object* report =
      state_.tvlPlist ? state_.tvlPlist->valueForKey(kProblemReportKey) : nullptr;
  if (outlets_.sendProblemReport)
    outlets_.sendProblemReport->setChecked(report ? cf::intValue(report) != 0 : true);
  const cf::Object* length =
      state_.tvlPlist ? state_.tvlPlist->valueForKey(kSessionLengthKey) : nullptr;
  std::string lengthText = cf::textValue(length).value_or(kDefaultSessionLength);
  if (outlets_.sessionLength)
    outlets_.sessionLength->setCurrentText(QString::fromStdString(lengthText));
  if (outlets_.startAtLogin) outlets_.startAtLogin->setChecked(loginitem::startsAtLogin());
  if (outlets_.preferencesWindow)
    outlets_.preferencesWindow->setWindowTitle(
        QString::fromStdString(localized(editionTraits().windowTitle)));

  // From 10.5 on the pane shows what the status menu found when it last opened.
  if (osVersionNumber() > 4 || changeRuns_) return;
  if (!autoTovaloInstallStatus()) {
    if (outlets_.startStopLabel)
      outlets_.startStopLabel->setText(text("Auto Tovalo not installed"));
    if (outlets_.startStopButton) outlets_.startStopButton->setEnabled(false);
    if (outlets_.startStopAuthorizationView) outlets_.startStopAuthorizationView->setEnabled(false);
  } else {
    if (outlets_.startStopLabel)
      outlets_.startStopLabel->setText(text("Click to start/stop Auto Tovalo"));
    if (outlets_.startStopAuthorizationView) outlets_.startStopAuthorizationView->setEnabled(true);
  }
}

void AppController::save() {
  if (state_.tvlPlist) {
    bool on = outlets_.sendProblemReport && outlets_.sendProblemReport->isChecked();
    state_.tvlPlist->setValue(kProblemReportKey, cf::String::create(on ? "1" : "0").get());
    std::string length = outlets_.sessionLength
                             ? outlets_.sessionLength->currentText().toStdString()
                             : std::string(kDefaultSessionLength);
    state_.tvlPlist->setValue(kSessionLengthKey, cf::String::create(length).get());
    // A failed write is not reported; the file keeps its old contents whole.
    cf::writeXMLFileAtomically(state_.tvlPlist.get(), preferencesFilePath());
  }
  // The login start is the user's autostart entry, not a preference of the file: it is
  // saved whether or not the file exists.
  if (outlets_.startAtLogin && outlets_.startAtLogin->isChecked() != loginitem::startsAtLogin()) {
    if (int err = loginitem::setStartsAtLogin(outlets_.startAtLogin->isChecked()))
      tvl::NSLog("TVLQC: could not change the start at login: %s", std::strerror(err));
  }
  if (outlets_.preferencesWindow) outlets_.preferencesWindow->close();
  if (outlets_.startStopAuthorizationView) outlets_.startStopAuthorizationView->deauthorize();
  state_.tvlPlist = {};
}

void AppController::cancel() {
  if (outlets_.preferencesWindow) outlets_.preferencesWindow->close();
  if (outlets_.startStopAuthorizationView) outlets_.startStopAuthorizationView->deauthorize();
}

int AppController::alertWithMessage(const std::string& message, const std::string& informativeText,
                                    const std::optional<std::string>& defaultButton,
                                    const std::optional<std::string>& alternateButton,
                                    const std::optional<std::string>& otherButton) {
  return services_.runAlert(message, informativeText, defaultButton, alternateButton, otherButton,
                            /*critical=*/false);
}

}  // namespace tvl
