// The fixed paths of the device. The host build may point the configuration file and the
// free-space path elsewhere at configure time.
#pragma once

#ifndef TARND_CONFIG_PATH
#define TARND_CONFIG_PATH "/system/vendor/etc/tarndebug.conf"
#endif

#ifndef TARND_DATA_PATH
#define TARND_DATA_PATH "/data"
#endif

namespace android {
namespace tarnd {

constexpr const char* kConfigPath = TARND_CONFIG_PATH;
// The file system whose free space gates every dump.
constexpr const char* kDataPath = TARND_DATA_PATH;
constexpr const char* kKmsgPath = "/dev/kmsg";
constexpr const char* kLogBufferPaths[4] = {"/dev/log/main", "/dev/log/system", "/dev/log/events",
                                            "/dev/log/radio"};

// Tag of every message the daemon logs.
constexpr const char* kLogTag = "TarnDebugService";

}  // namespace tarnd
}  // namespace android
