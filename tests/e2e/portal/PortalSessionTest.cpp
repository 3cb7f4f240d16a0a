// A support session on a GNOME Wayland desktop (headless mutter with its portal): the
// session runs tvl-portal-vnc as "OSXvncserver", says in the sharing window that the
// desktop's dialog waits, and when the user declines, ends with the desktop's words and
// a notification, before anything reached the relay.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include "e2e/portal/PortalDialog.h"
#include "mainapp/session/PortalVncServer.h"
#include "mainapp/session/SupportSession.h"
#include "platform/desktop/DesktopSession.h"

using namespace tvl;

namespace {

// Processes of this user whose command name is name.
int processesNamed(const QString& name) {
  int n = 0;
  for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
    QFile comm("/proc/" + pid + "/comm");
    if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name.toUtf8()) ++n;
  }
  return n;
}

class PortalSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(desktop::sharingRoute(desktop::currentSession()), desktop::SharingRoute::Portal)
        << desktop::describe(desktop::currentSession());
    // The server is found on the search path when the program is not in the bundle.
    const QString bundle =
        qEnvironmentVariable("TVL_BUILD_DIR") + "/Applications/Mac Tovalo.app/Contents/MacOS";
    qputenv("PATH", (bundle + ":" + qEnvironmentVariable("PATH")).toUtf8());
    QFile key(keys.filePath("id"));
    ASSERT_TRUE(key.open(QIODevice::WriteOnly));
    key.write("a key the relay never sees\n");
    key.close();
    // A relay that refuses at once: a tunnel started before the user answered would end
    // the session with "The relay can't be reached." long before.
    relay.host = "127.0.0.1";
    relay.port = 9;
    relay.user = "tvl";
    relay.hostKey =
        "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOMqqnkVzrm0SdG6UOoqKLsabgH5C9okWi0dh2l9GKJl";
    relay.identity = key.fileName();
  }
  QTemporaryDir keys;
  mainapp::RelaySettings relay;
};

TEST_F(PortalSession, DeclinedDialogEndsTheSessionInWordsBeforeTheRelayIsReached) {
  session::SupportSession session;
  QSignalSpy ended(&session, &session::SupportSession::ended);
  QSignalSpy cannot(&session, &session::SupportSession::cannotShare);
  session.start(relay, {"sEcr3t42", 0, true});
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return session.stateText().contains("choose Share in its dialog"); }, 20000))
      << session.stateText().toStdString();
  EXPECT_EQ(processesNamed("OSXvncserver"), 1);
  EXPECT_EQ(processesNamed("ssh"), 0);

  ASSERT_TRUE(QTest::qWaitFor(portaldialog::dialogShown, 20000));
  portaldialog::click({portaldialog::kCancelX, portaldialog::kCancelY});
  ASSERT_TRUE(QTest::qWaitFor([&] { return !ended.isEmpty(); }, 20000));
  const QString why = "This desktop can't be shared: you declined to share your screen";
  EXPECT_EQ(ended.first().first().toString(), why);
  ASSERT_EQ(cannot.size(), 1);
  EXPECT_EQ(cannot.first().first().toString(), why);
  EXPECT_EQ(session.state(), session::State::Ended);
  EXPECT_TRUE(QTest::qWaitFor([&] { return processesNamed("OSXvncserver") == 0; }, 5000));
  // The restore token's file is the user's alone.
  EXPECT_EQ(QFile::permissions(session::portalRestoreTokenPath()) & 0x0077, 0);
}

TEST_F(PortalSession, TheTunnelStartsOnceTheUserShared) {
  session::SupportSession session;
  QSignalSpy ended(&session, &session::SupportSession::ended);
  session.start(relay, {"sEcr3t42", 0, true});
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return session.stateText().contains("choose Share in its dialog"); }, 20000));
  ASSERT_TRUE(QTest::qWaitFor(portaldialog::dialogShown, 20000));
  using namespace portaldialog;
  // Share with remote interaction left off: the supporter may only look.
  click({kShareX, kShareY});
  ASSERT_TRUE(QTest::qWaitFor([&] { return !ended.isEmpty(); }, 30000));
  // Only now did ssh try the relay, which refused.
  EXPECT_EQ(ended.first().first().toString(), "The relay can't be reached.");
  // The sharing window must not promise control the desktop did not allow.
  EXPECT_FALSE(session.remoteControlAllowed());
  EXPECT_TRUE(QTest::qWaitFor([&] { return processesNamed("OSXvncserver") == 0; }, 5000));
}

}  // namespace
