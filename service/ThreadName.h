#pragma once

#include <sys/prctl.h>

namespace android {
namespace tarnd {

// The worker threads' names, as given to run() and as the kernel keeps them (15 characters).
constexpr const char kLogGCThreadName[] = "TARND LogGC";
constexpr const char kLogcatThreadName[] = "TARND Logcat Detect";
constexpr const char kKmsgThreadName[] = "TARND Kmsg Detect";
constexpr const char kMonitorThreadName[] = "TARND Monitor";

// libutils names the threads it starts only when built for a device; each worker names itself
// as it starts, so that the name shows wherever the daemon runs.
inline void nameThisThread(const char* name) { prctl(PR_SET_NAME, name, 0, 0, 0); }

}  // namespace tarnd
}  // namespace android
