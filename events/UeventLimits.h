// What the daemon takes of a uevent, shared with the trigger tool that builds them. Plain C++ so
// that the tool needs nothing of the platform.
#pragma once

#include <stddef.h>

namespace android::tarnd {

// Longest TARND_EVENT value that is compared with the uevent hints; longer values are cut.
constexpr size_t kUeventValueMax = 127;

}  // namespace android::tarnd
