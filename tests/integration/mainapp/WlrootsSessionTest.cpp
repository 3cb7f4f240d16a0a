// A support session on a wlroots desktop: headless sway (tests/support/with-sway) with two
// outputs (1280x800 and 1024x768 beside it) and an ordinary window on the first, the real
// relay (with-relay), tvl-portal-vnc --wlroots as "OSXvncserver" behind the session's gate.
// The supporter is tvl-vnc-client on the relay's side of the tunnel, as a supporter's
// viewer is at the end of theirs.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include "mainapp/RelaySettings.h"
#include "mainapp/session/SupportSession.h"
#include "platform/desktop/DesktopSession.h"
#include "support/SwayScreen.h"
#include "tests/integration/mainapp/Processes.h"

using namespace tvl;

namespace {

using session::State;
using session::SupportSession;

const QString kBuild = qEnvironmentVariable("TVL_BUILD_DIR");
const QString kProbeWindow = kBuild + "/tests/support/probewindow/tvl-probe-window";
const QString kVncClient = kBuild + "/tests/support/vncclient/tvl-vnc-client";
const QString kPortalVnc = kBuild + "/Applications/Mac Tovalo.app/Contents/MacOS/tvl-portal-vnc";
constexpr uint32_t kProbe = 0xC03030;
constexpr uint32_t kSecondWallpaper = 0x406020;  // with-sway's colour for HEADLESS-2

QString readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool near(uint32_t a, uint32_t b) {
  for (int shift : {0, 8, 16})
    if (std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) > 12) return false;
  return true;
}

// The colour at (x, y) of a binary PPM file.
uint32_t ppmPixel(const QString& path, int x, int y, int* width, int* height) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return 0xFFFFFFFF;
  const QList<QByteArray> header =
      f.readLine().trimmed() == "P6" ? f.readLine().trimmed().split(' ') : QList<QByteArray>{};
  f.readLine();  // 255
  if (header.size() != 2) return 0xFFFFFFFF;
  *width = header[0].toInt();
  *height = header[1].toInt();
  const QByteArray data = f.readAll();
  const qsizetype at = (qsizetype(y) * *width + x) * 3;
  if (at + 3 > data.size()) return 0xFFFFFFFF;
  return uint32_t(uint8_t(data[at])) << 16 | uint32_t(uint8_t(data[at + 1])) << 8 |
         uint8_t(data[at + 2]);
}

}  // namespace

