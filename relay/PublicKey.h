// Public keys as sshd names them ("type base64"), and the lines an AuthorizedKeysCommand
// answers with. Keys that come from customers' machines are hostile input: only the two
// kinds our clients make are taken, and only in their canonical form.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace tvl::relay {

struct PublicKey {
  std::string type;    // "ssh-ed25519" or "ecdsa-sha2-nistp256"
  std::string base64;  // the key's blob, canonical base64
  std::string text() const { return type + " " + base64; }
};

// One line "type base64 [comment]": an Ed25519 or a NIST P-256 key whose blob has exactly
// the structure of its type. Anything else (other types, bad base64, trailing bytes,
// control characters, over-long lines) is refused.
std::optional<PublicKey> parseSessionKey(std::string_view line);

// Strict base64 (standard alphabet, padding required); nullopt on anything else.
std::optional<std::string> decodeBase64(std::string_view text);
std::string encodeBase64(std::string_view bytes);
// base64url without padding, as links carry binary.
std::string encodeBase64Url(std::string_view bytes);
std::optional<std::string> decodeBase64Url(std::string_view text);

// sshd's expiry-time value for a moment: "YYYYMMDDHHMMSSZ" (UTC).
std::string expiryTime(std::time_t when);

}  // namespace tvl::relay
