#include "mainapp/MainApplication.h"

#include <dlfcn.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>

#include <QAbstractButton>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>

#include "mainapp/AppController.h"
#include "mainapp/AppleEventManager.h"
#include "mainapp/ApplicationUtils.h"
#include "mainapp/Localized.h"
#include "platform/bundle/Bundle.h"
#include "platform/bundle/InterfaceKeys.h"
#include "platform/bundle/InterfaceLoader.h"
#include "platform/bundle/InterfaceStrings.h"
#include "platform/bundle/QtTranslations.h"
#include "platform/cf/PropertyList.h"
#include "platform/cf/PropertyListXML.h"
#include "platform/desktop/DesktopSession.h"
#include "platform/notify/DesktopNotifications.h"
#include "platform/system/Log.h"
#include "platform/workspace/ApplicationBus.h"
#include "platform/workspace/OpenURL.h"

namespace tvl::mainapp {

bool callScriptingInitializer() {
  // RTLD_DEFAULT searches the program and every library it loaded, as the symbol lookup
  // of the process did.
  void* address = dlsym(RTLD_DEFAULT, "_ASKInitialize");
  if (!address) return false;
  reinterpret_cast<void (*)()>(address)();
  return true;
}

MainBundleInfo mainBundleInfo(const QString& executablePath) {
  MainBundleInfo info;
  info.bundlePath = bundlePathForExecutable(executablePath);
  info.resourcePath = info.bundlePath + "/Contents/Resources";
  bundle::Bundle bundle(info.bundlePath.toStdString());
  auto text = [&](const char* key, const char* fallback) {
    std::string value = bundle.stringForInfoDictionaryKey(key);
    return value.empty() ? QString(fallback) : QString::fromStdString(value);
  };
  info.name = text("CFBundleName", "Mac Tovalo");
  info.identifier = text("CFBundleIdentifier", kBundleIdentifier);
  info.iconName = text("CFBundleIconName", "com.nrvk.tvl");
  return info;
}

bool ensurePreferencesFile(const QString& path) {
  cf::Ref<cf::Dictionary> prefs;
  if (QFileInfo::exists(path)) {
    cf::Ref<cf::Object> plist = cf::createFromXMLFile(path.toStdString());
    auto* dict = cf::as<cf::Dictionary>(plist.get());
    if (!dict) return false;  // not ours to repair: leave it as it is
    prefs = dict->mutableCopy();
  } else {
    prefs = cf::Dictionary::create();
  }
  bool changed = !QFileInfo::exists(path);
  for (auto [key, value] :
       {std::pair{product::kProblemReportKey, product::kDefaultProblemReport},
        std::pair{product::kSessionLengthKey, product::kDefaultSessionLength}}) {
    if (!prefs->valueForKey(key)) {
      prefs->setValue(key, cf::String::create(value).get());
      changed = true;
    }
  }
  if (!changed) return true;
  QDir().mkpath(QFileInfo(path).absolutePath());
  return cf::writeXMLFileAtomically(prefs.get(), path.toStdString()) == 0;
}

int sessionLengthFromPreferences(const QString& path) {
  QString maxtime;
  if (QFileInfo::exists(path)) {
    cf::Ref<cf::Object> plist = cf::createFromXMLFile(path.toStdString());
    if (auto* dict = cf::as<cf::Dictionary>(plist.get())) {
      // The status menu writes a text; a number written by hand counts as well.
      if (auto text = cf::textValue(dict->valueForKey(product::kSessionLengthKey)))
        maxtime = QString::fromStdString(*text);
    }
  }
  return session::sessionLengthMinutes(maxtime);
}

// ---- The application ----

MainApplication::MainApplication(MainBundleInfo bundle)
    : bundle_(std::move(bundle)),
      cover_(bundle_.resourcePath),
      reporter_(QDir::homePath() + product::kPreferencesFile, defaultReportFolder()) {
  dockTimer_.setSingleShot(true);
  dockTimer_.setInterval(kDockingSettleMilliseconds);
  connect(&dockTimer_, &QTimer::timeout, this, [this] {
    if (lastMoved_) AppController::sharedController()->windowDidMove(lastMoved_, optionHeldAtMove_);
  });
  setApplicationScriptHost(this);
  using session::SupportSession;
  connect(&session_, &SupportSession::stateChanged, this, &MainApplication::showSessionState);
  connect(&session_, &SupportSession::ended, this, &MainApplication::sessionEnded,
          Qt::QueuedConnection);
  connect(&session_, &SupportSession::endingSoon, this, [this] {
    if (auto* keep = child<QAbstractButton>("keepsharing")) keep->show();
    if (QWidget* sheet = window("sharingsheet")) {
      sheet->show();
      sheet->raise();
    }
    notifyUser(localized("Sharing ends in a minute"),
               localized("Choose Keep Sharing in the sharing window to share for another %1 "
                         "minutes.")
                   .arg(session_.lengthMinutes()));
  });
  connect(&session_, &SupportSession::supporterJoined, this, [this] {
    notifyUser(
        localized("Supporter connected"),
        localized("Your supporter can now see and control your screen. Stop Sharing ends it."));
  });
  connect(&session_, &SupportSession::cannotShare, this, [this](const QString& why) {
    notifyUser(localized("Screen sharing is not possible"), why);
  });
  connect(&session_, &SupportSession::supporterLeft, this, [this] {
    notifyUser(localized("Supporter left"),
               localized("Your supporter is no longer connected to your screen."));
  });
}

QString checkLinkFields(const QString& secret, const QString& key) {
  if (secret.isEmpty() || secret.size() > 128 ||
      std::any_of(secret.begin(), secret.end(),
                  [](QChar c) { return c.unicode() < 0x21 || c.unicode() > 0x7e; }))
    return localized("The link's secret is missing or not valid.");
  bool ok = false;
  int port = key.toInt(&ok);
  if (!ok || port < 1024 || port > 65535 || key != QString::number(port))
    return localized("The link's session key is not valid.");
  return {};
}

MainApplication::~MainApplication() {
  session_.stop(session::Problem::ApplicationQuit);
  if (applicationScriptHost() == this) setApplicationScriptHost(nullptr);
}

QWidget* MainApplication::window(const char* name) const {
  for (auto& w : windows_)
    if (w->objectName() == name) return w.get();
  return nullptr;
}

template <class T>
T* MainApplication::child(const char* name) const {
  for (auto& w : windows_)
    if (auto* c = w->findChild<T*>(name)) return c;
  return nullptr;
}

bool MainApplication::loadInterface(const QString& uiFile) {
  QFile file(uiFile);
  if (!file.open(QIODevice::ReadOnly)) return false;
  std::unique_ptr<QWidget> root(bundle::makeInterfaceLoader()->load(&file));
  if (!root) return false;
  // The file's English texts, replaced by the user's language where it has them.
  bundle::localizeInterface(root.get(), bundle::Bundle::mainBundle(),
                            QFileInfo(uiFile).completeBaseName().toStdString());
  // The file's root only carries the windows: each becomes a top-level window.
  for (QWidget* w : root->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    w->setParent(nullptr, Qt::Window);
    windows_.emplace_back(w);
  }
  auto* share = child<QAbstractButton>("screensharingstart");
  auto* stop = child<QAbstractButton>("stopsharingnow");
  auto* control = child<QAbstractButton>("screencontrolstart");
  QWidget* remote = window("tvlremote");
  QWidget* sheet = window("sharingsheet");
  if (!share || !stop || !control || !remote || !sheet || !window("mocktail")) return false;
  // The main window bears the edition's name (Mac Tovalo, Mac Brisca), which no language
  // translates.
  remote->setWindowTitle(bundle_.name);
  // The interface's controller is the shared one; connecting its outlets and registering
  // it again makes it the receiver of launch URLs whatever was made before.
  AppController* controller = AppController::sharedController();
  controller->tabControl = child<QTabWidget>("tvlremotetabs");
  controller->windowSharing = remote;
  controller->setupEventHandlers();
  // Return ends the session, as the default button; Escape does not, lest a stray key end it.
  bundle::giveDialogKeys(sheet);
  cover_.quitWindow = sheet;
  cover_.closeQuit = sheet;
  connect(share, &QAbstractButton::clicked, this, &MainApplication::startSharing);
  connect(stop, &QAbstractButton::clicked, this, &MainApplication::stopSharing);
  connect(control, &QAbstractButton::clicked, this, &MainApplication::startControl);
  if (auto* clipboard = child<QAbstractButton>("shareclipboard"))
    connect(clipboard, &QAbstractButton::toggled, this,
            [this](bool on) { session_.shareClipboard(on); });
  if (auto* keep = child<QAbstractButton>("keepsharing")) {
    keep->hide();
    connect(keep, &QAbstractButton::clicked, this, [this, keep] {
      keep->hide();
      session_.keepSharing();
    });
  }
  if (auto* open = child<QAbstractButton>("openremote"))
    connect(open, &QAbstractButton::clicked, remote, [remote] {
      remote->show();
      remote->raise();
    });
  // The application's controller is the delegate of the windows that dock.
  remote->installEventFilter(this);
  window("mocktail")->installEventFilter(this);
  return true;
}

bool MainApplication::registerOnBus() {
  workspace::ApplicationHandlers handlers;
  handlers.activate = [this] { activate(); };
  handlers.executeScript = [this](const QString& source) {
    script::ScriptResult r = script::executeScript(source, *this);
    return workspace::ScriptReply{r.ok, r.text, r.items, r.errorInfo};
  };
  handlers.openLocation = [](const QString& url) {
    AppleEventManager::sharedAppleEventManager()->dispatchOpenLocation(url);
  };
  server_ = std::make_unique<workspace::ApplicationBusServer>(bundle_.identifier, bundle_.name,
                                                              std::move(handlers));
  QDBusConnection bus = QDBusConnection::sessionBus();
  return server_->registerOn(bus);
}

void MainApplication::showMainWindow() {
  QWidget* remote = window("tvlremote");
  remote->show();
  remote->raise();
  remote->activateWindow();
}

QList<QWidget*> MainApplication::windows() const {
  QList<QWidget*> list;
  for (auto& w : windows_) list << w.get();
  return list;
}

void MainApplication::activate() {
  bool anyVisible = false;
  for (auto& w : windows_) {
    if (!w->isVisible()) continue;
    anyVisible = true;
    w->raise();
  }
  if (!anyVisible) showMainWindow();
  window("tvlremote")->activateWindow();
}

bool MainApplication::openLocation(const QString& url) {
  std::string why;
  if (workspace::openWithDefaultHandler(url.toStdString(), &why)) return true;
  tvl::NSLog("Can't open %s: %s", qPrintable(url), why.c_str());
  return false;
}

void MainApplication::handleLaunchURL(const QString& url) {
  AppleEventManager::sharedAppleEventManager()->dispatchOpenLocation(url);
}

void MainApplication::startSharing() {
  if (sharing_) return;
  beginSession({session::generateSessionSecret(), 0, true});
}

void MainApplication::startControl() {
  if (sharing_) return;
  auto* secret = child<QLineEdit>("remotesecret");
  auto* key = child<QLineEdit>("remotekey");
  auto* status = child<QLabel>("controlstatus");
  // The link's secret opens the relay and the screen; its key is the session's port on
  // the relay, where the supporter connects.
  QString why = checkLinkFields(secret ? secret->text() : QString(), key ? key->text() : QString());
  if (!why.isEmpty()) {
    if (status) status->setText(why);
    return;
  }
  if (status) status->clear();
  beginSession({secret->text(), key->text().toInt(), false});
}

void MainApplication::beginSession(session::SupportSession::Request request) {
  sharing_ = true;
  postDistributedNotification(product::kSharingStarted, kNotificationObject);
  if (auto* stop = child<QAbstractButton>("stopsharingnow"))
    stop->setText(localized("Stop Sharing"));
  reporter_.sendPending();
  RelayListResult relay = loadRelayList();
  if (relay.relays.isEmpty()) {
    cover_.getPath();  // shows the sharing sheet, starts the cover
    // Ends it after the start has been told, so that every start has its stop.
    QTimer::singleShot(0, this, [this, why = relay.error] { sessionEnded(why); });
    if (auto* status = child<QLabel>("sharingstatus")) status->setText(relay.error);
    return;
  }
  request.lengthMinutes =
      sessionLengthFromPreferences(QDir::homePath() + product::kPreferencesFile);
  auto* clipboard = child<QAbstractButton>("shareclipboard");
  // Private at every start, until the user chooses.
  if (clipboard) clipboard->setChecked(false);
  session_.start(relay.relays, request);
  // The sheet and the cover come once ssh and the server are on their way: showing a
  // window and starting the cover took about 45 ms, which the session need not wait for.
  cover_.getPath();
  if (clipboard) {
    using Clipboard = session::SharingServer::Clipboard;
    const Clipboard control = session_.clipboardControl();
    clipboard->setEnabled(control == Clipboard::Switchable);
    clipboard->setChecked(control == Clipboard::Always);
    clipboard->setToolTip(
        control == Clipboard::Always
            ? localized("This desktop's screen sharing always exchanges the clipboard.")
        : control == Clipboard::Never
            ? localized("This desktop's screen sharing can't exchange the clipboard.")
            : QString());
  }
}

void MainApplication::stopSharing() {
  if (!sharing_) {
    if (QWidget* sheet = window("sharingsheet")) sheet->hide();
    return;
  }
  session_.stop(session::Problem::UserStopped);
  // The session had not begun (no relay settings).
  if (sharing_) sessionEnded(session::describe({session::Problem::UserStopped, {}}));
  if (QWidget* sheet = window("sharingsheet")) sheet->hide();
}

void MainApplication::sessionEnded(const QString& reason) {
  if (!sharing_) return;
  sharing_ = false;
  if (reason != localized("You stopped sharing.")) {
    const desktop::Session& session = desktop::currentSession();
    static const char* const kRoutes[] = {"x11vnc", "tvl-portal-vnc --wlroots", "tvl-portal-vnc",
                                          "none"};
    ReportFacts facts;
    facts.product = (bundle_.name + " " + QCoreApplication::applicationVersion()).trimmed();
    facts.desktop = QString("%1 (%2)").arg(
        session.server == desktop::DisplayServer::Wayland ? "Wayland" : "X11",
        qEnvironmentVariable("XDG_CURRENT_DESKTOP"));
    facts.route = kRoutes[static_cast<int>(desktop::sharingRoute(session))];
    facts.failure = reason;
    facts.logLines = session_.recentLog();
    facts.secrets = session_.secretWords();
    reporter_.report(facts);
  }
  // The sheet stays to say why a session ended that the user did not end.
  QWidget* sheet = window("sharingsheet");
  bool keepSheet = sheet && sheet->isVisible();
  // Closing it hands the focus elsewhere; shown again, it takes the focus while the user is
  // in one of our windows, so that the keyboard reaches its Close (another program's focus
  // is left alone).
  bool takeFocus = keepSheet && QApplication::activeWindow() != nullptr;
  cover_.quitPath();  // closes the sharing sheet, stops the cover
  postDistributedNotification(product::kSharingStopped, kNotificationObject);
  if (auto* status = child<QLabel>("sharingstatus"))
    status->setText(localized("Sharing ended. %1").arg(reason));
  if (auto* code = child<QLineEdit>("sessioncode")) code->clear();
  if (auto* keep = child<QAbstractButton>("keepsharing")) keep->hide();
  if (auto* stop = child<QAbstractButton>("stopsharingnow")) stop->setText(localized("Close"));
  if (keepSheet) sheet->show();
  if (takeFocus) sheet->activateWindow();
}

void MainApplication::showSessionState() {
  if (session_.state() == session::State::Ended) return;  // sessionEnded says it
  if (auto* status = child<QLabel>("sharingstatus")) status->setText(session_.stateText());
  if (auto* code = child<QLineEdit>("sessioncode")) code->setText(session_.sessionCode());
  tvl::NSLog("Session: %s", qPrintable(session_.stateText()));
}

void MainApplication::notifyUser(const QString& summary, const QString& body) {
  notify::DesktopNotification n;
  n.applicationName = bundle_.name;
  n.iconName = bundle_.iconName;
  n.summary = summary;
  n.body = body;
  // "Supporter left" takes the place of a "Supporter connected" still on screen.
  n.topic = "supporter";
  // Without a notification server nothing shows; the sharing window still says it all.
  notify::DesktopNotifications::defaultNotifications()->notify(n);
}

bool MainApplication::eventFilter(QObject* watched, QEvent* event) {
  auto* w = qobject_cast<QWidget*>(watched);
  if (w && event->type() == QEvent::Move) {
    lastMoved_ = w;
    // Option counts as it was when the move ended, not when the settle timer fires.
    optionHeldAtMove_ = QGuiApplication::queryKeyboardModifiers() & Qt::AltModifier;
    dockTimer_.start();
  }
  // Closing the remote window ends the application; hiding it by script does not.
  if (w && event->type() == QEvent::Close && w->objectName() == "tvlremote")
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
  return false;
}

// ---- Entry ----

namespace {

// Termination requests end the event loop, so the application says goodbye as when the
// user quits. The handler only writes a byte; the loop does the rest.
int gSignalSocket[2] = {-1, -1};

void onTerminationSignal(int) {
  char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(gSignalSocket[0], &byte, 1);
}

struct SignalSockets {
  SignalSockets() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalSocket); }
  ~SignalSockets() {
    for (int& fd : gSignalSocket)
      if (fd >= 0) ::close(std::exchange(fd, -1));
  }
};

