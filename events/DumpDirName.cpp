#include "events/DumpDirName.h"

#include <stdlib.h>
#include <string.h>

namespace android::tarnd {

String8 dumpDirName(const char* event, const struct tm& tm) {
    return String8::format("%s_%d%02d%02d_%02d%02d%02d", event, tm.tm_year + 1900, tm.tm_mon + 1,
                           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

bool hasDumpDirShape(const char* name) {
    size_t length = strlen(name);
    if (length < kDumpSuffixLength) return false;
    return name[length - kDumpDateSeparatorFromEnd] == '_' &&
           name[length - kDumpTimeSeparatorFromEnd] == '_';
}

uint64_t dumpStamp(const char* name) {
    const char* suffix = name + strlen(name) - kDumpSuffixLength;
    char digits[kDumpDateDigits + kDumpTimeDigits + 1];
    memcpy(digits, suffix + 1, kDumpDateDigits);
    memcpy(digits + kDumpDateDigits, suffix + 2 + kDumpDateDigits, kDumpTimeDigits);
    digits[kDumpDateDigits + kDumpTimeDigits] = '\0';
    // strtoll reads as atoll does, without atoll's undefined result on overflow (14 digits
    // cannot overflow, but a sign can make the value negative: it then sorts as the newest).
    return static_cast<uint64_t>(strtoll(digits, nullptr, 10));
}

}  // namespace android::tarnd
