#include "relay/PublicKey.h"

#include <array>
#include <cstdint>

namespace tvl::relay {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kMaxKeyLine = 1024;

int sextet(char c, bool url) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == (url ? '-' : '+')) return 62;
  if (c == (url ? '_' : '/')) return 63;
  return -1;
}

std::optional<std::string> decode(std::string_view text, bool url) {
  std::size_t padding = 0;
  if (!url) {
    if (text.size() % 4 != 0) return std::nullopt;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
      ++padding;
    text.remove_suffix(padding);
  } else if (text.size() % 4 == 1) {
    return std::nullopt;
  }
  std::string out;
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    int v = sextet(c, url);
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xff));
    }
  }
  // Leftover bits must be zero, or two texts would decode to the same bytes.
  if (bits > 0 && (acc & ((1u << bits) - 1)) != 0) return std::nullopt;
  if (!url && (out.size() + 2) / 3 * 4 != text.size() + padding) return std::nullopt;
  return out;
}

std::string encode(std::string_view bytes, bool url) {
  std::string out;
  std::size_t i = 0;
  auto put = [&](std::uint32_t v, int n) {
    for (int k = 0; k < n; ++k) {
      char c = kAlphabet[(v >> (18 - 6 * k)) & 63];
      if (url && c == '+') c = '-';
      if (url && c == '/') c = '_';
      out.push_back(c);
    }
  };
  for (; i + 3 <= bytes.size(); i += 3)
    put((std::uint8_t(bytes[i]) << 16) | (std::uint8_t(bytes[i + 1]) << 8) |
            std::uint8_t(bytes[i + 2]),
        4);
  std::size_t rest = bytes.size() - i;
  if (rest == 1) put(std::uint8_t(bytes[i]) << 16, 2);
  if (rest == 2) put((std::uint8_t(bytes[i]) << 16) | (std::uint8_t(bytes[i + 1]) << 8), 3);
  if (!url && rest) out.append(3 - rest, '=');
  return out;
}

// Reads SSH wire strings (a 32-bit length, then the bytes) off the front of a blob.
class Wire {
 public:
  explicit Wire(std::string_view b) : b_(b) {}
  std::optional<std::string_view> string() {
    if (b_.size() < 4) return std::nullopt;
    std::uint32_t n = (std::uint8_t(b_[0]) << 24) | (std::uint8_t(b_[1]) << 16) |
                      (std::uint8_t(b_[2]) << 8) | std::uint8_t(b_[3]);
    if (b_.size() - 4 < n) return std::nullopt;
    std::string_view s = b_.substr(4, n);
    b_.remove_prefix(4 + n);
    return s;
  }
  bool done() const { return b_.empty(); }

 private:
  std::string_view b_;
};

bool blobFits(std::string_view type, std::string_view blob) {
  Wire w(blob);
  auto t = w.string();
  if (!t || *t != type) return false;
  if (type == "ssh-ed25519") {
    auto k = w.string();
    return k && k->size() == 32 && w.done();
  }
  auto curve = w.string();
  auto point = w.string();
  // An uncompressed point: 0x04, then x and y of 32 bytes each.
  return curve && *curve == "nistp256" && point && point->size() == 65 && (*point)[0] == 4 &&
         w.done();
}

}  // namespace

std::optional<std::string> decodeBase64(std::string_view text) {
  return decode(text, false);
}
std::string encodeBase64(std::string_view bytes) {
  return encode(bytes, false);
}
std::string encodeBase64Url(std::string_view bytes) {
  return encode(bytes, true);
}
std::optional<std::string> decodeBase64Url(std::string_view text) {
  return decode(text, true);
}

std::optional<PublicKey> parseSessionKey(std::string_view line) {
  if (line.size() > kMaxKeyLine) return std::nullopt;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  for (char c : line)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
      return std::nullopt;
  auto space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  std::string_view type = line.substr(0, space);
  std::string_view rest = line.substr(space + 1);
  std::string_view b64 = rest.substr(0, rest.find(' '));
  if (type != "ssh-ed25519" && type != "ecdsa-sha2-nistp256") return std::nullopt;
  auto blob = decodeBase64(b64);
  if (!blob || !blobFits(type, *blob)) return std::nullopt;
  return PublicKey{std::string(type), std::string(b64)};
}

std::string expiryTime(std::time_t when) {
  std::tm tm{};
  gmtime_r(&when, &tm);
  std::array<char, 32> buf{};
  std::strftime(buf.data(), buf.size(), "%Y%m%d%H%M%SZ", &tm);
  return buf.data();
}

}  // namespace tvl::relay
