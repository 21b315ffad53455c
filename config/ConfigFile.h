// Reading a configuration file: opened without blocking, taken only when it is a regular file, and
// read line by line within a fixed bound, so that a FIFO, a device or a file of one endless line
// can neither hang nor exhaust the daemon or the checker.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include <string>

#include "base/UniqueFd.h"

namespace android::tarnd {

// Opens path for reading (following links) when it is a regular file. Otherwise returns a closed
// descriptor: kind then says what the file is ("a FIFO", ...), or stays empty when the open
// itself failed, with errno set.
UniqueFd openConfigFile(const char* path, std::string* kind);

/// The lines of an open configuration file, each as getline would report it, keeping at most
/// kKept bytes of each: a longer line is read through in fixed-size pieces.
class ConfigLineReader {
  public:
    static constexpr size_t kKept = 1023;

    explicit ConfigLineReader(UniqueFd fd) : mFd(std::move(fd)) {}

    // Length of the next line, every byte and the newline counted, or -1 at the end of the file
    // or on an error.
    ssize_t next();
    // Its first bytes, at most kKept, NUL-terminated (a NUL byte inside ends it earlier).
    const char* line() const { return mLine; }

  private:
    UniqueFd mFd;
    char mBuffer[4096];
    size_t mStart = 0;  // next unread byte of mBuffer
    size_t mEnd = 0;    // end of the bytes in mBuffer
    bool mDone = false;
    char mLine[kKept + 1] = {};
};

}  // namespace android::tarnd
