// The names the product's programs share on the session bus and on disk: the main
// application's bundle identifier, the distributed notifications and their object, and
// the preferences file with its keys. TVLQC, Mac Tovalo and the cover include this one
// header, so that a name changes in one place and the compiler sees every use.
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

}  // namespace tvl::product
