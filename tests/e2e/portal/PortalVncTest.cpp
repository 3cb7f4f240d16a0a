// tvl-portal-vnc on a headless GNOME (mutter, its desktop portal, PipeWire): the user
// answers the portal's dialog through the compositor's input, a VNC client of the
// supporter's sees the screen through the Unix socket and its click and typing reach a
// window of the desktop.
#include <gtest/gtest.h>
#include <rfb/rfbclient.h>
#include <signal.h>
#include <sys/stat.h>

#include <QColor>
#include <QFile>
#include <QProcess>

#include <chrono>
#include <thread>

#include "e2e/portal/PortalDialog.h"
#include "e2e/portal/PortalVnc.h"

namespace {

using namespace portaldialog;
using namespace portalvnc;
using testsupport::eventually;
using namespace std::chrono_literals;

TEST_F(PortalVnc, CancelledDialogIsRefusedAndLeavesNothing) {
  ASSERT_TRUE(said("tvl-portal-vnc: approval-pending"));
  ASSERT_TRUE(eventually(dialogShown, 20s)) << "no portal dialog on the screen";
  click({kCancelX, kCancelY});
  ASSERT_TRUE(vnc.waitForFinished(15000));
  EXPECT_EQ(vnc.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(vnc.exitCode(), 3);
  err.has("");
  EXPECT_TRUE(
      err.seen.contains("tvl-portal-vnc: refused declined you declined to share your screen"))
      << err.seen.join(QChar(10)).toStdString();
  EXPECT_FALSE(QFile::exists(socket()));
  EXPECT_FALSE(QFile::exists(dir.filePath("vnc.pw"))) << "the password file must go once read";
}

TEST_F(PortalVnc, SupporterSeesTheScreenAndTypesIntoAWindow) {
  ASSERT_TRUE(said("tvl-portal-vnc: approval-pending"));
  ASSERT_TRUE(eventually(dialogShown, 20s)) << "no portal dialog on the screen";
  click({kSwitchX, kSwitchY, kShareX, kShareY});
  ASSERT_TRUE(said("tvl-portal-vnc: serving")) << err.seen.join('\n').toStdString();
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(socket()).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(QFile::encodeName(dir.filePath("token")).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A wrong password is turned away and counts as no supporter.
  {
    Viewer wrong(socket(), "wrongpw1");
    EXPECT_EQ(wrong.client, nullptr);
  }

  QProcess target;
  Lines out{target, QProcess::StandardOutput, {}};
  target.start(portaldialog::build() + "/tests/e2e/portal/typing-target", {});
  ASSERT_TRUE(eventually([&] { return out.has("shown"); }, 20s));

  Viewer viewer(socket(), "sEcr3t42");
  ASSERT_NE(viewer.client, nullptr);
  ASSERT_TRUE(said("tvl-portal-vnc: client-joined"));
  EXPECT_EQ(viewer.client->width, 1280);
  EXPECT_EQ(viewer.client->height, 800);
  const QColor magenta(200, 40, 160);
  EXPECT_TRUE(
      eventually([&] { return viewer.refresh() && near(viewer.at(640, 600), magenta); }, 15s))
      << "the window is not in the supporter's picture";

  // All at once, as a viewer sends a quick click.
  SendPointerEvent(viewer.client, 640, 400, 0);
  SendPointerEvent(viewer.client, 640, 400, rfbButton1Mask);
  SendPointerEvent(viewer.client, 640, 400, 0);
  ASSERT_TRUE(eventually([&] { return viewer.read(), out.has("press"); }, 15s))
      << err.seen.join(QChar(10)).toStdString() << out.seen.join(QChar(10)).toStdString();
  typesAndPastes(viewer, out);

  // A supporter who queues far more input than the desktop takes, and leaves: the rest
  // of it does not go on playing for the user.
  for (int i = 0; i < 3000; ++i) viewer.key('x');
  viewer.close();
  EXPECT_TRUE(said("tvl-portal-vnc: client-left 0"));
  std::this_thread::sleep_for(1s);  // an event already on its way still arrives
  out.has("");
  const qsizetype settled = out.seen.size();
  std::this_thread::sleep_for(3s);
  out.has("");
  EXPECT_EQ(out.seen.size(), settled)
      << "input went on after its client left: " << out.seen.last().size() << " characters typed";
  target.kill();
  target.waitForFinished();

  ::kill(vnc.processId(), SIGTERM);
  ASSERT_TRUE(vnc.waitForFinished(10000));
  EXPECT_EQ(vnc.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(vnc.exitCode(), 0);
  EXPECT_FALSE(QFile::exists(socket()));
}

// Run on two monitors (with-mutter --monitors 2, 1280x800 and 1024x768 right of it): the
// user ticks both in the dialog, and the supporter gets them as one picture, as on X11,
// and works in a window on the second.
TEST_F(PortalVnc, BothMonitorsAreOnePicture) {
  QProcess target;
  Lines out{target, QProcess::StandardOutput, {}};
  target.start(portaldialog::build() + "/tests/e2e/portal/typing-target", {"--screen", "1"});
  ASSERT_TRUE(eventually([&] { return out.has("shown"); }, 20s));
  ASSERT_TRUE(said("tvl-portal-vnc: approval-pending"));
  ASSERT_TRUE(eventually(dialogShown, 20s)) << "no portal dialog on the screen";
  click({kSecondMonitorX, kSecondMonitorY, kSwitchX, kSwitchBelowTwoY, kShareX, kShareY});
  ASSERT_TRUE(said("tvl-portal-vnc: serving")) << err.seen.join('\n').toStdString();

  Viewer viewer(socket(), "sEcr3t42");
  ASSERT_NE(viewer.client, nullptr);
  EXPECT_EQ(viewer.client->width, 1280 + 1024);
  EXPECT_EQ(viewer.client->height, 800);
  const QColor magenta(200, 40, 160);
  EXPECT_TRUE(eventually(
      [&] {
        // The window on the second monitor, and the first monitor's desktop: not black.
        return viewer.refresh() && near(viewer.at(1280 + 512, 400), magenta) &&
               viewer.at(640, 700).lightness() > 20;
      },
      15s))
      << "not both monitors in the picture";
  SendPointerEvent(viewer.client, 1280 + 512, 400, 0);
  SendPointerEvent(viewer.client, 1280 + 512, 400, rfbButton1Mask);
  SendPointerEvent(viewer.client, 1280 + 512, 400, 0);
  ASSERT_TRUE(eventually([&] { return viewer.read(), out.has("press"); }, 15s));
  for (char c : std::string("second")) viewer.key(uint32_t(c));
  EXPECT_TRUE(eventually([&] { return viewer.read(), out.has("text second"); }, 15s));
  target.kill();
  target.waitForFinished();
}

// Run on a desktop whose bus has no portal (with-mutter --no-portal).
TEST(PortalVncWithoutPortal, IsRefusedInWords) {
  QTemporaryDir dir;
  ASSERT_FALSE(writePasswordFile(dir).isEmpty());
  QProcess vnc;
  vnc.start(server(), {"--unix-socket", dir.filePath("vnc.sock"), "--password-file",
                       dir.filePath("vnc.pw"), "--restore-token-file", dir.filePath("token")});
  ASSERT_TRUE(vnc.waitForFinished(30000));
  EXPECT_EQ(vnc.exitCode(), 3);
  const QString err = QString::fromUtf8(vnc.readAllStandardError());
  EXPECT_TRUE(err.contains(
      "tvl-portal-vnc: refused no-portal this desktop offers no screen-sharing portal\n"))
      << err.toStdString();
  EXPECT_FALSE(err.contains("approval-pending"));
  EXPECT_FALSE(QFile::exists(dir.filePath("vnc.sock")));
}

}  // namespace
