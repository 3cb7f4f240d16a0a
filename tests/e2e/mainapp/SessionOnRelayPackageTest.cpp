// Mac Tovalo's session against a relay made from the relay package (with-relay-package), with
// the supporter's console: a session started here registers a key of its own and is reached
// by `tovalo-support connect` with its code; `end` on the console reaches the session in
// words. A link prepared by the console opens, Stop ends it on the relay, and the used link
// is refused in words. x11vnc on a private Xvfb (with-xvfb-monitors).
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "mainapp/RelaySettings.h"
#include "mainapp/session/SupportSession.h"
#include "support/Polling.h"

using namespace tvl;

namespace {

using session::Problem;
using session::State;
using session::SupportSession;
using testsupport::waitFor;

struct Outcome {
  int status = -1;
  QString output;
};

class RelayPackageSession : public ::testing::Test {
 protected:
  void SetUp() override {
    auto loaded = mainapp::loadRelayList({relayDir() + "/relay.conf"});
    ASSERT_FALSE(loaded.relays.isEmpty()) << loaded.error.toStdString();
    relays = loaded.relays;
    ASSERT_TRUE(relays.front().registers);
    ASSERT_TRUE(QDir().mkpath(home.filePath("config/tovalo")));
    ASSERT_TRUE(
        QFile::copy(relayDir() + "/support.conf", home.filePath("config/tovalo/support.conf")));
    ASSERT_EQ(QProcess::execute("xsetroot", {"-solid", "#3366cc"}), 0);
  }

  static QString relayDir() { return qEnvironmentVariable("TVL_RELAY_DIR"); }

  // The console, with the supporter's settings; the session's own objects go on handling
  // events meanwhile.
  Outcome console(const QStringList& arguments) {
    QProcess p;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_STATE_HOME", home.filePath("state"));
    env.insert("XDG_RUNTIME_DIR", home.path());
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(TOVALO_SUPPORT, arguments);
    waitFor([&] { return p.state() == QProcess::NotRunning; }, 60000);
    if (p.state() != QProcess::NotRunning) {
      p.kill();
      p.waitForFinished();
      return {-1, QString::fromUtf8(p.readAll())};
    }
    return {p.exitCode(), QString::fromUtf8(p.readAll())};
  }

  // The supporter's first picture through `connect CODE`: the colour of the user's screen.
  QString pictureThrough(const QString& code) {
    const QString shot = home.filePath("shot.ppm");
    QFile::remove(shot);
    Outcome r = console({"connect", code, "--viewer",
                         "vncsnapshot -quiet -encodings zlib -passwd {passwd} {address} " + shot});
    if (r.status != 0) return "connect: " + r.output;
    QProcess convert;
    convert.start("convert", {shot, "-format", "%[pixel:p{10,10}]", "info:"});
    convert.waitForFinished();
    return QString::fromUtf8(convert.readAll());
  }

  bool listed(int port) {
    return console({"list"}).output.contains(QRegularExpression(QString("\\b%1\\t").arg(port)));
  }

  static void waitUntilUpOrEnded(SupportSession& session) {
    waitFor([&] { return session.state() == State::Waiting || session.state() == State::Ended; },
            30000);
  }

  QTemporaryDir home;
  QList<mainapp::RelaySettings> relays;
};

TEST_F(RelayPackageSession, ARegisteredSessionIsReachedByTheConsoleAndEndedFromItInWords) {
  // Two relays: the first is down (nothing listens on its port), the session goes to the
  // second, and its code names it for the console.
  QFile real(relayDir() + "/relay.conf");
  ASSERT_TRUE(real.open(QIODevice::ReadOnly));
  const QByteArray section = real.readAll();
  const QString twoRelays = home.filePath("relay.conf");
  QFile both(twoRelays);
  ASSERT_TRUE(both.open(QIODevice::WriteOnly));
  both.write(QByteArray(section).replace("port=22\n", "port=2\n") +
             QByteArray(section).replace("[relay]", "[relay.b]"));
  both.close();
  relays = mainapp::loadRelayList({twoRelays}).relays;
  ASSERT_EQ(relays.size(), 2);
  QFile console(home.filePath("config/tovalo/support.conf"));
  ASSERT_TRUE(console.open(QIODevice::ReadWrite));
  const QByteArray consoleSettings = console.readAll().replace("[relay]", "[relay.b]");
  console.resize(0);
  console.write(consoleSettings);
  console.close();

  SupportSession session;
  std::vector<State> states;
  QObject::connect(&session, &SupportSession::stateChanged,
                   [&] { states.push_back(session.state()); });
  session.start(relays, {"k3mnpq7r", 0, true});
  waitUntilUpOrEnded(session);
  ASSERT_EQ(session.state(), State::Waiting) << session.stateText().toStdString();
  const int port = session.relayPort();
  EXPECT_EQ(session.sessionCode(), QString("b-%1-k3mnpq7r").arg(port));
  // The organisation's key bound nothing: the session's own key holds the port.
  const Outcome listed = this->console({"list"});
  EXPECT_TRUE(listed.output.contains(QString("%1\tdesk\t").arg(port)))
      << listed.output.toStdString();

  EXPECT_EQ(pictureThrough(session.sessionCode()), "srgb(51,102,204)");

  ASSERT_EQ(this->console({"end", "b-" + QString::number(port)}).status, 0);
  ASSERT_TRUE(waitFor([&] { return session.state() == State::Ended; }, 15000))
      << session.stateText().toStdString();
  EXPECT_EQ(session.endCause().problem, Problem::EndedOnRelay);
  EXPECT_TRUE(session.stateText().contains("ended on the relay"))
      << session.stateText().toStdString();
  // Told at once, not first as a lost connection.
  EXPECT_EQ(std::count(states.begin(), states.end(), State::Reconnecting), 0);
}

TEST_F(RelayPackageSession, ALinkOpensStopEndsItOnTheRelayAndTheUsedLinkIsRefusedInWords) {
  Outcome prepared = console({"prepare", "--minutes", "20", "--hours", "1"});
  ASSERT_EQ(prepared.status, 0) << prepared.output.toStdString();
  auto m = QRegularExpression(R"(tovalo:x:([^:\s]+):(\d+))").match(prepared.output);
  ASSERT_TRUE(m.hasMatch()) << prepared.output.toStdString();
  const QString secret = m.captured(1);
  const int port = m.captured(2).toInt();

  {
    SupportSession session;
    session.start(relays, {secret, port, false});
    waitUntilUpOrEnded(session);
    ASSERT_EQ(session.state(), State::Waiting) << session.stateText().toStdString();
    EXPECT_EQ(session.relayPort(), port);
    EXPECT_EQ(pictureThrough(QString::number(port)), "srgb(51,102,204)");
    session.stop(Problem::UserStopped);
    // Stop ends the session on the relay too.
    EXPECT_TRUE(waitFor([&] { return !listed(port); }, 15000));
  }

  SupportSession again;
  again.start(relays, {secret, port, false});
  ASSERT_TRUE(waitFor([&] { return again.state() == State::Ended; }, 30000))
      << again.stateText().toStdString();
  EXPECT_EQ(again.endCause().problem, Problem::LinkRefused);
  EXPECT_TRUE(again.stateText().contains("expired or was already used"))
      << again.stateText().toStdString();
  // ssh's own words, for a problem report.
  EXPECT_TRUE(again.recentLog().filter(QRegularExpression("^ssh: .*Permission denied")).size() == 1)
      << again.recentLog().join('\n').toStdString();
}

}  // namespace
