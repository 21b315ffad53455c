// Host stand-in for liblog's writer interface.
#pragma once

#include <android/log.h>
