#include "platform/screencast/PortalSession.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QTimer>

namespace tvl::screencast {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kRemoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

constexpr uint kKeyboard = 1, kPointer = 2;
constexpr uint kMonitor = 1;
constexpr uint kCursorEmbedded = 2;
constexpr uint kPersistUntilRevoked = 2;
// Without a dialog the portal answers within this long.
constexpr int kDialogGraceMs = 500;
// A desktop that does not answer an input event within this long is not waited for.
constexpr int kInputAnswerMs = 2000;

bool readPair(const QVariant& v, int* a, int* b) {
  if (v.userType() != qMetaTypeId<QDBusArgument>()) return false;
  const QDBusArgument arg = v.value<QDBusArgument>();
  if (arg.currentSignature() != QLatin1String("(ii)")) return false;
  arg.beginStructure();
  arg >> *a >> *b;
  arg.endStructure();
  return true;
}

// 1: the user cancelled the dialog; 2: the desktop ended the request otherwise.
PortalSession::Refusal refusalOf(uint code) {
  return code == 1 ? PortalSession::Refusal::Declined : PortalSession::Refusal::NotAllowed;
}
QString describeResponse(uint code) {
  return code == 1 ? QStringLiteral("you declined to share your screen")
                   : QStringLiteral("the desktop did not allow sharing the screen");
}

// Receives a request's Response signal on the path the portal will use.
class Receiver : public QObject {
  Q_OBJECT
 public:
  explicit Receiver(std::function<void(uint, const QVariantMap&)> f) : f_(std::move(f)) {}
  Q_SLOT void onResponse(uint code, const QVariantMap& results) {
    auto f = std::move(f_);
    f_ = nullptr;
    if (f) f(code, results);
  }

 private:
  std::function<void(uint, const QVariantMap&)> f_;
};

}  // namespace

bool parseStreams(const QVariant& value, QList<Stream>* streams) {
  streams->clear();
  if (value.userType() != qMetaTypeId<QDBusArgument>()) return false;
  const QDBusArgument arg = value.value<QDBusArgument>();
  if (arg.currentSignature() != QLatin1String("a(ua{sv})")) return false;
  arg.beginArray();
  while (!arg.atEnd()) {
    Stream s;
    QVariantMap props;
    arg.beginStructure();
    arg >> s.node >> props;
    arg.endStructure();
    readPair(props.value("position"), &s.x, &s.y);  // optional
    if (!readPair(props.value("size"), &s.width, &s.height) || s.width <= 0 || s.height <= 0)
      s.width = s.height = 0;  // the frames will tell
    if (s.node == 0) continue;
    streams->append(s);
  }
  arg.endArray();
  return !streams->isEmpty();
}

PortalSession::PortalSession(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {}

PortalSession::~PortalSession() {
  close();
}

void PortalSession::refuse(Refusal why, const QString& words) {
  if (over_) return;
  over_ = true;
  close();
  emit refused(why, words);
}

void PortalSession::request(const QString& interface, const QString& method, QVariantList args,
                            QVariantMap options, Handler onResponse) {
  // The portal answers on a path made of our unique name and a token of ours: listen
  // there before asking, or a quick answer is lost.
  const QString token = QStringLiteral("tvl%1_%2").arg(::getpid()).arg(++tokenCounter_);
  QString sender = bus_.baseService().mid(1);
  sender.replace('.', '_');
  const QString path = kPath + "/request/" + sender + "/" + token;
  auto* receiver = new Receiver(std::move(onResponse));
  receiver->setParent(this);
  receivers_.append(receiver);
  bus_.connect(kService, path, kRequest, "Response", receiver, SLOT(onResponse(uint, QVariantMap)));
  options.insert("handle_token", token);
  args.append(options);
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, interface, method);
  call.setArguments(args);
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 120 * 1000), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, method] {
    watcher->deleteLater();
    if (watcher->isError()) {
      const QDBusError e = watcher->error();
      if (e.type() == QDBusError::ServiceUnknown || e.type() == QDBusError::UnknownInterface ||
          e.type() == QDBusError::UnknownMethod || e.type() == QDBusError::UnknownObject)
        refuse(Refusal::NoPortal, QStringLiteral("this desktop offers no screen-sharing portal"));
      else
        refuse(Refusal::PortalFailed,
               QStringLiteral("the desktop's portal failed (%1: %2)").arg(method, e.message()));
    }
  });
}

