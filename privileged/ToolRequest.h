// What the controller and the helper tool say to each other: the request's keys and tasks,
// the answer's key and the prefix of every refusal (the statuses the tool's exit becomes
// are in MoreSecurity.h). Both ends include this header, so that a wire name changes in
// one place.
#pragma once

#include <cstdint>

namespace tvl {

// Request keys, and the key of the tool's answer text.
inline constexpr char kTVLTaskKey[] = "task";          // number: a TVLTask
inline constexpr char kTVLFilenameKey[] = "filename";  // string: a launchd property list
inline constexpr char kTVLFolderKey[] = "folder";      // number: kTVLLaunchDaemonsFolder
inline constexpr char kTVLReturnStringKey[] = "returnString";
// Every refusal's text begins with this.
inline constexpr char kTVLErrorPrefix[] = "TVLQC Error:";

// The folder of "filename": the system's launch daemons.
inline constexpr int32_t kTVLLaunchDaemonsFolder = 3;

// The tasks, by the numbers the wire carries.
enum class TVLTask : int32_t {
  LoadTiger = 2,         // load "filename" (10.4)
  UnloadTiger = 3,       // unload it
  StartStartupItem = 4,  // TVLD=-YES- in the host configuration, start the startup item
  StopStartupItem = 5,   // TVLD=-NO-, stop it
  LoadLeopard = 7,       // load "filename" (10.5 and later)
  UnloadLeopard = 8,     // unload it
};

}  // namespace tvl
