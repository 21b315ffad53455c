// The name of a dump directory, <event>_YYYYMMDD_hhmmss in UTC: made by the dump, recognised and
// ordered by the garbage collector. Pure functions over names, so that tests need no directory.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>
#include <utils/String8.h>

namespace android::tarnd {

// The suffix _YYYYMMDD_hhmmss that ends every dump directory's name.
constexpr size_t kDumpDateDigits = 8;
constexpr size_t kDumpTimeDigits = 6;
constexpr size_t kDumpSuffixLength = 1 + kDumpDateDigits + 1 + kDumpTimeDigits;
// Positions of the two underscores, counted back from the end of the name.
constexpr size_t kDumpDateSeparatorFromEnd = kDumpSuffixLength;
constexpr size_t kDumpTimeSeparatorFromEnd = 1 + kDumpTimeDigits;

// The directory name of a dump of event made at the broken-down time tm.
String8 dumpDirName(const char* event, const struct tm& tm);

// True when the name ends like a dump directory's: at least the suffix's length, with both of its
// underscores in place. Only the shape is checked, not the digits.
bool hasDumpDirShape(const char* name);

// The 14 characters YYYYMMDDhhmmss of a name of dump shape, read as atoll reads them (leading
// digits only, none gives 0) and taken as unsigned, so that comparing stamps orders dumps.
uint64_t dumpStamp(const char* name);

}  // namespace android::tarnd
