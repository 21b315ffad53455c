#pragma once

#include <sys/prctl.h>

namespace android::tarnd {

// The worker threads' names, as given to run() and as the kernel keeps them: each fits its 15
// characters, so that ps and /proc show the whole name.
constexpr const char kLogGCThreadName[] = "TARND LogGC";
constexpr const char kLogcatThreadName[] = "TARND Logcat";
constexpr const char kKmsgThreadName[] = "TARND Kmsg";
constexpr const char kMonitorThreadName[] = "TARND Monitor";

// libutils names the threads it starts only when built for a device; each worker names itself
// as it starts, so that the name shows wherever the daemon runs.
inline void nameThisThread(const char* name) { prctl(PR_SET_NAME, name, 0, 0, 0); }

}  // namespace android::tarnd
