// A support session on an X11 desktop, end to end on real parts: x11vnc as "OSXvncserver"
// on a private Xvfb (tests/support/with-xvfb-monitors), the OpenSSH relay in a network of
// its own joined by a link the test can cut (with-relay --own-network), and the supporter's
// viewer (tvl-vnc-client) on the relay's side of the tunnel, as a supporter's viewer is at
// the end of theirs.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "mainapp/RelaySettings.h"
#include "mainapp/session/SupportSession.h"
#include "platform/ui/ManualClock.h"
#include "support/Polling.h"

using namespace tvl;

namespace {

using session::State;
using session::SupportSession;
using testsupport::waitFor;

const QString kVncClient =
    qEnvironmentVariable("TVL_BUILD_DIR") + "/tests/support/vncclient/tvl-vnc-client";
constexpr char kSecret[] = "k3mnpq7r";

class X11Session : public ::testing::Test {
 protected:
  void SetUp() override {
    auto loaded =
        mainapp::loadRelaySettings({qEnvironmentVariable("TVL_RELAY_DIR") + "/relay.conf"});
    ASSERT_TRUE(loaded.error.isEmpty()) << loaded.error.toStdString();
    relay = loaded.settings;
    // Something on the screen: the viewer takes an all-black picture for none yet.
    ASSERT_EQ(QProcess::execute("xsetroot", {"-solid", "#3366cc"}), 0);
    QFile password(work.filePath("secret"));
    ASSERT_TRUE(password.open(QIODevice::WriteOnly));
    password.write(QByteArray(kSecret) + "\n");
  }

  // Starts a session and waits until the relay's port is open.
  void startIn(SupportSession& session, int lengthMinutes = 30) {
    session.start(relay, {kSecret, 0, true, lengthMinutes});
    ASSERT_TRUE(waitFor(
        [&] { return session.state() == State::Waiting || session.state() == State::Ended; },
        20000));
    ASSERT_EQ(session.state(), State::Waiting) << session.stateText().toStdString();
  }

  // The supporter's viewer, on the relay, at the session's port.
  std::unique_ptr<QProcess> startViewer(int port, const QStringList& options) {
    auto viewer = std::make_unique<QProcess>();
    viewer->setProcessChannelMode(QProcess::MergedChannels);
    viewer->start("nsenter", QStringList{"--net=" + qEnvironmentVariable("TVL_RELAY_NETNS"),
                                         kVncClient, QString("localhost:%1").arg(port),
                                         "--password-file", work.filePath("secret")} +
                                 options);
    return viewer;
  }
  // Its exit status (-1: still running after the limit, then killed) and output.
  struct Viewer {
    int status = -1;
    QString output;
  };
  static Viewer finish(QProcess& viewer, int limitMs = 20000) {
    // The session's own objects (and this program's clipboard) go on handling events.
    waitFor([&] { return viewer.state() == QProcess::NotRunning; }, limitMs);
    const bool ended = viewer.state() == QProcess::NotRunning;
    if (!ended) {
      viewer.kill();
      viewer.waitForFinished();
    }
    return {ended ? viewer.exitCode() : -1, QString::fromUtf8(viewer.readAll())};
  }
  Viewer view(int port, const QStringList& options, int limitMs = 20000) {
    return finish(*startViewer(port, options), limitMs);
  }

  static void setRelayLink(bool up) {
    ASSERT_EQ(QProcess::execute("ip", {"link", "set", qEnvironmentVariable("TVL_RELAY_LINK"),
                                       up ? "up" : "down"}),
              0);
  }

