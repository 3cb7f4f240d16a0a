// Mac Tovalo's requests to the organisation's relays, against a relay made from the
// tovalo-relay package (tests/support/with-relay-package): a registration that the second
// relay answers while the first is down, and problem reports that arrive when the user
// allows them, wait on disk while no relay answers, and never leave when the user does not.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "e2e/relay/RelayHarness.h"
#include "mainapp/LinkCredential.h"
#include "mainapp/ProblemReports.h"
#include "mainapp/RelayRequest.h"
#include "support/Polling.h"

using namespace tvl;
using namespace tvl::mainapp;

namespace {

class Organisation : public ::testing::Test {
 protected:
  Organisation() {
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(dir_.path() + "/system"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.path() + "/user"));
    QByteArray relay =
        QByteArray::fromStdString(testsupport::readFile(relaytest::relayDir() / "relay.conf"));
    // The first relay is down (nothing listens on its port); the second is the real one.
    setRelays(
        "[relay]\nhost=127.0.0.1\nport=2\nuser=tvlrelay\nhostkey=ssh-ed25519 AAAA\n"
        "identity=" +
        QByteArray::fromStdString(client_.organisationKey()) + "\n" +
        relay.replace("[relay]", "[relay.b]"));
  }
  void setRelays(const QByteArray& text) {
    QDir().mkpath(dir_.path() + "/system/tovalo");
    QFile f(dir_.path() + "/system/tovalo/relay.conf");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
  }
  void setPreference(const char* value) {
    QFile f(prefs());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>probreport</key>"
                       "<string>") +
            value + "</string></dict></plist>");
  }
  QString prefs() const { return dir_.path() + "/prefs.plist"; }
  QString queue() const { return dir_.path() + "/reports"; }
  std::string reportsOnRelay() {
    return client_.ask(client_.supporterKey(), "tvlsupport", "reports 100").output;
  }

  QTemporaryDir dir_;
  relaytest::RelayClient client_;
};

ReportFacts failedSession() {
  return {"Mac Tovalo 1.0.0",
          "X11",
          "x11vnc",
          "The connection to the relay was lost.",
          {"ssh: Timeout, server not responding.", "session secret kq7m3xpa"},
          {"kq7m3xpa"}};
}

}  // namespace

TEST_F(Organisation, TheSecondRelayTakesOverWhileTheFirstIsDown) {
  std::string key = client_.newKey("session");
  RelayRequest request;
  QSignalSpy done(&request, &RelayRequest::finished);
  request.start(loadRelayList().relays, "register 30",
                QByteArray::fromStdString(testsupport::readFile(key + ".pub")));
  ASSERT_TRUE(testsupport::waitFor([&] { return done.count() == 1; }, 30000));
  auto outcome = done.at(0).at(0).value<RelayRequest::Outcome>();
  ASSERT_TRUE(outcome.ok) << outcome.failure.toStdString();
  EXPECT_EQ(outcome.relayName, "b");
  EXPECT_GE(grantedPort(outcome.answer), 40000) << outcome.answer.toStdString();
}

TEST_F(Organisation, AFailedSessionsReportArrivesWhenTheUserAllowsIt) {
  setPreference("1");
  ProblemReporter reporter(prefs(), queue());
  QSignalSpy sent(&reporter, &ProblemReporter::sent);
  reporter.report(failedSession());
  ASSERT_TRUE(testsupport::waitFor([&] { return sent.count() == 1; }, 30000));
  EXPECT_EQ(sent.at(0).at(0).toString(), "b");
  std::string reports = reportsOnRelay();
  EXPECT_NE(reports.find("failure: The connection to the relay was lost."), std::string::npos)
      << reports;
  EXPECT_NE(reports.find("ssh: Timeout, server not responding."), std::string::npos);
  EXPECT_EQ(reports.find("kq7m3xpa"), std::string::npos);
  EXPECT_TRUE(QDir(queue()).entryList(QDir::Files).isEmpty());

  // No relay answers: the report waits on disk, and goes with the next try.
  setRelays(
      "[relay]\nhost=127.0.0.1\nport=2\nuser=tvlrelay\nhostkey=ssh-ed25519 AAAA\n"
      "identity=" +
      QByteArray::fromStdString(client_.organisationKey()) + "\n");
  QSignalSpy notSent(&reporter, &ProblemReporter::notSent);
  ReportFacts second = failedSession();
  second.failure = "The screen-sharing server stopped.";
  reporter.report(second);
  ASSERT_TRUE(testsupport::waitFor([&] { return notSent.count() == 1; }, 30000));
  EXPECT_EQ(QDir(queue()).entryList(QDir::Files).size(), 1);
  setRelays(QByteArray::fromStdString(testsupport::readFile(relaytest::relayDir() / "relay.conf")));
  reporter.sendPending();
  ASSERT_TRUE(testsupport::waitFor([&] { return sent.count() == 2; }, 30000));
  EXPECT_NE(reportsOnRelay().find("failure: The screen-sharing server stopped."),
            std::string::npos);
}

TEST_F(Organisation, NothingLeavesWhenTheUserSaidNo) {
  setPreference("0");
  std::string before = reportsOnRelay();
  ProblemReporter reporter(prefs(), queue());
  QSignalSpy sent(&reporter, &ProblemReporter::sent);
  QSignalSpy notSent(&reporter, &ProblemReporter::notSent);
  ReportFacts facts = failedSession();
  facts.failure = "A failure nobody may read.";
  reporter.report(facts);
  testsupport::waitFor([&] { return sent.count() + notSent.count() > 0; }, 3000);
  EXPECT_EQ(sent.count() + notSent.count(), 0);
  EXPECT_FALSE(QDir(queue()).exists() && !QDir(queue()).entryList(QDir::Files).isEmpty());
  EXPECT_EQ(reportsOnRelay(), before);
}
