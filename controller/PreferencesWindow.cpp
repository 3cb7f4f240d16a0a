#include "controller/PreferencesWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QUiLoader>

#include <cstdio>

#include "controller/AppController.h"
#include "platform/authview/AuthorizationView.h"
#include "platform/bundle/InterfaceKeys.h"
#include "platform/bundle/InterfaceLoader.h"
#include "platform/bundle/InterfaceStrings.h"
#include "privileged/TVLSecureToolCommunication.h"

namespace tvl {

namespace {

// Makes the lock widget for the interface file's "AuthorizationView" elements.
class Loader final : public QUiLoader {
 public:
  QWidget* createWidget(const QString& className, QWidget* parent, const QString& name) override {
    if (className == "AuthorizationView") {
      auto* view = new authview::AuthorizationView(parent);
      view->setObjectName(name);
      return view;
    }
    return QUiLoader::createWidget(className, parent, name);
  }
};

template <class T>
T* outlet(QWidget* window, const char* name) {
  if (window->objectName() == name) return qobject_cast<T*>(window);
  return window->findChild<T*>(name);
}

}  // namespace

std::unique_ptr<QWidget> loadPreferencesWindow(const std::string& path, AppController& controller,
                                               TVLSecureToolCommunication& communication) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "TVLQC: cannot read the preferences window %s\n", path.c_str());
    return nullptr;
  }
  std::unique_ptr<Loader> loader = bundle::makeInterfaceLoader<Loader>();
  std::unique_ptr<QWidget> window(loader->load(&file));
  if (!window) {
    std::fprintf(stderr, "TVLQC: cannot load the preferences window %s: %s\n", path.c_str(),
                 loader->errorString().toLocal8Bit().constData());
    return nullptr;
  }
  QWidget* w = window.get();
  // The file's English texts, replaced by the user's language where it has them.
  bundle::localizeInterface(w, controller.ownBundle(),
                            QFileInfo(file).completeBaseName().toStdString());
  AppController::Outlets& o = controller.outlets();
  o.preferencesWindow = outlet<QWidget>(w, "preferencesWindow");
  o.preferencesTabView = outlet<QTabWidget>(w, "preferencesTabView");
  o.startStopButton = outlet<QPushButton>(w, "startStopButton");
  o.startStopLabel = outlet<QLabel>(w, "startStopLabel");
  o.startStopProgressIndicator = outlet<QProgressBar>(w, "startStopProgressIndicator");
  o.startStopAuthorizationView =
      outlet<authview::AuthorizationView>(w, "startStopAuthorizationView");
  o.sessionLength = outlet<QComboBox>(w, "sessionLength");
  // The editable box's field is a control of its own to a screen reader: it gets the box's name.
  if (o.sessionLength && o.sessionLength->lineEdit())
    o.sessionLength->lineEdit()->setAccessibleName(o.sessionLength->accessibleName());
  o.sendProblemReport = outlet<QCheckBox>(w, "sendProblemReport");
  o.startAtLogin = outlet<QCheckBox>(w, "startAtLogin");
  o.aboutVersion = outlet<QLabel>(w, "aboutVersion");
  o.aboutDate = outlet<QLabel>(w, "aboutDate");
  o.aboutCopyright = outlet<QLabel>(w, "aboutCopyright");
  communication.authorisationView = o.startStopAuthorizationView;
  communication.startStopButton = o.startStopButton;

  if (QPushButton* button = o.startStopButton)
    QObject::connect(button, &QPushButton::clicked, button,
                     [&controller, button] { controller.changeAutoTovaloStatus(button); });
  if (auto* save = outlet<QPushButton>(w, "saveButton"))
    QObject::connect(save, &QPushButton::clicked, save, [&controller] { controller.save(); });
  auto* cancel = outlet<QPushButton>(w, "cancelButton");
  if (cancel)
    QObject::connect(cancel, &QPushButton::clicked, cancel, [&controller] { controller.cancel(); });
  bundle::giveDialogKeys(w, cancel);
  return window;
}

}  // namespace tvl