TEST(WlrootsSession, TheSupporterSeesEveryOutputAndControlsOnlyWithTheSessionsSecret) {
  ASSERT_EQ(desktop::sharingRoute(desktop::currentSession()), desktop::SharingRoute::Wlroots)
      << desktop::describe(desktop::currentSession());
  // The server is found on the search path when the program is not in the bundle.
  qputenv("PATH", (QFileInfo(kPortalVnc).path() + ":" + qEnvironmentVariable("PATH")).toUtf8());
  QTemporaryDir work;
  // An ordinary window in the middle of the output, its text field at its top.
  QProcess window;
  window.setStandardOutputFile(work.filePath("window.log"));
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "wayland");  // this program's own is offscreen
  window.setProcessEnvironment(environment);
  window.start(kProbeWindow, {"400", "300"});
  ASSERT_TRUE(
      QTest::qWaitFor([] { return testsupport::grabSway().at(640, 400) == kProbe; }, 10000));

  auto relay = mainapp::loadRelaySettings({qEnvironmentVariable("TVL_RELAY_DIR") + "/relay.conf"});
  ASSERT_TRUE(relay.error.isEmpty()) << relay.error.toStdString();
  SupportSession session;
  QSignalSpy joined(&session, &SupportSession::supporterJoined);
  QSignalSpy left(&session, &SupportSession::supporterLeft);
  const QString secret = "k3mnpq7r";
  session.start(relay.settings, {secret, 0, true});
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return session.state() == State::Waiting || session.state() == State::Ended; }, 15000));
  ASSERT_EQ(session.state(), State::Waiting) << session.stateText().toStdString();

  // tvl-portal-vnc runs under the name the cover knows, with no secret on its command line,
  // and listens on nothing but its socket in the session's folder.
  QList<int> servers = testsupport::processesNamed("OSXvncserver");
  ASSERT_EQ(servers.size(), 1);
  const QString pid = QString::number(servers[0]);
  EXPECT_EQ(QFileInfo("/proc/" + pid + "/exe").canonicalFilePath(),
            QFileInfo(kPortalVnc).canonicalFilePath());
  const QStringList arguments = readAll("/proc/" + pid + "/cmdline").split(QChar(0));
  EXPECT_FALSE(arguments.join(' ').contains(secret));
  EXPECT_EQ(arguments.value(1), "--wlroots");
  const QString folder = QFileInfo(arguments.value(arguments.indexOf("--unix-socket") + 1)).path();
  ASSERT_TRUE(folder.contains("/.tvl-tunnel-")) << folder.toStdString();
  struct stat folderStat {};
  ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &folderStat), 0);
  EXPECT_EQ(folderStat.st_mode & 07777, 0700u);
  QProcess ss;
  ss.start("ss", {"-Hltnup"});
  ss.waitForFinished();
  EXPECT_FALSE(QString::fromUtf8(ss.readAll()).contains("pid=" + pid + ","));
  // The password's file does not outlive the server's start.
  EXPECT_FALSE(QFile::exists(folder + "/vnc.pw"));
  // The route exchanges no clipboard, and the sharing window's box says so.
  EXPECT_EQ(session.clipboardControl(), session::SharingServer::Clipboard::Never);

  // A client that sent part of its handshake and then waits keeps nobody out: the
  // session's gate passes the handshake on in whole messages.
  QProcess slow;
  slow.start("/usr/bin/python3", {"-c",
                                  "import socket, sys, time\n"
                                  "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
                                  "s.recv(12)\n"
                                  "s.sendall(b'RFB 003.0')\n"
                                  "time.sleep(60)\n",
                                  QString::number(session.relayPort())});
  ASSERT_TRUE(slow.waitForStarted());
  QTest::qWait(1000);

  // The supporter, through the relay: both outputs in one picture, a click into the field,
  // typed text.
  QFile password(work.filePath("secret"));
  ASSERT_TRUE(password.open(QIODevice::WriteOnly));
  password.write(secret.toUtf8() + "\n");
  password.close();
  const QString server = QString("localhost:%1").arg(session.relayPort());
  const QStringList credential = {"--password-file", password.fileName()};
  QProcess supporter;
  supporter.start(kVncClient, QStringList{server} + credential +
                                  QStringList{"--picture", work.filePath("frame.ppm"), "--click",
                                              "640", "272", "--type", "hello vnc", "--stay", "1"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return joined.size() == 1; }, 10000))
      << supporter.readAll().toStdString();
  EXPECT_EQ(session.state(), State::Connected);
  ASSERT_TRUE(QTest::qWaitFor([&] { return supporter.state() == QProcess::NotRunning; }, 15000));
  EXPECT_EQ(supporter.exitCode(), 0) << supporter.readAll().toStdString();
  int width = 0, height = 0;
  EXPECT_TRUE(near(ppmPixel(work.filePath("frame.ppm"), 640, 400, &width, &height), kProbe));
  EXPECT_TRUE(near(ppmPixel(work.filePath("frame.ppm"), 1280 + 512, 384, &width, &height),
                   kSecondWallpaper));
  EXPECT_EQ(width, 2304);
  EXPECT_EQ(height, 800);
  EXPECT_TRUE(QTest::qWaitFor([&] { return left.size() == 1; }, 5000));
  EXPECT_EQ(session.state(), State::Waiting);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return readAll(work.filePath("window.log")).contains("text hello vnc\n"); }, 3000))
      << readAll(work.filePath("window.log")).toStdString();
  EXPECT_TRUE(readAll(work.filePath("window.log")).contains("press\n"));

  // Another password is refused, and nobody is announced.
  QFile wrong(work.filePath("wrong"));
  ASSERT_TRUE(wrong.open(QIODevice::WriteOnly));
  wrong.write("k3mnpq7s\n");
  wrong.close();
  QStringList wrongCredential = credential;
  wrongCredential.last() = wrong.fileName();
  QProcess intruder;
  intruder.start(kVncClient, QStringList{server} + wrongCredential + QStringList{"--stay", "1"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return intruder.state() == QProcess::NotRunning; }, 15000));
  EXPECT_EQ(intruder.exitCode(), 1);
  QTest::qWait(300);
  EXPECT_EQ(joined.size(), 1);

  slow.kill();
  slow.waitForFinished();

  // Stopping ends the server and removes the folder.
  session.stop(session::Problem::UserStopped);
  EXPECT_TRUE(testsupport::processesNamed("OSXvncserver").isEmpty());
  EXPECT_FALSE(QFileInfo::exists(folder));
  window.terminate();
  window.waitForFinished();
}
