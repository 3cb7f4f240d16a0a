#include "console/Console.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <sys/random.h>

#include <charconv>
#include <cstdlib>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "relay/PublicKey.h"
#include "relay/RelayConfig.h"

namespace tvl::console {

namespace {

bool toInt(std::string_view text, int min, int max, int& out) {
  int v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < min || v > max) return false;
  out = v;
  return true;
}

bool relayName(std::string_view s) {
  static const std::regex name("[a-z][a-z0-9]{0,15}");
  return std::regex_match(s.begin(), s.end(), name);
}

std::string wire(std::string_view s) {
  std::string n(4, '\0');
  n[2] = static_cast<char>((s.size() >> 8) & 0xff);
  n[3] = static_cast<char>(s.size() & 0xff);
  return n + std::string(s);
}

template <class T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using Cipher = std::unique_ptr<EVP_CIPHER, Deleter<EVP_CIPHER, EVP_CIPHER_free>>;
using Number = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;

}  // namespace

SettingsResult parseSettings(std::string_view text) {
  SettingsResult r;
  std::istringstream in{std::string(text)};
  RelayEntry* relay = nullptr;
  bool console = false;
  int number = 0;
  auto fail = [&](const std::string& why) {
    r.error = "line " + std::to_string(number) + ": " + why;
    return r;
  };
  static const std::regex host(R"([A-Za-z0-9][A-Za-z0-9.:-]*)");
  static const std::regex user(R"([a-z_][a-z0-9_.-]*)");
  static const std::regex hostKey(R"([a-z0-9@.-]+ [A-Za-z0-9+/]+=*)");
  for (std::string raw; std::getline(in, raw);) {
    ++number;
    std::string_view line = relay::trimBlanks(raw);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return fail("a section without ]");
      std::string_view section = line.substr(1, line.size() - 2);
      console = section == "console";
      relay = nullptr;
      if (console) continue;
      if (section != "relay" && !(section.rfind("relay.", 0) == 0 && relayName(section.substr(6))))
        return fail("sections are [relay], [relay.NAME] (a-z, 0-9) and [console]");
      r.settings.relays.push_back({});
      relay = &r.settings.relays.back();
      relay->name = section == "relay" ? "" : std::string(section.substr(6));
      continue;
    }
    auto eq = line.find('=');
    if (eq == std::string_view::npos) return fail("not name=value");
    std::string key(relay::trimBlanks(line.substr(0, eq)));
    std::string value(relay::trimBlanks(line.substr(eq + 1)));
    if (console && key == "viewer") {
      r.settings.viewer = value;
      continue;
    }
    if (!relay) return fail("a setting outside a [relay] section");
    if (key == "host" && std::regex_match(value, host))
      relay->host = value;
    else if (key == "user" && std::regex_match(value, user))
      relay->user = value;
    else if (key == "hostkey" && std::regex_match(value, hostKey))
      relay->hostKey = value;
    else if (key == "identity" && value.front() == '/' &&
             value.find_first_of("\"\n\r") == std::string::npos)
      relay->identity = value;
    else if (!(key == "port" && toInt(value, 1, 65535, relay->port)) &&
             !(key == "connecttimeout" && toInt(value, 1, 60, relay->connectTimeout)))
      return fail("an invalid " + key);
  }
  for (auto& e : r.settings.relays)
    if (e.host.empty() || e.hostKey.empty()) {
      r.error = "relay " + (e.name.empty() ? std::string("[relay]") : e.name) +
                " needs a host and a hostkey";
      return r;
    }
  if (r.settings.relays.empty()) r.error = "no [relay] section";
  return r;
}

std::string settingsPath() {
  const char* home = std::getenv("XDG_CONFIG_HOME");
  const char* user = std::getenv("HOME");
  std::string personal =
      home && *home ? std::string(home) : std::string(user ? user : "") + "/.config";
  return personal + "/tovalo/support.conf";
}

std::optional<SessionCode> parseSessionCode(std::string_view code) {
  static const std::regex pattern(R"((?:([a-z][a-z0-9]{0,15})-)?(\d{1,5})(?:-([a-z2-9]{8}))?)");
  std::match_results<std::string_view::const_iterator> m;
  if (!std::regex_match(code.begin(), code.end(), m, pattern)) return std::nullopt;
  SessionCode c;
  c.relay = m[1].str();
  if (!toInt(m[2].str(), 1, 65535, c.port)) return std::nullopt;
  c.secret = m[3].str();
  return c;
}

LinkCredential makeLinkCredential() {
  Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) throw std::runtime_error("no P-256 key could be made");
  BIGNUM* raw = nullptr;
  unsigned char point[65];
  size_t pointSize = 0;
  if (!EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw) ||
      !EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point,
                                       &pointSize) ||
      pointSize != sizeof point)
    throw std::runtime_error("the P-256 key could not be read");
  Number priv(raw);
  LinkCredential c;
  c.scalar.resize(32);
  BN_bn2binpad(priv.get(), reinterpret_cast<unsigned char*>(c.scalar.data()), 32);
  std::string blob = wire("ecdsa-sha2-nistp256") + wire("nistp256") +
                     wire(std::string_view(reinterpret_cast<char*>(point), pointSize));
  c.publicKey = "ecdsa-sha2-nistp256 " + relay::encodeBase64(blob);
  return c;
}

std::string linkSecret(const std::string& relay, const std::string& password,
                       const std::string& scalar) {
  return (relay.empty() ? "" : relay + ".") + password + "." + relay::encodeBase64Url(scalar);
}

std::string makeVncPassword() {
  static const char kAlphabet[] = "abcdefghjkmnpqrstuvwxyz23456789";
  std::string p;
  while (p.size() < 8) {
    unsigned char b = 0;
    if (getrandom(&b, 1, 0) != 1) throw std::runtime_error("no random numbers");
    // Only bytes below the largest multiple of the alphabet's size: no bias.
    if (b < 256 / 31 * 31) p += kAlphabet[b % 31];
  }
  return p;
}

std::string vncPasswordFile(std::string_view password) {
  // VNC's fixed key, each byte's bits in the order standard DES reads them.
  static const unsigned char kKey[8] = {0xe8, 0x4a, 0xd6, 0x60, 0xc4, 0x72, 0x1a, 0xe0};
  unsigned char plain[8] = {};
  for (std::size_t i = 0; i < 8 && i < password.size(); ++i)
    plain[i] = static_cast<unsigned char>(password[i]);
  // Single DES lives in OpenSSL's legacy provider.
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* standard = OSSL_PROVIDER_load(nullptr, "default");
  (void)standard;
  Cipher des(EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr));
  CipherContext ctx(EVP_CIPHER_CTX_new());
  unsigned char out[16];
  int n = 0;
  if (!legacy || !des || !ctx ||
      !EVP_EncryptInit_ex2(ctx.get(), des.get(), kKey, nullptr, nullptr) ||
      !EVP_CIPHER_CTX_set_padding(ctx.get(), 0) ||
      !EVP_EncryptUpdate(ctx.get(), out, &n, plain, sizeof plain) || n != 8)
    throw std::runtime_error("DES is not available (OpenSSL's legacy provider)");
  return std::string(reinterpret_cast<char*>(out), 8);
}

std::string printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\n' && c != '\t') || u == 0x7f) c = '?';
  }
  return out;
}

}  // namespace tvl::console
