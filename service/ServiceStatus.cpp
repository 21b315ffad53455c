// The live status of the service for dumpsys, and the checks of who may ask for it and who may
// send events.
#include <binder/IPCThreadState.h>
#include <binder/IServiceManager.h>
#include <dirent.h>
#include <fcntl.h>
#include <log/log.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>

#include "base/UniqueDir.h"
#include "events/DumpDirName.h"
#include "housekeeping/DirSize.h"
#include "service/TarnDebugService.h"

namespace android::tarnd {

namespace {

// Refused callers are reported at most this often per uid.
constexpr std::chrono::seconds kRefusalReportInterval(10);
constexpr int32_t kRootUid = 0;
constexpr int32_t kSystemUid = 1000;
constexpr int32_t kShellUid = 2000;

bool trustedUid(int32_t uid) { return uid == kRootUid || uid == kSystemUid || uid == kShellUid; }

void writeAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the reader went away
        done += static_cast<size_t>(n);
    }
}

}  // namespace

bool TarnDebugService::callerAllowed(int32_t uid, int32_t pid) {
    if (trustedUid(uid) ||
        std::find(mAllowedUids.begin(), mAllowedUids.end(), uid) != mAllowedUids.end()) {
        return true;
    }
    auto now = std::chrono::steady_clock::now();
    bool report;
    {
        std::lock_guard<std::mutex> lock(mStatsLock);
        auto last = mRefusedAt.find(uid);
        report = last == mRefusedAt.end() || now - last->second >= kRefusalReportInterval;
        if (report) mRefusedAt[uid] = now;
    }
    if (report) {
        __android_log_print(ANDROID_LOG_WARN, kLogTag, "sendEvent from uid %d pid %d refused", uid,
                            pid);
    }
    return false;
}

void TarnDebugService::noteTrigger(const char* event, TriggerSource source) {
    updateEventStats(event, [source](EventStats& e) { ++e.triggers[static_cast<size_t>(source)]; });
}

StatusSnapshot TarnDebugService::snapshot() {
    StatusSnapshot s;
    s.running = mStopped == 0;
    if (s.running) {
        s.uptimeSeconds = std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::steady_clock::now() - mStartedAt)
                                  .count();
    }
    s.maxDumpSpaceMB = mMaxDumpSpace;
    s.minFreeSpaceMB = mMinFreeSpace;
    {
        std::lock_guard<std::mutex> lock(mStatsLock);
        s.report = mStartupReport;
        s.stats = mStats;
        for (const HistoryEntry& h : mHistory) {
            s.history.emplace_back(h.mEventName.string(), h.mDumpDirName.string());
        }
    }
    struct statfs fs;
    if (statfs(mDataPath, &fs) == 0) {
        s.freeBytes = static_cast<int64_t>(static_cast<uint64_t>(fs.f_bfree) *
                                           static_cast<uint64_t>(fs.f_bsize));
    }
    UniqueDir dir(opendir(mLogDumpPath.string()));
    if (dir != nullptr) {
        s.areaBytes = 0;
        addDirSize(AT_FDCWD, mLogDumpPath.string(), 0, s.areaBytes);
        std::vector<std::pair<uint64_t, std::string>> names;
        while (struct dirent* entry = readdir(dir.get())) {
            if (entry->d_type != DT_DIR || !hasDumpDirShape(entry->d_name)) continue;
            names.emplace_back(dumpStamp(entry->d_name), entry->d_name);
        }
        std::sort(names.rbegin(), names.rend());
        for (const auto& name : names) {
            int64_t size = 0;
            addDirSize(dirfd(dir.get()), name.second.c_str(), O_NOFOLLOW, size);
            s.dumpDirs.emplace_back(name.second, size);
        }
    }
    return s;
}

status_t TarnDebugService::dump(int fd, const Vector<String16>& args) {
    IPCThreadState* ipc = IPCThreadState::self();
    const int32_t uid = static_cast<int32_t>(ipc->getCallingUid());
    const int32_t pid = static_cast<int32_t>(ipc->getCallingPid());
    if (!trustedUid(uid) && !checkCallingPermission(String16("android.permission.DUMP"))) {
        writeAll(fd, String8::format("Permission Denial: can't dump tarnd from pid=%d, uid=%d\n",
                                     pid, uid)
                             .string());
        return NO_ERROR;
    }
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) words.push_back(String8(args[i]).string());
    writeAll(fd, formatStatus(snapshot(), words));
    return NO_ERROR;
}

}  // namespace android::tarnd
