// The fixed paths of the device. The two defaults below are the only copy of them: CMakeLists.txt
// reads them from here, so keep each a single #define line with a quoted value. A host build may
// point the configuration file and the free-space path elsewhere at configure time, and then does
// so for every target that includes this header.
#pragma once

#ifndef TARND_CONFIG_PATH
#define TARND_CONFIG_PATH "/system/vendor/etc/tarndebug.conf"
#endif

#ifndef TARND_DATA_PATH
#define TARND_DATA_PATH "/data"
#endif

namespace android::tarnd {

constexpr const char* kConfigPath = TARND_CONFIG_PATH;
// The file system whose free space gates every dump.
constexpr const char* kDataPath = TARND_DATA_PATH;
constexpr const char* kKmsgPath = "/dev/kmsg";
constexpr const char* kLogBufferPaths[4] = {"/dev/log/main", "/dev/log/system", "/dev/log/events",
                                            "/dev/log/radio"};

// Tag of every message the daemon logs.
constexpr const char* kLogTag = "TarnDebugService";

}  // namespace android::tarnd
