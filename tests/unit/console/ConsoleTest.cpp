#include <gtest/gtest.h>

#include "console/Console.h"
#include "relay/PublicKey.h"

using namespace tvl;
using namespace tvl::console;

TEST(ConsoleSettings, RelaysByNameAndValuesThatCannotReachSsh) {
  auto r = parseSettings(
      "[relay]\nhost=relay.example.org\nhostkey=ssh-ed25519 AAAA\nidentity=/home/a/.ssh/id\n"
      "[relay.b]\nhost=10.0.0.2\nport=2222\nhostkey=ssh-ed25519 BBBB\n"
      "[console]\nviewer=xtigervncviewer -passwd {passwd} {address}\n");
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.settings.relays.size(), 2u);
  EXPECT_EQ(r.settings.relays[0].name, "");
  EXPECT_EQ(r.settings.relays[0].user, "tvlsupport");
  EXPECT_EQ(r.settings.relays[1].name, "b");
  EXPECT_EQ(r.settings.relays[1].port, 2222);
  EXPECT_EQ(r.settings.viewer, "xtigervncviewer -passwd {passwd} {address}");
  for (const char* bad : {"[relay]\nhost=evil\n  ProxyCommand x\nhostkey=ssh-ed25519 A\n",
                          "[relay]\nhost=a b\nhostkey=ssh-ed25519 A\n",
                          "[relay]\nhost=a\nhostkey=ssh-ed25519 A\nidentity=relative/key\n",
                          "[relay]\nhost=a\nhostkey=ssh-ed25519 A\nport=0\n",
                          "[relay.B-2]\nhost=a\nhostkey=ssh-ed25519 A\n", "[relay]\nhost=a\n", ""})
    EXPECT_NE(parseSettings(bad).error, "") << bad;
}

TEST(SessionCode, RelayPortAndSecret) {
  struct Case {
    const char* text;
    std::string relay;
    int port;
    std::string secret;
  } ok[] = {{"40211-kq7m3xpa", "", 40211, "kq7m3xpa"},
            {"40211", "", 40211, ""},
            {"b-40211-kq7m3xpa", "b", 40211, "kq7m3xpa"},
            {"eu2-40211", "eu2", 40211, ""}};
  for (auto& c : ok) {
    auto code = parseSessionCode(c.text);
    ASSERT_TRUE(code) << c.text;
    EXPECT_EQ(code->relay, c.relay);
    EXPECT_EQ(code->port, c.port);
    EXPECT_EQ(code->secret, c.secret);
  }
  for (const char* bad : {"", "70000", "40211-kq7m3xp", "40211-KQ7M3XPA", "x-", "40211;ls"})
    EXPECT_FALSE(parseSessionCode(bad)) << bad;
}

TEST(LinkCredential, AFreshP256KeyTheRelayTakesAndALinkThatCarriesIt) {
  LinkCredential a = makeLinkCredential(), b = makeLinkCredential();
  EXPECT_TRUE(relay::parseSessionKey(a.publicKey)) << a.publicKey;
  EXPECT_EQ(a.scalar.size(), 32u);
  EXPECT_NE(a.scalar, b.scalar);
  std::string secret = linkSecret("b", "kq7m3xpa", a.scalar);
  EXPECT_EQ(secret, "b.kq7m3xpa." + relay::encodeBase64Url(a.scalar));
  EXPECT_EQ(secret.find_first_of(": \n"), std::string::npos);
  EXPECT_LE(secret.size(), 128u);
  std::string password = makeVncPassword();
  EXPECT_EQ(password.size(), 8u);
  EXPECT_EQ(password.find_first_of("01ilo"), std::string::npos);
}

TEST(VncPasswordFile, TheBytesX11vncWritesForThePassword) {
  // x11vnc -storepasswd kq7m3xpa FILE
  EXPECT_EQ(vncPasswordFile("kq7m3xpa"), std::string("\xaa\x40\xc2\x44\xab\x8d\xea\x40", 8));
  EXPECT_EQ(printable("a\x1b[31mb\tc\n"), "a?[31mb\tc\n");
}
