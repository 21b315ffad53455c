// Host stand-in for libutils' thread definitions.
#pragma once

#include <stdint.h>

namespace android {

enum {
    PRIORITY_DEFAULT = 0,
};

}  // namespace android
