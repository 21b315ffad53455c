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
#include <unistd.h>
#include <zel/zel.h>

#include <algorithm>
#include <chrono>

#include "base/ShellQuote.h"
#include "base/UniqueDir.h"
#include "base/UniqueFd.h"
#include "events/DumpDirName.h"
#include "housekeeping/DirSize.h"
#include "service/TarnDebugService.h"

namespace android::tarnd {

namespace {

// The log line prints whole megabytes with %d; a tree beyond that range shows as the largest.
int printableMB(int64_t mb) { return mb > INT32_MAX ? INT32_MAX : static_cast<int>(mb); }

uint64_t freeBytes(const struct statfs& fs) {
    return static_cast<uint64_t>(fs.f_bfree) * static_cast<uint64_t>(fs.f_bsize);
}

// Dumps of one event within one second get names of their own up to this many.
constexpr int kMaxDumpDirCopies = 1000;

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
    uint32_t freeMB = static_cast<uint32_t>(freeBytes(fs) >> 20);

    int64_t logBytes = dumpAreaSize();
    int64_t logMB = logBytes >> 20;
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "free=%dMB, total log size=%dMB\n",
                        static_cast<int>(freeMB), printableMB(logMB));

    auto skippedForSpace = [](EventStats& e) { ++e.skippedSpace; };
    if (freeMB < static_cast<uint32_t>(mMinFreeSpace)) {
        __android_log_print(ANDROID_LOG_WARN, kLogTag,
                            "No enough space, MinFreeSpace: %dMB, CurrentFreeSpace: %dMB",
                            mMinFreeSpace, static_cast<int>(freeMB));
        updateEventStats(name, skippedForSpace);
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (static_cast<uint64_t>(logMB) >= static_cast<uint32_t>(mMaxDumpSpace)) {
        // The area filled up with dumps of its own: the oldest make room for one that would be
        // made, or collection would stop for good. Anything else is refused as it stands.
        if (verdict(name, now) == Verdict::kDump) {
            logBytes = removeOldestDumps(static_cast<int64_t>(static_cast<uint32_t>(mMaxDumpSpace))
                                         << 20);
            logMB = logBytes >> 20;
        }
        if (logBytes < 0 || static_cast<uint64_t>(logMB) >= static_cast<uint32_t>(mMaxDumpSpace)) {
            __android_log_print(ANDROID_LOG_WARN, kLogTag,
                                "Log size is too large, MaxLogSize: %dMB, CurrentLogSize: %dMB",
                                mMaxDumpSpace, printableMB(logMB));
            updateEventStats(name, skippedForSpace);
            return;
        }
    }

    ssize_t found = findEvent(name);
    switch (verdict(name, now)) {
        case Verdict::kUnknown:
            __android_log_print(ANDROID_LOG_WARN, kLogTag, "Invalid event received, %s", name);
            return;
        case Verdict::kInterval: {
            const Event& event = mEvents[static_cast<size_t>(found)];
            // A storm of triggers gets one dump per interval; the rest leave no trace but this.
            auto ago = std::chrono::duration_cast<std::chrono::seconds>(now - event.mLastDumpAt);
            __android_log_print(ANDROID_LOG_DEBUG, kLogTag,
                                "Dump of event %s skipped, last dump %ld s ago, interval %d s",
                                name, static_cast<long>(ago.count()), event.mInterval);
            updateEventStats(name, [](EventStats& e) { ++e.skippedInterval; });
            return;
        }
        case Verdict::kOnce:
            __android_log_print(ANDROID_LOG_DEBUG, kLogTag,
                                "Dump policy for event %s is ONCE, we already dumpped once",
                                mEvents[static_cast<size_t>(found)].mName.string());
            updateEventStats(name, [](EventStats& e) { ++e.skippedOnce; });
            return;
        case Verdict::kDump:
            break;
    }
    Event& event = mEvents.editItemAt(static_cast<size_t>(found));

    int32_t level = 0;
    for (size_t m = 0; m < mMonitors.size(); ++m) {
        const Monitor& monitor = mMonitors[m];
        if (!monitor.mEnabled || findByName(monitor.mEvents, name) < 0) continue;
        if (monitor.mLevel > level) level = monitor.mLevel;
    }
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "The log level is %d", level);

