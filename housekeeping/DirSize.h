#pragma once

#include <stdint.h>

namespace android::tarnd {

// Adds the sizes of everything below the directory name, which is relative to parentFd, to total;
// openFlags are added to the open of that directory (O_NOFOLLOW, say). Links count with the size
// of their target; a directory that cannot be opened is logged and adds nothing.
void addDirSize(int parentFd, const char* name, int openFlags, int64_t& total);

}  // namespace android::tarnd
