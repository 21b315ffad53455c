#include "housekeeping/DirSize.h"

#include <fcntl.h>
#include <log/log.h>
#include <sys/stat.h>

#include "base/UniqueDir.h"
#include "base/UniqueFd.h"
#include "service/DevicePaths.h"

namespace android::tarnd {

// Works on descriptors, so that the scan never depends on the process-wide working directory. The
// sum is kept in 64 bits: a dump tree of 2 GiB or more must still count as large.
void addDirSize(int parentFd, const char* name, int openFlags, int64_t& total) {
    UniqueFd fd(openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | openFlags));
    if (fd.get() < 0) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "cannot open directory: %s\n ", name);
        return;
    }
    UniqueDir dir(fdopendir(fd.get()));
    if (dir == nullptr) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "cannot open directory: %s\n ", name);
        return;
    }
    fd.release();  // closedir closes it now
    int dirFd = dirfd(dir.get());
    while (struct dirent* entry = readdir(dir.get())) {
        struct stat st;
        // An entry that vanished or cannot be examined adds nothing.
        if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            // Never descend through a directory swapped for a link since it was examined.
            if (!isDotOrDotDot(entry->d_name)) addDirSize(dirFd, entry->d_name, O_NOFOLLOW, total);
        } else if (!S_ISLNK(st.st_mode)) {
            // For anything but a link the first look already has the size.
            total += st.st_size;
        } else if (fstatat(dirFd, entry->d_name, &st, 0) == 0) {
            // Links count with the size of their target, links to directories included.
            total += st.st_size;
        }
    }
}

}  // namespace android::tarnd
