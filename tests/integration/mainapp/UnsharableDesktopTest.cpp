// A Wayland desktop that offers no way to capture the screen (weston: neither wlroots'
// screen copy nor a desktop portal of GNOME or KDE), with an X display beside it as
// Xwayland would give: a session refuses to start, in words, and starts nothing.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <cstdlib>

#include "mainapp/session/SupportSession.h"
#include "platform/desktop/DesktopSession.h"
#include "tests/integration/mainapp/Processes.h"

using namespace tvl;

using session::SupportSession;

TEST(UnsharableDesktop, NoSessionStartsAndTheUserIsToldWhy) {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  QProcess weston;
  weston.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  weston.setStandardOutputFile(QProcess::nullDevice());
  weston.start("weston", {"--backend=headless-backend.so", "--socket=wayland-unknown",
                          "--no-config", "--log=" + runtime + "/weston.log"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(runtime + "/wayland-unknown"); }, 10000));
  // The session as a login manager describes it; probed at the first question below.
  ::setenv("WAYLAND_DISPLAY", "wayland-unknown", 1);
  ::setenv("XDG_SESSION_TYPE", "wayland", 1);
  ::setenv("DISPLAY", ":77", 1);
  ASSERT_EQ(desktop::sharingRoute(desktop::currentSession()), desktop::SharingRoute::None)
      << desktop::describe(desktop::currentSession());

  QString why;
  EXPECT_FALSE(SupportSession::canShareThisDesktop(&why));
  mainapp::RelaySettings relay{"127.0.0.1", 22, "tvlrelay", "ssh-ed25519 AAAA", "/dev/null", 3};
  SupportSession session;
  QSignalSpy ended(&session, &SupportSession::ended);
  QSignalSpy notified(&session, &SupportSession::cannotShare);  // the notification's cue
  session.start(relay, {"k3mnpq7r", 0, true});
  ASSERT_EQ(ended.size(), 1);
  ASSERT_EQ(notified.size(), 1);
  EXPECT_EQ(notified.at(0).at(0).toString(), why);
  const QString reason = ended.at(0).at(0).toString();
  EXPECT_EQ(reason, why);
  EXPECT_TRUE(reason.startsWith("This desktop can't be shared: ")) << reason.toStdString();
  EXPECT_EQ(session.state(), session::State::Ended);
  EXPECT_EQ(session.stateText(), "Sharing ended. " + reason);
  // Nothing runs and no session folder was left behind.
  QTest::qWait(200);
  EXPECT_TRUE(testsupport::processesNamed("OSXvncserver").isEmpty());
  EXPECT_TRUE(testsupport::processesNamed("ssh").isEmpty());
  EXPECT_TRUE(
      QDir(runtime).entryList({".tvl-tunnel-*"}, QDir::AllEntries | QDir::Hidden).isEmpty());
  weston.terminate();
  weston.waitForFinished();
}
