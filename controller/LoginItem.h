// Whether TVLQC starts at login, as the user's own choice. The system-wide autostart entry
// starts it for everyone; a user turns it off with an entry of the same name in their own
// autostart folder that says Hidden=true (the desktop's rule for overriding an entry), and
// on again by taking that back. A desktop's own switch (X-GNOME-Autostart-enabled=false)
// counts as off too.
#pragma once

#include <string>

namespace tvl::loginitem {

// The autostart entry's file name, the same in the system's folder and the user's.
inline constexpr char kAutostartEntryName[] = "com.nrvk.tvlqc.desktop";

// The user's autostart folder: $XDG_CONFIG_HOME/autostart, else ~/.config/autostart.
std::string userAutostartFolder();

// False when the user's entry turns the login start off; true without one.
bool startsAtLogin(const std::string& folder = userAutostartFolder());

// Records the choice in the user's entry: off adds Hidden=true (to a copy of the installed
// entry the user has there, or to a small entry of its own); on takes back what turned it
// off, and removes the small entry altogether. Returns 0 or an errno value; on failure the
// user's entry is as it was.
int setStartsAtLogin(bool on, const std::string& folder = userAutostartFolder());

}  // namespace tvl::loginitem
