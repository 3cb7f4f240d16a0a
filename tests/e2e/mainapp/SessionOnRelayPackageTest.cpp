// Mac Tovalo's session against relays made from the relay package (with-relay-package), with
// the supporter's console: with the first relay down, a session started here registers a
// key of its own on the second, its code names that relay, `tovalo-support connect` reaches
// the screen by that code, a dropped connection comes back on the same port with the same
// key, and the console's `end` ends the session in words at once (not first as a lost
// connection). x11vnc on a private Xvfb (with-xvfb-monitors). The assembled
// program, links and Stop: tests/e2e/product/relay-package-session.
#include <gtest/gtest.h>

#include <cstdio>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
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

class RelayPackageSession : public ::testing::Test {
 protected:
  // The files of the relay's folder, with the relay renamed "b" and, for the desktop, a
  // first relay before it that is down (nothing listens on its port).
  void SetUp() override {
    const QString dir = qEnvironmentVariable("TVL_RELAY_DIR");
    const QByteArray section = read(dir + "/relay.conf");
    write(home.filePath("relay.conf"), QByteArray(section).replace("port=22\n", "port=2\n") +
                                           QByteArray(section).replace("[relay]", "[relay.b]"));
    relays = mainapp::loadRelayList({home.filePath("relay.conf")}).relays;
    ASSERT_EQ(relays.size(), 2);
    ASSERT_TRUE(QDir().mkpath(home.filePath("config/tovalo")));
    write(home.filePath("config/tovalo/support.conf"),
          read(dir + "/support.conf").replace("[relay]", "[relay.b]"));
    ASSERT_EQ(QProcess::execute("xsetroot", {"-solid", "#3366cc"}), 0);
  }
  static QByteArray read(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return f.readAll();
  }
  static void write(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(bytes);
  }

  // The console with the supporter's settings, its exit status and output; the session's
  // own objects go on handling events meanwhile.
  std::pair<int, QString> console(const QStringList& arguments) {
    QProcess p;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_STATE_HOME", home.filePath("state"));
    env.insert("XDG_RUNTIME_DIR", home.path());
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(TOVALO_SUPPORT, arguments);
    if (!waitFor([&] { return p.state() == QProcess::NotRunning; }, 60000)) {
      p.kill();
      p.waitForFinished();
      return {-1, QString::fromUtf8(p.readAll())};
    }
    return {p.exitCode(), QString::fromUtf8(p.readAll())};
  }

  QTemporaryDir home;
  QList<mainapp::RelaySettings> relays;
};

TEST_F(RelayPackageSession, RegisteredOnTheRelayThatAnswersReachedByItsCodeEndedThereInWords) {
  SupportSession session;
  std::vector<State> states;
  QObject::connect(&session, &SupportSession::stateChanged,
                   [&] { states.push_back(session.state()); });
  session.start(relays, {"k3mnpq7r", 0, true});
  waitFor([&] { return session.state() == State::Waiting || session.state() == State::Ended; },
          30000);
  ASSERT_EQ(session.state(), State::Waiting) << session.stateText().toStdString();
  const QString port = QString::number(session.relayPort());
  EXPECT_EQ(session.sessionCode(), "b-" + port + "-k3mnpq7r");
  // The session's own key holds the port, as a session started at a desktop.
  const auto listed = console({"list"});
  EXPECT_TRUE(listed.second.contains(port + "\tdesk\t")) << listed.second.toStdString();

  // The supporter's picture, by the code the user reads out.
  const QString shot = home.filePath("shot.ppm");
  const auto connected = console({"connect", session.sessionCode(), "--viewer",
                                  "vncsnapshot -quiet -encodings zlib -passwd {passwd} "
                                  "{address} " +
                                      shot});
  ASSERT_EQ(connected.first, 0) << connected.second.toStdString();
  QProcess colour;
  colour.start("convert", {shot, "-format", "%[pixel:p{10,10}]", "info:"});
  colour.waitForFinished();
  EXPECT_EQ(colour.readAll(), "srgb(51,102,204)");

  // A drop (the tunnel's TCP connection reset): back on the same port with the same key.
  ASSERT_EQ(QProcess::execute("ss", {"-K", "dst", "127.0.0.1", "dport", "=", "22"}), 0);
  ASSERT_TRUE(waitFor([&] { return session.state() == State::Reconnecting; }, 10000))
      << session.stateText().toStdString();
  ASSERT_TRUE(waitFor([&] { return session.state() == State::Waiting; }, 30000))
      << session.stateText().toStdString();
  EXPECT_EQ(QString::number(session.relayPort()), port);
  states.clear();

  QElapsedTimer sinceEnd;
  sinceEnd.start();
  ASSERT_EQ(console({"end", "b-" + port}).first, 0);
  ASSERT_TRUE(waitFor([&] { return session.state() == State::Ended; }, 15000))
      << session.stateText().toStdString();
  std::printf("the console's end -> the session's words: %lld ms\n",
              static_cast<long long>(sinceEnd.elapsed()));
  EXPECT_EQ(session.endCause().problem, Problem::EndedOnRelay);
  EXPECT_TRUE(session.stateText().contains("ended on the relay"))
      << session.stateText().toStdString();
  EXPECT_EQ(std::count(states.begin(), states.end(), State::Reconnecting), 0);
  // ssh's own words are kept for a problem report.
  EXPECT_EQ(session.recentLog().filter("ssh: Connection to").size(), 1)
      << session.recentLog().join('\n').toStdString();
}

}  // namespace