    time_t wallNow = mTime(nullptr);
    struct tm tm;
    if (gmtime_r(&wallNow, &tm) == nullptr) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Get time failed");
        return;
    }
    String8 dirName;
    UniqueFd dirFd = makeDumpDir(name, tm, &dirName);
    if (!dirFd.ok()) return;
    String8 path = String8::format("%s/%s/", mLogDumpPath.string(), dirName.string());

    // The handlers write relative names: each command starts inside the dump directory, while
    // the daemon's own working directory, which every thread shares, never moves. While they
    // run, the dump may take what the dump area and the data partition have left.
    DumpScope scope;
    scope.event = name;
    scope.dirFd = dirFd.get();
    scope.environment = environment;
    // Read as the checks above read them: a negative value set by hand counts as huge.
    const int64_t areaLimit = static_cast<int64_t>(static_cast<uint32_t>(mMaxDumpSpace)) << 20;
    const int64_t freeLimit = static_cast<int64_t>(static_cast<uint32_t>(mMinFreeSpace)) << 20;
    scope.stats = [this, name](bool timedOut, bool full) {
        updateEventStats(name, [timedOut, full](EventStats& e) {
            e.timedOut += timedOut ? 1 : 0;
            e.spaceStopped += full ? 1 : 0;
        });
    };
    scope.spaceLeft = [this, &dirFd, logBytes, areaLimit, freeLimit]() -> uint64_t {
        int64_t written = 0;
        addDirSize(dirFd.get(), ".", 0, written);
        int64_t left = areaLimit - logBytes - written;
        struct statfs now;
        if (statfs(mDataPath, &now) != 0) return 0;
        left = std::min(left, static_cast<int64_t>(freeBytes(now)) - freeLimit);
        return left > 0 ? static_cast<uint64_t>(left) : 0;
    };
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Global handler dump start");
    dumpGlobalHandlers(level, &scope);
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Global handler dump finish");
    dumpHandlers(event, level, &scope);
    ++event.mDumpCount;
    // Storm control counts from the end: triggers that queued up while this dump ran are skipped.
    event.mLastDumpAt = std::chrono::steady_clock::now();
    reportFileList(name, path.string(), dirFd.get());
    std::lock_guard<std::mutex> lock(mStatsLock);
    // Bounded: a long-lived daemon must not grow with every dump it ever made.
    if (mHistory.size() >= kHistoryKept) mHistory.removeAt(0);
    mHistory.add(HistoryEntry(String8(name), dirName));
    auto stats = mStats.events.find(name);
    if (stats != mStats.events.end()) {
        ++stats->second.dumps;
        stats->second.lastDir = dirName.string();
        stats->second.lastTime = wallNow;
    }
}

ssize_t TarnDebugService::findEvent(const char* name) const {
    ssize_t found = -1;
    for (size_t i = 0; i < mEvents.size(); ++i) {
        if (mEvents[i].mName == name) found = static_cast<ssize_t>(i);
    }
    return found;
}

TarnDebugService::Verdict TarnDebugService::verdict(
        const char* name, std::chrono::steady_clock::time_point now) const {
    ssize_t found = findEvent(name);
    if (found < 0) return Verdict::kUnknown;
    const Event& event = mEvents[static_cast<size_t>(found)];
    if (event.mInterval > 0 && event.mDumpCount > 0 &&
        now - event.mLastDumpAt < std::chrono::seconds(event.mInterval)) {
        return Verdict::kInterval;
    }
    if (event.mPolicy == 0 && event.mDumpCount >= 1) return Verdict::kOnce;
    return Verdict::kDump;
}

UniqueFd TarnDebugService::makeDumpDir(const char* name, const struct tm& tm, String8* dirName) {
    // The parents may be made as always; the dump's own directory is made by this dump alone.
    String8 mkdirCmd = mkdirCommand(mLogDumpPath.string());
    ShellCommand mkdir;
    mkdir.line = mkdirCmd.string();
    UniqueFd rootFd;
    if (mRunCommand(mkdir) >= 0) {
        rootFd.reset(open(mLogDumpPath.string(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    *dirName = dumpDirName(name, tm);
    String8 path = String8::format("%s/%s/", mLogDumpPath.string(), dirName->string());
    if (!rootFd.ok()) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Create log dump dir failed, %s",
                            path.string());
        return UniqueFd();
    }
    // The name can be foreseen, and an earlier dump of the same second holds it too: a name
    // that is taken is never used, whatever stands under it. Later ones count up in the event
    // part, so that the collector still reads the time.
    for (int copy = 2; mkdirat(rootFd.get(), dirName->string(), 0777) != 0; ++copy) {
        if (errno != EEXIST || copy > kMaxDumpDirCopies) {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Create log dump dir failed, %s",
                                path.string());
            return UniqueFd();
        }
        String8 next = dumpDirName(String8::format("%s.%d", name, copy).string(), tm);
        __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Dump directory %s exists, using %s",
                            dirName->string(), next.string());
        *dirName = next;
        path = String8::format("%s/%s/", mLogDumpPath.string(), dirName->string());
    }
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Dump event %s to %s", name, path.string());

    // Between the mkdir and the open another process with rights on the parent could swap it:
    // only a directory of our own, never a link, is used from here on.
    UniqueFd dirFd(openat(rootFd.get(), dirName->string(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!dirFd.ok() || fstat(dirFd.get(), &st) != 0 || st.st_uid != geteuid()) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag,
                            "Dump directory %s is not a directory, dump refused", path.string());
        return UniqueFd();
    }
    return dirFd;
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
