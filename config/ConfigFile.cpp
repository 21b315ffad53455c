#include "config/ConfigFile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace android::tarnd {

namespace {

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

}  // namespace

UniqueFd openConfigFile(const char* path, std::string* kind) {
    kind->clear();
    // O_NONBLOCK: opening a FIFO without a writer would wait for one for ever.
    UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.ok() || fstat(fd.get(), &st) != 0) return UniqueFd();
    if (!S_ISREG(st.st_mode)) {
        *kind = kindOf(st.st_mode);
        return UniqueFd();
    }
    return fd;
}

ssize_t ConfigLineReader::next() {
    size_t length = 0;
    for (;;) {
        if (mStart == mEnd) {
            if (mDone) break;
            ssize_t got;
            do {
                got = read(mFd.get(), mBuffer, sizeof(mBuffer));
            } while (got < 0 && errno == EINTR);
            if (got <= 0) {
                mDone = true;
                break;
            }
            mStart = 0;
            mEnd = static_cast<size_t>(got);
        }
        const char* from = mBuffer + mStart;
        const void* newline = memchr(from, '\n', mEnd - mStart);
        size_t take = newline != nullptr
                              ? static_cast<size_t>(static_cast<const char*>(newline) - from) + 1
                              : mEnd - mStart;
        if (length < kKept) memcpy(mLine + length, from, std::min(take, kKept - length));
        // Counted as getline would, short of overflowing the result.
        length = std::min(length + take, static_cast<size_t>(SSIZE_MAX));
        mStart += take;
        if (newline != nullptr) break;
    }
    if (length == 0) return -1;
    mLine[std::min(length, kKept)] = '\0';
    return static_cast<ssize_t>(length);
}

}  // namespace android::tarnd