  QTemporaryDir work;
  mainapp::RelaySettings relay;
};

TEST_F(X11Session, ComesBackOnTheSamePortAfterTheRelaysNetworkWasGoneFor20Seconds) {
  SupportSession session;
  startIn(session);
  const int port = session.relayPort();
  EXPECT_EQ(view(port, {"--picture", work.filePath("before.ppm")}).status, 0);

  setRelayLink(false);
  QElapsedTimer cut;
  cut.start();
  ASSERT_TRUE(waitFor([&] { return session.state() == State::Reconnecting; }, 25000))
      << session.stateText().toStdString();
  EXPECT_EQ(session.stateText(), "Reconnecting to the support relay…");
  // The code stays: the supporter comes back to the same port.
  EXPECT_EQ(session.sessionCode(), QString("%1-%2").arg(port).arg(kSecret));
  waitFor([] { return false; }, int(std::max<qint64>(20000 - cut.elapsed(), 0)));
  setRelayLink(true);
  QElapsedTimer back;
  back.start();

  ASSERT_TRUE(waitFor([&] { return session.state() != State::Reconnecting; }, 40000))
      << session.stateText().toStdString();
  ASSERT_EQ(session.state(), State::Waiting) << session.stateText().toStdString();
  EXPECT_EQ(session.relayPort(), port);
  const qint64 tunnelBack = back.elapsed();
  const Viewer again = view(port, {"--picture", work.filePath("after.ppm")});
  EXPECT_EQ(again.status, 0) << again.output.toStdString();
  std::printf("network back -> tunnel up: %lld ms, -> the supporter's picture: %lld ms\n",
              static_cast<long long>(tunnelBack), static_cast<long long>(back.elapsed()));
}

TEST_F(X11Session, EndsWhenItsLengthRunsOutUnlessTheUserKeepsSharing) {
  ui::ManualClock clock;
  SupportSession session(clock);
  QSignalSpy endingSoon(&session, &SupportSession::endingSoon);
  QSignalSpy ended(&session, &SupportSession::ended);
  startIn(session, 2);
  const QString folder = session.folder();

  clock.advance(59);
  EXPECT_EQ(endingSoon.size(), 0);
  clock.advance(1);  // one minute left
  ASSERT_EQ(endingSoon.size(), 1);
  EXPECT_TRUE(session.stateText().contains("Sharing ends in a minute"));
  session.keepSharing();  // another two minutes from now
  EXPECT_FALSE(session.endsSoon());
  clock.advance(119);
  EXPECT_EQ(endingSoon.size(), 2);
  EXPECT_EQ(session.state(), State::Waiting);
  clock.advance(1);
  ASSERT_EQ(ended.size(), 1);
  EXPECT_EQ(ended.first().first().toString(), "The session's time is up.");
  EXPECT_EQ(session.state(), State::Ended);
  EXPECT_FALSE(QFileInfo::exists(folder));
}

TEST_F(X11Session, ASlowClientKeepsNoOtherSupporterOut) {
  SupportSession session;
  startIn(session);
  // Part of the handshake, then one byte every 15 s: x11vnc, reading a client's message
  // whole, would wait for it and for nobody else.
  QProcess slow;
  slow.start("nsenter",
             {"--net=" + qEnvironmentVariable("TVL_RELAY_NETNS"), "/usr/bin/python3", "-c",
              "import socket, sys, time\n"
              "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
              "s.recv(12)\n"
              "s.sendall(b'RFB 003.0')\n"
              "for b in b'08\\n':\n"
              "    time.sleep(15)\n"
              "    s.sendall(bytes([b]))\n",
              QString::number(session.relayPort())});
  ASSERT_TRUE(slow.waitForStarted());
  QTest::qWait(1500);
  QElapsedTimer timer;
  timer.start();
  const Viewer supporter = view(session.relayPort(), {"--picture", work.filePath("p.ppm")}, 12000);
  EXPECT_EQ(supporter.status, 0) << supporter.output.toStdString();
  std::printf("a supporter beside a slow client: picture after %lld ms\n",
              static_cast<long long>(timer.elapsed()));
  slow.kill();
  slow.waitForFinished();
}

TEST_F(X11Session, TheClipboardIsSharedOnlyOnceTheUserChoseIt) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  SupportSession session;
  startIn(session);
  ASSERT_EQ(session.clipboardControl(), session::SharingServer::Clipboard::Switchable);
  const int port = session.relayPort();
  // A supporter stays connected while the user copies something (x11vnc sends the user's
  // clipboard from 15 s after the last supporter came), then a supporter sends theirs.
  auto exchange = [&](const QString& copied) {
    auto watching = startViewer(port, {"--stay", "19"});
    EXPECT_TRUE(waitFor([&] { return session.state() == State::Connected; }, 10000));
    waitFor([] { return false; }, 16500);
    clipboard->setText(copied);
    const QString seen = finish(*watching, 30000).output;
    const Viewer sent = view(port, {"--send-clipboard", "theirs " + copied, "--stay", "1"});
    EXPECT_EQ(sent.status, 0) << sent.output.toStdString();
    return seen;
  };

  EXPECT_FALSE(exchange("a password").contains("clipboard ")) << "shared before the user chose";
  QTest::qWait(500);
  EXPECT_EQ(clipboard->text(), "a password");

  session.shareClipboard(true);
  EXPECT_TRUE(session.clipboardShared());
  const QString seen = exchange("a note");
  EXPECT_TRUE(seen.contains("clipboard a note")) << seen.toStdString();
  EXPECT_TRUE(waitFor([&] { return clipboard->text() == "theirs a note"; }, 5000))
      << clipboard->text().toStdString();
}

}  // namespace
