// The names the product's programs share on the session bus, on disk and in the process
// table: the main application's bundle identifier, the distributed notifications and
// their object, the preferences file with its keys, and the names by which the desktop
// cover finds a session that outlived the main application. TVLQC, Mac Tovalo and the cover include
// this one header, so that a name changes in one place and the compiler sees every use.
#pragma once

namespace tvl::product {

// The main application's bundle identifier (both editions): its bus name, and the object
// every product notification carries.
inline constexpr char kMainAppBundleIdentifier[] = "com.nrvk.tvl";
inline constexpr char kNotificationObject[] = "com.nrvk.tvl";

// Distributed notifications.
inline constexpr char kApplicationLaunch[] = "com.nrvk.tvl.applicationlaunch";
inline constexpr char kApplicationQuit[] = "com.nrvk.tvl.applicationquit";
inline constexpr char kSharingStarted[] = "com.nrvk.tvl.sharingstarted";
inline constexpr char kSharingStopped[] = "com.nrvk.tvl.sharingstopped";
inline constexpr char kAutoTovaloStarted[] = "com.nrvk.tvl.autotovalustarted";
inline constexpr char kAutoTovaloStopped[] = "com.nrvk.tvl.autotovalustopped";

// The preferences file, below the user's home folder, and its keys with their defaults.
inline constexpr char kPreferencesFile[] = "/Library/Preferences/com.nrvk.tvl.plist";
inline constexpr char kProblemReportKey[] = "probreport";
inline constexpr char kDefaultProblemReport[] = "1";
inline constexpr char kSessionLengthKey[] = "maxtime";
inline constexpr char kDefaultSessionLength[] = "30";

// A session's processes, as the cover's watch finds them. The main application's process
// name (both editions run the same executable).
inline constexpr char kMainApplicationName[] = "Mac Tovalo";
// The VNC server runs under this command name, through a link of that name in the
// session's folder.
inline constexpr char kVncServerName[] = "OSXvncserver";
// The session's folder is named with this prefix; the tunnel's command line names paths
// in it, which is how the tunnel is found.
inline constexpr char kTunnelMarker[] = ".tvl-tunnel";

}  // namespace tvl::product
