// tovalo-relay-admin: the relay's administrator (root) adds and removes supporters' and the
// organisation's keys, and prints the settings that customers' machines and supporters'
// consoles need to reach this relay.
#pragma once

#include <string>
#include <string_view>

namespace tvl::relay {

int adminMain(int argc, char** argv);

// Any public key line an administrator may name: a known type whose blob starts with that
// type. Returns "type base64", or "" when it is not one.
std::string adminKey(std::string_view line);

}  // namespace tvl::relay
