#include <gtest/gtest.h>

#include "relay/PublicKey.h"

using namespace tvl;
using namespace tvl::relay;

namespace {

std::string wire(const std::string& s) {
  std::string n(4, '\0');
  n[2] = static_cast<char>(s.size() >> 8);
  n[3] = static_cast<char>(s.size() & 0xff);
  return n + s;
}

std::string ed25519(const std::string& blobTail = wire(std::string(32, 'k'))) {
  return "ssh-ed25519 " + encodeBase64(wire("ssh-ed25519") + blobTail);
}

std::string p256(char form = 4) {
  return "ecdsa-sha2-nistp256 " + encodeBase64(wire("ecdsa-sha2-nistp256") + wire("nistp256") +
                                               wire(std::string(1, form) + std::string(64, 'p')));
}

}  // namespace

TEST(PublicKey, OnlyTheTwoSessionKeyTypesInTheirExactShape) {
  struct Case {
    std::string line;
    bool taken;
  } cases[] = {
      {ed25519(), true},
      {ed25519() + " a comment\n", true},
      {p256(), true},
      {p256(2), false},                                    // a compressed point
      {ed25519(wire(std::string(31, 'k'))), false},        // short key
      {ed25519(wire(std::string(32, 'k')) + "x"), false},  // bytes after the key
      {"ssh-rsa " + encodeBase64(wire("ssh-rsa") + wire("e") + wire("n")), false},
      {"ssh-ed25519 " + encodeBase64(wire("ssh-rsa") + wire(std::string(32, 'k'))), false},
      {"ssh-ed25519 AAAA!!!!", false},
      {"ssh-ed25519", false},
      {ed25519() + "\x1b[2J", false},                     // terminal control in a comment
      {ed25519() + " " + std::string(2000, 'c'), false},  // over-long
  };
  for (auto& c : cases) EXPECT_EQ(parseSessionKey(c.line).has_value(), c.taken) << c.line;
  EXPECT_EQ(parseSessionKey(ed25519() + " comment")->text(), ed25519());
}

TEST(PublicKey, Base64IsStrictAndRoundTrips) {
  for (std::string bytes : {"", "a", "ab", "abc", "\xff\x00\x10 binary"})
    for (bool url : {false, true}) {
      auto text = url ? encodeBase64Url(bytes) : encodeBase64(bytes);
      EXPECT_EQ(url ? decodeBase64Url(text) : decodeBase64(text), bytes) << text;
    }
  EXPECT_FALSE(decodeBase64("YQ"));       // padding missing
  EXPECT_FALSE(decodeBase64("YR=="));     // stray bits: another text of the same byte
  EXPECT_FALSE(decodeBase64Url("a+b/"));  // the other alphabet
  EXPECT_EQ(expiryTime(0), "19700101000000Z");
}
