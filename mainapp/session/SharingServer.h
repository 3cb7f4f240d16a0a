// The VNC server of a session, one class per route (how this kind of desktop is shared):
// it prepares its own files in the session's folder, builds its arguments, starts its
// program under the name the cover knows, reads its program's output through its own
// line parser, and says whether the user must approve sharing before the tunnel opens.
//
// Adding a route: a class derived from SharingServer in a file of its own (see
// X11vncServer.cpp, the smallest), with its parser in ServerEvent.h, and its line in
// makeSharingServer (docs/session.md, "Adding a route").
#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

#include "mainapp/session/ServerEvent.h"
#include "mainapp/session/SessionProblem.h"
#include "platform/desktop/DesktopSession.h"

namespace tvl::session {

class SharingServer : public QObject {
  Q_OBJECT
 public:
  struct Setup {
    QString folder;  // the session's 0700 folder; the server listens on socket below
    QString socket;  // where the server listens (a Unix socket in the folder)
    QString secret;  // the session's secret, also in folder/vnc.pw until the server read it
  };

  ~SharingServer() override;

  // The program, for messages ("x11vnc").
  virtual QString programName() const = 0;
  // True when the desktop asks the user before anything is shared: the tunnel then opens
  // only once the server says Serving, so nothing reaches the relay before the user said
  // yes and the relay's deadline does not run while the user reads the dialog.
  virtual bool approvalBeforeTunnel() const { return false; }
  // True when the server speaks VNC authentication (RFB security type 2), whose
  // handshake the session's gate can pass on in whole messages (RfbGate).
  virtual bool speaksVncAuthentication() const { return false; }

  // What the route can do about the clipboard. A Switchable one starts with the clipboard
  // kept private.
  enum class Clipboard { Never, Switchable, Always };
  virtual Clipboard clipboard() const { return Clipboard::Never; }
  // Shares the clipboard both ways, or stops sharing it (Switchable routes).
  virtual void shareClipboard(bool /*on*/) {}

  // Prepares the route's files and starts the program; false with the problem.
  virtual bool start(const Setup& setup, EndCause* problem) = 0;
  // Ends the program (SIGTERM, SIGKILL after 2 s). Safe to call twice; no signal follows.
  void stop();
  bool isRunning() const;
  qint64 processId() const;

 signals:
  void event(const tvl::session::ServerEvent& event);
  // The program ended by itself (its last lines were read first).
  void stopped();

 protected:
  explicit SharingServer(QObject* parent = nullptr) : QObject(parent) {}
  // Starts program through a link named "OSXvncserver" in the folder, reading the given
  // channel line by line (MergedChannels: both); each line goes to parseLine.
  bool launch(const Setup& setup, const QString& program, const QStringList& arguments,
              QProcess::ProcessChannelMode channels, EndCause* problem);
  // One line of the program's output, through the route's parser.
  virtual ServerEvent parseLine(QStringView line) = 0;

 private:
  void readLines();
  std::unique_ptr<QProcess> process_;
};

// The server of the desktop's route; null for a route that has none (no display, a
// Wayland compositor without a way to capture the screen).
std::unique_ptr<SharingServer> makeSharingServer(desktop::SharingRoute route);

// The desktop's route, once per process, and why there is none (in a problem code).
desktop::SharingRoute currentRoute();

}  // namespace tvl::session
