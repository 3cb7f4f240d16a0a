// What the application object's script-callable utilities need from the system: the
// system version, the user's names, installed applications by identifier, notifications.
#pragma once

#include <QString>

#include <cstdint>

namespace tvl::mainapp {

inline constexpr char kNotFound[] = "Not Found";

// The minor version of a binary-coded-decimal system version word (0x1049 gives 4); a
// nibble of 10 to 15 reads as 0.
int osVersionNumberFromWord(int32_t systemVersionWord);

// The login name of the user the process runs as.
QString shortUserName();
// The user's full name, the first field of the password database's comment field; the
// login name when that is empty.
QString fullUserName();

// The bundle of the installed application with the identifier: the first desktop entry
// "<identifier>.desktop" in the XDG data folders names its executable, and the bundle is
// the folder above its Contents/MacOS (or the executable's folder when it is not in a
// bundle). "Not Found" when there is no such entry.
QString applicationPathForIdentifier(const QString& identifier);

// The bundle that carries an executable: the folder above its Contents/MacOS, or the
// executable's own folder when it lies in none.
QString bundlePathForExecutable(const QString& executablePath);

// The executable of a desktop entry's Exec value (its first word, quotes removed).
QString desktopEntryExecutable(const QString& exec);

// Posts name with object to the other programs of the session, at once.
void postDistributedNotification(const QString& name, const QString& object);

}  // namespace tvl::mainapp
