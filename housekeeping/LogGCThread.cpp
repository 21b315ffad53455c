#include "housekeeping/LogGCThread.h"

#include <errno.h>
#include <log/log.h>
#include <time.h>

#include "service/MonotonicPause.h"
#include "service/ScopedPthreadLock.h"
#include "service/TarnDebugService.h"
#include "service/ThreadName.h"

namespace android {

using tarnd::kLogTag;

LogGCThread::LogGCThread(TarnDebugService* service, int32_t interval)
    : Thread(true), mService(service), mInterval(interval) {
    pthread_mutex_init(&mPauseLock, nullptr);
    initMonotonicCond(&mPauseCond);
}

LogGCThread::~LogGCThread() {
    pthread_cond_destroy(&mPauseCond);
    pthread_mutex_destroy(&mPauseLock);
}

void LogGCThread::requestExit() {
    Thread::requestExit();
    ScopedPthreadLock lock(&mPauseLock);
    pthread_cond_broadcast(&mPauseCond);
}

status_t LogGCThread::readyToRun() {
    tarnd::nameThisThread(tarnd::kLogGCThreadName);
    return NO_ERROR;
}

bool LogGCThread::threadLoop() {
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "LogGCThread: Start garbage collection");
    mService->collectGarbage();
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "LogGCThread: Finish garbage collection");
    pause();
    return true;
}

void LogGCThread::pause() {
    struct timespec deadline = monotonicDeadline(static_cast<int64_t>(mInterval) * 1000);
    ScopedPthreadLock lock(&mPauseLock);
    while (!exitPending()) {
        if (pthread_cond_timedwait(&mPauseCond, &mPauseLock, &deadline) == ETIMEDOUT) break;
    }
}

void LogGCThread::onFirstRef() {}

}  // namespace android
