// URLs of other schemes go to the desktop's handler of their scheme, found the way the
// desktop's own opener finds it: the desktop entries that declare the scheme and the
// user's and the system's mimeapps.list. GIO does it in the process, so no opener program
// (xdg-utils and the dozens of packages it recommends) is needed; the product loads GLib
// anyway (polkit, libsecret).
#pragma once

#include <string>

namespace tvl::workspace {

// Starts the default handler of url's scheme with url (or, for a handler that desktops
// start over the bus, calls it). False, with why, when the scheme has no handler or
// starting it failed.
bool openWithDefaultHandler(const std::string& url, std::string* why = nullptr);

}  // namespace tvl::workspace
