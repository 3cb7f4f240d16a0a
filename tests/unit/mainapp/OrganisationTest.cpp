// The user's side of the organisation's relays: the list of relays, how a request to one
// ended, a link's credential, and the problem reports' text, preference and queue.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "mainapp/LinkCredential.h"
#include "mainapp/ProblemReports.h"
#include "mainapp/RelayRequest.h"
#include "mainapp/RelaySettings.h"

using namespace tvl;
using namespace tvl::mainapp;

namespace {

constexpr char kKey[] = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIHXbqAn1C3FYWi+E0E6WbVn8sX5Xb0QW";

QString write(const QTemporaryDir& dir, const QString& name, const QByteArray& text) {
  QFile f(dir.path() + "/" + name);
  EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(text);
  return f.fileName();
}

}  // namespace

TEST(RelayList, TheDefaultRelayFirstThenTheNamedOnesEachCheckedAlone) {
  QTemporaryDir dir;
  QByteArray relay = QByteArray("host=%1\nuser=tvlrelay\nhostkey=") + kKey + "\n";
  QString system = write(dir, "system.conf",
                         "[relay.zz]\n" + relay.replace("%1", "z.example.org") +
                             "[relay]\nhost=a.example.org\nuser=tvlrelay\nhostkey=" + kKey +
                             "\n[relay.b]\nhost=b.example.org\nuser=tvlrelay\nhostkey=" + kKey +
                             "\n[relay.Bad]\nhost=x\n[relay.c]\nhost=c d\n");
  QString user = write(dir, "user.conf", "[relay.b]\nport=2222\n");
  RelayListResult r = loadRelayList({system, user});
  ASSERT_EQ(r.relays.size(), 3);
  EXPECT_EQ(r.relays[0].name, "");
  EXPECT_EQ(r.relays[0].host, "a.example.org");
  EXPECT_EQ(r.relays[1].name, "b");
  EXPECT_EQ(r.relays[1].port, 2222);
  EXPECT_EQ(r.relays[2].name, "zz");
  // The section whose host would break ssh's configuration is left out, and said.
  EXPECT_NE(r.error.indexOf("host"), -1) << r.error.toStdString();
  EXPECT_NE(loadRelayList({dir.path() + "/missing"}).error.indexOf("No support relay"), -1);
}

TEST(RelayRequest, WhatAnSshRunsEndMeansForTheNextTry) {
  struct Case {
    int status;
    const char* errors;
    RelayAnswer answer;
  } cases[] = {
      {0, "", RelayAnswer::Answered},
      {1, "refused: too many requests; try again in a minute\n", RelayAnswer::Refused},
      {255, "tvlrelay@127.0.0.1: Permission denied (publickey).\n", RelayAnswer::Refused},
      {255, "Host key verification failed.\n", RelayAnswer::Refused},
      {255, "ssh: connect to host 127.0.0.1 port 2: Connection refused\n",
       RelayAnswer::Unreachable},
      {255, "ssh: connect to host 10.9.9.2 port 22: Connection timed out\n",
       RelayAnswer::Unreachable},
      // What sshd's MaxStartups does to a connection it drops.
      {255, "kex_exchange_identification: read: Connection reset by peer\n", RelayAnswer::Dropped},
      {255, "kex_exchange_identification: Connection closed by remote host\n",
       RelayAnswer::Dropped},
  };
  for (auto& c : cases) EXPECT_EQ(classifyRelayAnswer(c.status, c.errors), c.answer) << c.errors;
}

TEST(LinkCredential, TheLinksKeyBecomesOneSshReads) {
  const QString scalar =
      QByteArray(32, '\x11')
          .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
  auto c = parseLinkSecret("b.kq7m3xpa." + scalar);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->relay, "b");
  EXPECT_EQ(c->password, "kq7m3xpa");
  QTemporaryDir dir;
  QString key = write(dir, "key", c->privateKey);
  QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner);
  QProcess keygen;
  keygen.start("ssh-keygen", {"-y", "-f", key});
  ASSERT_TRUE(keygen.waitForFinished());
  EXPECT_TRUE(keygen.readAllStandardOutput().startsWith("ecdsa-sha2-nistp256 "));
  EXPECT_TRUE(parseLinkSecret("kq7m3xpa." + scalar));
  for (QString bad : {QString("kq7m3xpa"), "kq7m3xpa." + scalar.left(42), "B.kq7m3xpa." + scalar,
                      "kq7m3xp1." + scalar, "a.b.kq7m3xpa." + scalar})
    EXPECT_FALSE(parseLinkSecret(bad)) << bad.toStdString();
  EXPECT_EQ(grantedPort("port=40211 connect-by=1 minutes=30\n"), 40211);
  EXPECT_EQ(grantedPort("port=80 connect-by=1\n"), 0);
  EXPECT_EQ(grantedPort("refused: full\n"), 0);
  EXPECT_EQ(sessionCodeFor("b", 40211, "kq7m3xpa"), "b-40211-kq7m3xpa");
  EXPECT_EQ(sessionCodeFor("", 40211, "kq7m3xpa"), "40211-kq7m3xpa");
}

TEST(ProblemReports, NoSecretBoundedAndOnlyWhenTheUserAllows) {
  ReportFacts facts{"Mac Tovalo 1.0.0",
                    "X11 (XFCE)",
                    "x11vnc",
                    "The connection to the relay was lost.",
                    {"ssh: session kq7m3xpa on 40211", "x11vnc: \x1b]0;title\x07 gone"},
                    {"kq7m3xpa", "40211-kq7m3xpa"}};
  QString text = composeReport(facts);
  EXPECT_EQ(text.indexOf("kq7m3xpa"), -1) << text.toStdString();
  EXPECT_NE(text.indexOf("failure: The connection to the relay was lost."), -1);
  EXPECT_NE(text.indexOf("x11vnc: ?]0;title? gone"), -1);
  for (int i = 0; i < 2000; ++i) facts.logLines << QString("line %1 ").arg(i).repeated(5);
  text = composeReport(facts);
  EXPECT_LE(text.toUtf8().size(), kReportBytes);
  EXPECT_NE(text.indexOf("line 1999"), -1);  // the newest lines are the ones kept

  QTemporaryDir dir;
  auto prefs = [&](const char* value) {
    return write(dir, "prefs.plist",
                 QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>") + value +
                     "</dict></plist>");
  };
  EXPECT_TRUE(problemReportsEnabled(dir.path() + "/none.plist"));
  EXPECT_TRUE(problemReportsEnabled(prefs("<key>probreport</key><string>1</string>")));
  EXPECT_FALSE(problemReportsEnabled(prefs("<key>probreport</key><string>0</string>")));
  EXPECT_FALSE(problemReportsEnabled(prefs("<key>probreport</key><string>yes</string>")));
  EXPECT_TRUE(problemReportsEnabled(prefs("<key>maxtime</key><string>30</string>")));

  ReportQueue queue(dir.path() + "/queue");
  for (int i = 0; i < kReportsQueued + 5; ++i) ASSERT_TRUE(queue.add(QString("report %1").arg(i)));
  QStringList waiting = queue.pending();
  ASSERT_EQ(waiting.size(), kReportsQueued);
  QFile newest(waiting.last());
  ASSERT_TRUE(newest.open(QIODevice::ReadOnly));
  EXPECT_EQ(newest.readAll(), QString("report %1").arg(kReportsQueued + 4).toUtf8());
  EXPECT_EQ(QFileInfo(dir.path() + "/queue").permissions() & (QFile::ReadGroup | QFile::ReadOther),
            0);
}