void PortalSession::start(const QString& restoreToken, Monitors monitors) {
  monitors_ = monitors;
  if (!bus_.isConnected()) {
    refuse(Refusal::NoBus, QStringLiteral("there is no session bus to reach the desktop's portal"));
    return;
  }
  // Whether the portal and its remote desktop exist, and whether it can keep sessions.
  QDBusMessage get =
      QDBusMessage::createMethodCall(kService, kPath, "org.freedesktop.DBus.Properties", "Get");
  get.setArguments({kRemoteDesktop, QStringLiteral("version")});
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(get, 30 * 1000), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, restoreToken] {
    watcher->deleteLater();
    QDBusPendingReply<QDBusVariant> reply = *watcher;
    bool ok = false;
    if (!reply.isError()) remoteDesktopVersion_ = reply.value().variant().toUInt(&ok);
    if (!ok || remoteDesktopVersion_ == 0) {
      refuse(Refusal::NoPortal, QStringLiteral("this desktop offers no screen-sharing portal"));
      return;
    }
    QVariantMap options{{"session_handle_token", QStringLiteral("tvl%1").arg(::getpid())}};
    request(kRemoteDesktop, "CreateSession", {}, options,
            [this, restoreToken](uint code, const QVariantMap& results) {
              if (code != 0) return refuse(refusalOf(code), describeResponse(code));
              // Portals answer with a string; some say object path.
              const QVariant h = results.value("session_handle");
              sessionHandle_ = h.userType() == qMetaTypeId<QDBusObjectPath>()
                                   ? h.value<QDBusObjectPath>().path()
                                   : h.toString();
              if (!sessionHandle_.startsWith('/'))
                return refuse(Refusal::NoSession,
                              QStringLiteral("the desktop's portal made no session"));
              bus_.connect(kService, sessionHandle_, kSession, "Closed", this,
                           SLOT(onSessionClosed()));
              selectDevices(restoreToken);
            });
  });
}

void PortalSession::selectDevices(const QString& restoreToken) {
  QVariantMap options{{"types", kKeyboard | kPointer}};
  const bool restoring = canPersist() && !restoreToken.isEmpty();
  // Older portals refuse persistence of remote-desktop sessions outright.
  if (canPersist()) options.insert("persist_mode", kPersistUntilRevoked);
  if (restoring) options.insert("restore_token", restoreToken);
  request(kRemoteDesktop, "SelectDevices", {QVariant::fromValue(QDBusObjectPath(sessionHandle_))},
          options, [this](uint code, const QVariantMap&) {
            if (code != 0) return refuse(refusalOf(code), describeResponse(code));
            selectSources();
          });
}

void PortalSession::selectSources() {
  QVariantMap options{{"types", kMonitor},
                      {"multiple", monitors_ == Monitors::EachPicked},
                      {"cursor_mode", kCursorEmbedded}};
  request(kScreenCast, "SelectSources", {QVariant::fromValue(QDBusObjectPath(sessionHandle_))},
          options, [this](uint code, const QVariantMap&) {
            if (code != 0) return refuse(refusalOf(code), describeResponse(code));
            startSession();
          });
}

void PortalSession::startSession() {
  request(kRemoteDesktop, "Start",
          {QVariant::fromValue(QDBusObjectPath(sessionHandle_)), QString()}, {},
          [this](uint code, const QVariantMap& results) {
            if (code != 0) return refuse(refusalOf(code), describeResponse(code));
            onStarted(results);
          });
  // Only a dialog takes longer: a restore token, or KDE's portal for a program the user
  // started (it shows no dialog then), answer at once.
  QTimer::singleShot(kDialogGraceMs, this, [this] {
    if (!started_ && !over_) emit approvalPending();
  });
}