void handOver(const MainBundleInfo& bundle, const QString& url) {
  QDBusInterface running(bundle.identifier, workspace::kApplicationPath,
                         workspace::kApplicationInterface, QDBusConnection::sessionBus());
  if (url.isEmpty())
    running.call(workspace::kActivateMethod);
  else
    running.call(workspace::kOpenLocationMethod, url);
}

}  // namespace

int NSApplicationMain(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  bundle::installQtTranslations(bundle::Bundle::mainBundle());
  const QStringList arguments = app.arguments();
  const QString url = arguments.size() > 1 ? arguments[1] : QString();
  // Qt has taken its own options; any other is a mistake, not a URL to hand on.
  if (url.startsWith('-')) {
    std::fprintf(stderr, "%s: unknown option %s (--help says which there are)\n",
                 qPrintable(QFileInfo(arguments[0]).fileName()), qPrintable(url));
    return 2;
  }
  MainBundleInfo bundle = mainBundleInfo(QCoreApplication::applicationFilePath());

  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected() && bus.interface()->isServiceRegistered(bundle.identifier)) {
    handOver(bundle, url);
    return 0;
  }

  MainApplication application(bundle);
  if (!application.loadInterface(bundle.resourcePath + "/" + kInterfaceFile)) {
    tvl::NSLog("Can't load the interface file %s/%s", qPrintable(bundle.resourcePath),
               kInterfaceFile);
    return 1;
  }
  if (!application.registerOnBus()) {
    if (bus.isConnected() && bus.interface()->isServiceRegistered(bundle.identifier)) {
      handOver(bundle, url);  // another start won the race
      return 0;
    }
    tvl::NSLog("No session bus: scripts and launch URLs can't reach %s", qPrintable(bundle.name));
  }

  SignalSockets sockets;
  QSocketNotifier notifier(gSignalSocket[1], QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);

  ensurePreferencesFile(QDir::homePath() + product::kPreferencesFile);
  QObject::connect(&app, &QCoreApplication::aboutToQuit, [&application] {
    application.stopSharing();
    postDistributedNotification(product::kApplicationQuit, kNotificationObject);
  });
  application.showMainWindow();
  postDistributedNotification(product::kApplicationLaunch, kNotificationObject);
  if (!url.isEmpty())
    QTimer::singleShot(0, &application, [url] {
      AppleEventManager::sharedAppleEventManager()->dispatchOpenLocation(url);
    });
  int status = app.exec();
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) signal(sig, SIG_DFL);
  return status;
}

}  // namespace tvl::mainapp
