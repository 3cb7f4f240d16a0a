// The session's inputs that end up in an ssh configuration or decide what the user reads:
// the organisation's settings, a link's fields.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "mainapp/MainApplication.h"
#include "mainapp/RelaySettings.h"
#include "mainapp/session/SupportSession.h"
#include "mainapp/session/Tunnel.h"

using namespace tvl;

namespace {

using mainapp::loadRelaySettings;

constexpr char kKey[] = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIHXbqAn1C3FYWi+E0E6WbVn8sX5Xb0QW";

struct Files {
  QTemporaryDir dir;
  QString write(const QString& name, const QByteArray& text) {
    QString path = dir.path() + "/" + name;
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
    return path;
  }
};

TEST(RelaySettings, UserFileOverridesTheSystemFileKeyByKey) {
  Files f;
  QString system = f.write("system.conf", QByteArray("[relay]\nhost=relay.example.org\nport=2222\n"
                                                     "user=tvlrelay\nhostkey=") +
                                              kKey + "\n");
  QString user = f.write("user.conf", "[relay]\nport=22022\nconnecttimeout=3\nlogin=forward\n");
  auto r = loadRelaySettings({system, f.dir.path() + "/missing.conf", user});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.settings.host, "relay.example.org");
  EXPECT_EQ(r.settings.port, 22022);
  EXPECT_EQ(r.settings.user, "tvlrelay");
  EXPECT_EQ(r.settings.hostKey, kKey);
  EXPECT_EQ(r.settings.connectTimeout, 3);
  EXPECT_FALSE(r.settings.registers);
  EXPECT_TRUE(loadRelaySettings({system}).settings.registers);

  EXPECT_NE(loadRelaySettings({f.dir.path() + "/missing.conf"}).error.indexOf("No support relay"),
            -1);
}

TEST(RelaySettings, ValuesThatWouldChangeTheTunnelsConfigurationAreRefused) {
  const QByteArray good = QByteArray("host=relay\nuser=tvlrelay\nhostkey=") + kKey + "\n";
  for (const char* bad : {"host=relay ProxyCommand=sh\n", "host=-oProxyCommand=x\n",
                          "user=tvl relay\n", "hostkey=ssh-ed25519\n", "port=0\n", "port=22x\n",
                          "identity=relative/key\n", "connecttimeout=0\n", "login=password\n"}) {
    Files f;
    auto r = loadRelaySettings({f.write("r.conf", "[relay]\n" + good + bad)});
    EXPECT_NE(r.error.indexOf("invalid"), -1) << bad;
  }
}

TEST(Tunnel, TheConfigurationPinsEveryRelayAndBoundsTheWaits) {
  session::TunnelLogin login;
  login.relays = {{"relay.example.org", 2222, "tvlrelay", kKey, 4}, {"relay2", 22, "tvl", kKey, 9}};
  login.credential = {session::Credential::Kind::Key, "key"};
  QString withKey = session::tunnelConfiguration(login, "/run/user/1/.tvl-tunnel-x");
  for (const char* line :
       {"Host tvl-relay\n", "  HostKeyAlias tvl-relay\n", "  ConnectTimeout 4\n",
        "Host tvl-relay-2\n", "  ConnectTimeout 9\n", "  StrictHostKeyChecking yes\n",
        "  UserKnownHostsFile \"/run/user/1/.tvl-tunnel-x/known_hosts\"\n",
        "  GlobalKnownHostsFile /dev/null\n", "  ExitOnForwardFailure yes\n", "  BatchMode yes\n",
        "  IdentityFile \"/run/user/1/.tvl-tunnel-x/id\"\n"})
    EXPECT_TRUE(withKey.contains(line)) << line;
  login.credential = {session::Credential::Kind::Password, "pw"};
  QString withPassword = session::tunnelConfiguration(login, "/f");
  EXPECT_FALSE(withPassword.contains("BatchMode"));  // it would turn the password off
  EXPECT_TRUE(withPassword.contains("  NumberOfPasswordPrompts 1\n"));
}

TEST(LinkFields, OnlyAPrintableSecretAndAPortStartASession) {
  EXPECT_EQ(mainapp::checkLinkFields("s3cr3t-X", "40404"), "");
  EXPECT_NE(mainapp::checkLinkFields("", "40404"), "");
  EXPECT_NE(mainapp::checkLinkFields("with blank", "40404"), "");
  EXPECT_NE(mainapp::checkLinkFields("line\nbreak", "40404"), "");
  EXPECT_NE(mainapp::checkLinkFields(QString(129, 'a'), "40404"), "");
  for (const char* key : {"KEY", "80", "65536", "+40404", "040404", ""})
    EXPECT_NE(mainapp::checkLinkFields("secret", key), "") << key;
}

TEST(SessionSecret, EightCharactersWithoutLookAlikes) {
  QString a = session::generateSessionSecret(), b = session::generateSessionSecret();
  EXPECT_EQ(a.size(), 8);
  EXPECT_NE(a, b);
  for (QChar c : a + b) EXPECT_FALSE(QString("01ilo").contains(c)) << a.toStdString();
}

}  // namespace
