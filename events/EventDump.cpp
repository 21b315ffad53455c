// The dump of one event: space and policy checks, the time-stamped dump directory, the handlers
// run inside it, the report to libzel and the history entry.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <zel/zel.h>

#include <chrono>

#include "base/ShellQuote.h"
#include "base/UniqueDir.h"
#include "base/UniqueFd.h"
#include "events/DumpDirName.h"
#include "service/TarnDebugService.h"

namespace android::tarnd {

namespace {

// Adds the sizes of everything below the directory name, which is relative to parentFd. Works on
// descriptors so that the scan never moves the process-wide working directory. The sum is kept in
// 64 bits: a dump tree of 2 GiB or more must still count as large.
void getDirSize(int parentFd, const char* name, int openFlags, int64_t& total) {
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
            if (!isDotOrDotDot(entry->d_name)) getDirSize(dirFd, entry->d_name, O_NOFOLLOW, total);
        } else if (!S_ISLNK(st.st_mode)) {
            // For anything but a link the first look already has the size.
            total += st.st_size;
        } else if (fstatat(dirFd, entry->d_name, &st, 0) == 0) {
            // Links count with the size of their target, links to directories included.
            total += st.st_size;
        }
    }
}

// The log line prints whole megabytes with %d; a tree beyond that range shows as the largest.
int printableMB(int64_t mb) { return mb > INT32_MAX ? INT32_MAX : static_cast<int>(mb); }

}  // namespace

void TarnDebugService::dumpEvent(const char* name, const std::vector<std::string>* environment) {
    struct statfs fs;
    if (statfs(mDataPath, &fs) != 0) {
        // Unknown free space is not free space: a dump could fill the data partition.
        __android_log_print(ANDROID_LOG_ERROR, kLogTag,
                            "Cannot get free space of %s: %s, dump of %s refused", mDataPath,
                            strerror(errno), name);
        return;
    }
    uint32_t freeMB = static_cast<uint32_t>(
            (static_cast<uint64_t>(fs.f_bfree) * static_cast<uint64_t>(fs.f_bsize)) >> 20);

    int64_t logBytes = 0;
    getDirSize(AT_FDCWD, mLogDumpPath.string(), 0, logBytes);
    int64_t logMB = logBytes >> 20;
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "free=%dMB, total log size=%dMB\n",
                        static_cast<int>(freeMB), printableMB(logMB));

    if (freeMB < static_cast<uint32_t>(mMinFreeSpace)) {
        __android_log_print(ANDROID_LOG_WARN, kLogTag,
                            "No enough space, MinFreeSpace: %dMB, CurrentFreeSpace: %dMB",
                            mMinFreeSpace, static_cast<int>(freeMB));
        return;
    }
    if (static_cast<uint64_t>(logMB) >= static_cast<uint32_t>(mMaxDumpSpace)) {
        __android_log_print(ANDROID_LOG_WARN, kLogTag,
                            "Log size is too large, MaxLogSize: %dMB, CurrentLogSize: %dMB",
                            mMaxDumpSpace, printableMB(logMB));
        return;
    }

    ssize_t found = -1;
    for (size_t i = 0; i < mEvents.size(); ++i) {
        if (mEvents[i].mName == name) found = static_cast<ssize_t>(i);
    }
    if (found < 0) {
        __android_log_print(ANDROID_LOG_WARN, kLogTag, "Invalid event received, %s", name);
        return;
    }
    Event& event = mEvents.editItemAt(static_cast<size_t>(found));
    // A storm of triggers gets one dump per interval; the rest leave no trace but this line.
    const auto start = std::chrono::steady_clock::now();
    const auto sinceLast = start - event.mLastDumpAt;
    if (event.mInterval > 0 && event.mDumpCount > 0 &&
        sinceLast < std::chrono::seconds(event.mInterval)) {
        __android_log_print(
                ANDROID_LOG_DEBUG, kLogTag,
                "Dump of event %s skipped, last dump %ld s ago, interval %d s", name,
                static_cast<long>(
                        std::chrono::duration_cast<std::chrono::seconds>(sinceLast).count()),
                event.mInterval);
        return;
    }
    if (event.mPolicy == 0 && event.mDumpCount >= 1) {
        __android_log_print(ANDROID_LOG_DEBUG, kLogTag,
                            "Dump policy for event %s is ONCE, we already dumpped once",
                            event.mName.string());
        return;
    }

    int32_t level = 0;
    for (size_t m = 0; m < mMonitors.size(); ++m) {
        const Monitor& monitor = mMonitors[m];
        if (!monitor.mEnabled || findByName(monitor.mEvents, name) < 0) continue;
        if (monitor.mLevel > level) level = monitor.mLevel;
    }
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "The log level is %d", level);

    time_t now = mTime(nullptr);
    struct tm tm;
    if (gmtime_r(&now, &tm) == nullptr) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Get time failed");
        return;
    }
    String8 dirName = dumpDirName(name, tm);
    String8 dirPath = String8::format("%s/%s", mLogDumpPath.string(), dirName.string());
    String8 path = dirPath;
    path.append("/");
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Dump event %s to %s", name, path.string());

    String8 mkdirCmd = mkdirCommand(path.string());
    ShellCommand mkdir;
    mkdir.line = mkdirCmd.string();
    if (mRunCommand(mkdir) < 0) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Create log dump dir failed, %s",
                            path.string());
        return;
    }

    // The name can be foreseen, so something may already stand under it: only a real directory
    // is used, never a link, and the handlers and the report stay on this very one. The path
    // without its final "/", or the kernel would follow a link all the same.
    UniqueFd dirFd(open(dirPath.string(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dirFd.ok()) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag,
                            "Dump directory %s is not a directory, dump refused", path.string());
        return;
    }

    // The handlers write relative names: each command starts inside the dump directory, while
    // the daemon's own working directory, which every thread shares, never moves.
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Global handler dump start");
    dumpGlobalHandlers(level, dirFd.get(), environment);
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Global handler dump finish");
    dumpHandlers(event, level, dirFd.get(), environment);
    ++event.mDumpCount;
    event.mLastDumpAt = start;
    reportFileList(name, path.string(), dirFd.get());
    mHistory.add(HistoryEntry(String8(name), dirName));
}

void TarnDebugService::reportFileList(const char* name, const char* path, int dirFd) {
    String8 list;
    // A fresh descriptor of the same directory: the listing starts at its beginning, and closing
    // the stream leaves the caller's descriptor open.
    UniqueDir dir;
    UniqueFd fd(openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.ok()) dir.reset(fdopendir(fd.get()));
    if (dir == nullptr) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "fail to open log dump dir %s", path);
        return;
    }
    fd.release();  // closedir closes it now
    // Only the files the handlers wrote at the top; whatever a handler put in a subdirectory
    // stays out of the report.
    while (struct dirent* entry = readdir(dir.get())) {
        if (isDotOrDotDot(entry->d_name) || entry->d_type == DT_DIR) continue;
        list.appendFormat("%s%s;", path, entry->d_name);
    }
    dir.reset();
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Filelist: %s", list.string());
    __zel_log_all(2, "TARND", name, 0, 0, 0, 0, 0, 0, 0, list.string(), 0);
}

}  // namespace android::tarnd