void PortalSession::onStarted(const QVariantMap& results) {
  bool ok = false;
  devices_ = results.value("devices").toUInt(&ok);
  if (!ok) devices_ = 0;
  if (!parseStreams(results.value("streams"), &streams_))
    return refuse(Refusal::NoScreen, QStringLiteral("the desktop's portal shared no screen"));
  const QVariant token = results.value("restore_token");
  if (token.userType() == QMetaType::QString) restoreToken_ = token.toString();
  started_ = true;
  emit started();
}

int PortalSession::openPipeWireRemote(QString* error) {
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kScreenCast, "OpenPipeWireRemote");
  call.setArguments({QVariant::fromValue(QDBusObjectPath(sessionHandle_)), QVariantMap{}});
  QDBusMessage reply = bus_.call(call, QDBus::Block, 30 * 1000);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1 ||
      reply.arguments().at(0).userType() != qMetaTypeId<QDBusUnixFileDescriptor>()) {
    *error =
        QStringLiteral("the desktop's portal gave no screen stream (%1)").arg(reply.errorMessage());
    return -1;
  }
  const auto fd = reply.arguments().at(0).value<QDBusUnixFileDescriptor>();
  // The reply's descriptor closes with it: keep a copy.
  int own = fd.isValid() ? ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
  if (own < 0) *error = QStringLiteral("the desktop's portal gave an invalid screen stream");
  return own;
}

void PortalSession::notify(const QString& method, const QVariantList& args, Answered answered) {
  if (!started_ || devices_ == 0) {
    if (answered) answered();
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kRemoteDesktop, method);
  QVariantList all{QVariant::fromValue(QDBusObjectPath(sessionHandle_)), QVariantMap{}};
  all.append(args);
  call.setArguments(all);
  // An error answer counts as an answer: that event is lost, the next ones are not held up.
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kInputAnswerMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [watcher, answered = std::move(answered)] {
            watcher->deleteLater();
            if (answered) answered();
          });
}

void PortalSession::movePointer(std::uint32_t node, double x, double y, Answered answered) {
  notify("NotifyPointerMotionAbsolute", {node, x, y}, std::move(answered));
}

void PortalSession::nudgePointer(double dx, double dy, Answered answered) {
  notify("NotifyPointerMotion", {dx, dy}, std::move(answered));
}

void PortalSession::pointerButton(int evdevButton, bool pressed, Answered answered) {
  notify("NotifyPointerButton", {evdevButton, uint(pressed ? 1 : 0)}, std::move(answered));
}

void PortalSession::scroll(bool horizontal, int steps, Answered answered) {
  notify("NotifyPointerAxisDiscrete", {uint(horizontal ? 1 : 0), steps}, std::move(answered));
}

void PortalSession::key(std::uint32_t keysym, bool pressed, Answered answered) {
  notify("NotifyKeyboardKeysym", {int(keysym), uint(pressed ? 1 : 0)}, std::move(answered));
}

void PortalSession::onSessionClosed() {
  const bool wasStarted = started_;
  started_ = false;
  sessionHandle_.clear();
  if (wasStarted && !over_) {
    over_ = true;
    emit closed();
  } else {
    refuse(Refusal::EndedEarly, QStringLiteral("the desktop ended the session before it began"));
  }
}

void PortalSession::close() {
  if (!sessionHandle_.isEmpty()) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, sessionHandle_, kSession, "Close");
    bus_.call(call, QDBus::Block, 5000);
    bus_.disconnect(kService, sessionHandle_, kSession, "Closed", this, SLOT(onSessionClosed()));
    sessionHandle_.clear();
  }
  started_ = false;
}

}  // namespace tvl::screencast

#include "PortalSession.moc"
