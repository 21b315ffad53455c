#include <dirent.h>
#include <fcntl.h>
#include <log/log.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/ShellQuote.h"
#include "base/UniqueDir.h"
#include "events/DumpDirName.h"
#include "housekeeping/DirSize.h"
#include "housekeeping/RetainedStamps.h"
#include "service/TarnDebugService.h"

namespace android::tarnd {

RetainedStamps::RetainedStamps(int32_t capacity)
    : mCapacity(capacity > 0 ? static_cast<size_t>(capacity) : 0) {}

void RetainedStamps::add(uint64_t stamp) {
    if (mCapacity == 0) return;
    if (mStamps.size() == mCapacity) {
        if (stamp < mStamps.front()) return;
        mStamps.erase(mStamps.begin());
    }
    // After every retained stamp that is less than or equal to the new one.
    mStamps.insert(std::upper_bound(mStamps.begin(), mStamps.end(), stamp), stamp);
}

bool RetainedStamps::threshold(uint64_t* out) const {
    if (mCapacity == 0 || mStamps.size() < mCapacity) return false;
    *out = mStamps.front();
    return true;
}

namespace {

UniqueDir openDumpRoot(const char* root) {
    UniqueDir dir(opendir(root));
    if (dir == nullptr) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "fail to open log dump dir %s", root);
    }
    return dir;
}

}  // namespace

void TarnDebugService::collectGarbage() {
    const char* root = mLogDumpPath.string();

    // Which stamps are the newest is decided by directories alone.
    RetainedStamps retained(mMaxDumpCount);
    {
        UniqueDir dir = openDumpRoot(root);
        if (dir == nullptr) return;
        while (struct dirent* entry = readdir(dir.get())) {
            if (isDotOrDotDot(entry->d_name)) continue;
            if (entry->d_type != DT_DIR) continue;
            if (!hasDumpDirShape(entry->d_name)) continue;
            retained.add(dumpStamp(entry->d_name));
        }
    }
    uint64_t threshold = 0;
    if (!retained.threshold(&threshold)) return;

    // Any entry of dump shape older than the threshold goes, whatever its type.
    UniqueDir dir = openDumpRoot(root);
    if (dir == nullptr) return;
    while (struct dirent* entry = readdir(dir.get())) {
        const char* name = entry->d_name;
        if (isDotOrDotDot(name)) continue;
        if (!hasDumpDirShape(name)) continue;
        if (dumpStamp(name) >= threshold) continue;

        removeDump(root, name);
    }
}

void TarnDebugService::removeDump(const char* root, const char* name) {
    // The log shows the plain command; the shell gets the path as one quoted word, so that no
    // character of a name is ever read as shell syntax. rm removes a symbolic link itself and
    // never descends through one.
    String8 shown = String8::format("rm -fr %s/%s", root, name);
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Remove cmd: %s", shown.string());
    String8 path = String8::format("%s/%s", root, name);
    String8 command = String8::format("rm -fr -- %s", shellQuote(path.string()).string());
    ShellCommand remove;
    remove.line = command.string();
    if (mRunCommand(remove) < 0) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Remove old dir %s failed", name);
    }
}

int64_t TarnDebugService::removeOldestDumps(int64_t limitBytes) {
    const char* root = mLogDumpPath.string();
    std::vector<std::pair<uint64_t, std::string>> dumps;
    {
        UniqueDir dir = openDumpRoot(root);
        if (dir == nullptr) return -1;
        while (struct dirent* entry = readdir(dir.get())) {
            if (entry->d_type != DT_DIR || isDotOrDotDot(entry->d_name)) continue;
            if (!hasDumpDirShape(entry->d_name)) continue;
            dumps.emplace_back(dumpStamp(entry->d_name), entry->d_name);
        }
    }
    std::sort(dumps.begin(), dumps.end());
    int64_t size = dumpAreaSize();
    // Each directory at most once, so that one that cannot be removed ends the loop.
    for (size_t i = 0; i < dumps.size() && size >= limitBytes; ++i) {
        removeDump(root, dumps[i].second.c_str());
        size = dumpAreaSize();
    }
    return size;
}

int64_t TarnDebugService::dumpAreaSize() {
    int64_t bytes = 0;
    addDirSize(AT_FDCWD, mLogDumpPath.string(), 0, bytes);
    return bytes;
}

}  // namespace android::tarnd
