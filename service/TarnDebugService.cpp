#include "service/TarnDebugService.h"

#include <binder/IServiceManager.h>
#include <log/log.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "base/ScopedPthreadLock.h"
#include "detectors/KeywordMatcher.h"
#include "detectors/KmsgDetectThread.h"
#include "detectors/LogcatDetectThread.h"
#include "detectors/SendMatchedEvents.h"
#include "events/MonitorThread.h"
#include "housekeeping/LogGCThread.h"
#include "service/ThreadName.h"

namespace android::tarnd {

namespace {

constexpr const char* kHyphens = "--------------------------------------------";
// Pause of the garbage collector between two collections, in seconds.
constexpr int32_t kGcInterval = 1800;

}  // namespace

TarnDebugService::TarnDebugService() {
    init(Paths());
    start();
}

TarnDebugService::TarnDebugService(const Paths& paths, Start when) {
    init(paths);
    if (when == Start::kNow) start();
}

void TarnDebugService::init(const Paths& paths) {
    mStopped = 1;
    pthread_mutex_init(&mLock, nullptr);
    mConfigPath = paths.configPath;
    mUseAdditionalConf = false;
    mMaxDumpCount = 10;
    mMaxDumpSpace = 1024;
    mMinFreeSpace = 512;
    mCommandTimeout = 60;
    mCommandTimeoutSet = false;
    mMonitorEnabled = false;
    mLogcatGrep = true;
    mKmsgGrep = true;
    mDataPath = paths.dataPath;
    mKmsgPath = paths.kmsgPath;
    mTime = ::time;
    mRunCommand = runShellCommand;
    mParseObserver = nullptr;
}

status_t TarnDebugService::start() {
    ScopedPthreadLock lock(&mLock);
    if (mStopped == 0) {
        __android_log_print(ANDROID_LOG_WARN, kLogTag, "TarnDebugService already started");
        return NO_ERROR;
    }

    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Start parsing config");
    status_t status = parseConfig(mConfigPath);
    if (status != NO_ERROR) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Failed to parse config file");
        return status;
    }
    if (mUseAdditionalConf) {
        status = parseConfig(mAdditionalConfPath.string());
        if (status != NO_ERROR) {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Failed to parse config file");
            return status;
        }
    }

    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Parsing config succeed, start dump config...");
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "%s", kHyphens);
    std::vector<std::string> lines = statusLines();
    {
        std::lock_guard<std::mutex> statsLock(mStatsLock);
        mStartupReport = lines;
        for (const Event& event : mEvents) mStats.events[event.mName.string()];
    }
    for (const std::string& line : lines) {
        __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "%s", line.c_str());
    }
    if (lines.empty()) __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Failed to dump status");
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "%s", kHyphens);

    for (size_t i = 0; i < mMonitors.size(); ++i) {
        if (mMonitors[i].mEnabled) mMonitorEnabled = true;
    }
    if (!mMonitorEnabled) {
        __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "No monitor is enabled");
        return NO_ERROR;
    }

    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Start enable handlers");
    enableHandlers();
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Finish enable handlers");

    int channel[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) < 0) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Failed to create internal channel: %s",
                            strerror(errno));
        return UNKNOWN_ERROR;
    }
    mSockets[0].reset(channel[0]);
    mSockets[1].reset(channel[1]);

    // The records are fixed from here on; the detectors match against this compiled form.
    mKeywordMatcher.reset(new KeywordMatcher());
    mKeywordMatcher->build(keywordEntries(*this));

    if (mLogGCThread == nullptr) {
        mLogGCThread = new LogGCThread(this, kGcInterval);
        mLogGCThread->start();
    }
    if (mLogcatGrep && mLogcatThread == nullptr) {
        mLogcatThread = new LogcatDetectThread(this);
        mLogcatThread->start();
    }
    if (mKmsgGrep && mKmsgThread == nullptr) {
        mKmsgThread = new KmsgDetectThread(this, mKmsgPath);
        mKmsgThread->start();
    }
    if (mMonitorThread == nullptr) {
        mMonitorThread = new MonitorThread(this);
        mMonitorThread->start();
    }

    mStartedAt = std::chrono::steady_clock::now();
    mStopped = 0;
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "TARN debug service started");
    return NO_ERROR;
}

void TarnDebugService::publish() {
    if (mServiceName.isEmpty() || mStopped != 0) return;
    status_t status = defaultServiceManager()->addService(String16(mServiceName.string()), this);
    if (status == NO_ERROR) {
        __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Published as %s", mServiceName.string());
    } else {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Cannot publish as %s: %d",
                            mServiceName.string(), status);
    }
}

// Production never destroys the service; tests do, so every worker is woken and joined before
// the object it points back to goes away.
void TarnDebugService::stopWorkers() {
    // The reading side first: the monitor makes no further dump, and once it has shut the
    // channel, senders waiting on a full channel return at once instead of holding the join.
    if (mMonitorThread != nullptr) {
        mMonitorThread->requestExit();
        mMonitorThread->join();
        mMonitorThread->dropQueued();
    }
    if (mLogcatThread != nullptr) {
        mLogcatThread->requestExit();
        mLogcatThread->join();
    }
    if (mKmsgThread != nullptr) {
        mKmsgThread->requestExit();
        mKmsgThread->join();
    }
    if (mLogGCThread != nullptr) {
        mLogGCThread->requestExit();
        mLogGCThread->join();
    }
}

TarnDebugService::~TarnDebugService() {
    pthread_mutex_lock(&mLock);
    bool wasRunning = mStopped != 1;
    if (wasRunning) {
        mStopped = 1;
        __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "TARN debug service stopped");
    }
    pthread_mutex_unlock(&mLock);

    // The workers read the records without a lock: they are joined before the records go.
    stopWorkers();
    pthread_mutex_destroy(&mLock);
}

}  // namespace android::tarnd
