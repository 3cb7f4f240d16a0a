// A remote-desktop session of the desktop portal (org.freedesktop.portal.RemoteDesktop
// with ScreenCast): the user approves it in the desktop's own dialog, then the screen
// comes as a PipeWire stream and pointer and keys go back through the portal.
#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <functional>

namespace tvl::screencast {

struct Stream {
  std::uint32_t node = 0;  // PipeWire node
  int x = 0, y = 0;        // position in the desktop, where the portal says
  int width = 0, height = 0;
};

// What a portal's results say, read defensively: a missing or mistyped key is an error,
// never a default that looks like success.
bool parseStreams(const QVariant& value, QList<Stream>* streams);

class PortalSession : public QObject {
  Q_OBJECT
 public:
  // Why the desktop will not share its screen.
  enum class Refusal {
    Declined,      // the user cancelled the dialog
    NotAllowed,    // the desktop ended the request otherwise
    NoPortal,      // no remote-desktop portal on the bus
    NoBus,         // no session bus at all
    PortalFailed,  // a call of the portal failed
    NoSession,     // the portal's answer made no session
    NoScreen,      // the portal shared no screen
    EndedEarly,    // the desktop closed the session before it began
  };

  explicit PortalSession(QDBusConnection bus = QDBusConnection::sessionBus(),
                         QObject* parent = nullptr);
  ~PortalSession() override;

  // What the screen is asked as: every monitor the user picks in the dialog, each as a
  // stream of its own (GNOME lists the monitors, the first ticked), or the desktop's one
  // stream (KDE: the whole workspace, all outputs as they stand).
  enum class Monitors { EachPicked, DesktopsChoice };
  // Asks for the screen (cursor drawn into the picture) and for pointer and keyboard.
  // restoreToken comes from an earlier session; the portal skips its dialog with it where
  // it can keep remote-desktop sessions.
  void start(const QString& restoreToken, Monitors monitors = Monitors::EachPicked);
  // Ends the portal's session (and so the dialog, the stream and the input).
  void close();

  bool isStarted() const { return started_; }
  const QList<Stream>& streams() const { return streams_; }
  // The token for the next session; empty when the portal gave none.
  QString restoreToken() const { return restoreToken_; }
  // Whether the user allowed pointer and keyboard.
  bool inputAllowed() const { return devices_ != 0; }
  // Whether this portal can keep a remote-desktop session for later (restore tokens).
  bool canPersist() const { return remoteDesktopVersion_ >= 2; }

  // A descriptor of the PipeWire remote for the streams, or -1 with error set.
  int openPipeWireRemote(QString* error);

  // Input. answered runs once the desktop has taken the event (or failed it, or gave no
  // answer within a few seconds); at once when it takes no input. The portal hands calls
  // on in threads of its own, where one sent before the last was answered may overtake it.
  using Answered = std::function<void()>;
  void movePointer(std::uint32_t node, double x, double y, Answered answered = {});
  // Relative motion: (0, 0) moves nothing but makes the desktop set up its pointer.
  void nudgePointer(double dx, double dy, Answered answered = {});
  void pointerButton(int evdevButton, bool pressed, Answered answered = {});
  void scroll(bool horizontal, int steps, Answered answered = {});
  void key(std::uint32_t keysym, bool pressed, Answered answered = {});

 signals:
  // The desktop's dialog is waiting for the user.
  void approvalPending();
  void started();
  // The portal is absent, the user declined, the desktop refused, or the answer made no
  // sense; words says it in English, for a log.
  void refused(tvl::screencast::PortalSession::Refusal why, const QString& words);
  // The desktop ended a started session.
  void closed();

 private:
  using Handler = std::function<void(uint, const QVariantMap&)>;
  void request(const QString& interface, const QString& method, QVariantList args,
               QVariantMap options, Handler onResponse);
  void selectDevices(const QString& restoreToken);
  void selectSources();
  void startSession();
  void onStarted(const QVariantMap& results);
  void refuse(Refusal why, const QString& words);
  void notify(const QString& method, const QVariantList& args, Answered answered);
  Q_SLOT void onSessionClosed();

  QDBusConnection bus_;
  QString sessionHandle_;
  uint remoteDesktopVersion_ = 0;
  uint devices_ = 0;
  Monitors monitors_ = Monitors::EachPicked;
  bool started_ = false;
  bool over_ = false;
  int tokenCounter_ = 0;
  QList<Stream> streams_;
  QString restoreToken_;
  QList<QObject*> receivers_;
};

}  // namespace tvl::screencast
