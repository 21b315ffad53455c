#include "housekeeping/LogGCThread.h"

#include <errno.h>
#include <log/log.h>
#include <time.h>

#include <limits>

#include "service/ScopedPthreadLock.h"
#include "service/TarnDebugService.h"

namespace android {

using tarnd::kLogTag;

LogGCThread::LogGCThread(TarnDebugService* service, int32_t interval)
    : Thread(true), mService(service), mInterval(interval) {
    pthread_mutex_init(&mPauseLock, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&mPauseCond, &attr);
    pthread_condattr_destroy(&attr);
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

bool LogGCThread::threadLoop() {
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "LogGCThread: Start garbage collection");
    mService->collectGarbage();
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "LogGCThread: Finish garbage collection");
    pause();
    return true;
}

void LogGCThread::pause() {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    if (mInterval > 0) {
        // time_t is 32 bits on 32-bit Android: an absurd interval must not wrap into the past.
        if (deadline.tv_sec > std::numeric_limits<time_t>::max() - mInterval) {
            deadline.tv_sec = std::numeric_limits<time_t>::max();
        } else {
            deadline.tv_sec += mInterval;
        }
    }
    ScopedPthreadLock lock(&mPauseLock);
    while (!exitPending()) {
        if (pthread_cond_timedwait(&mPauseCond, &mPauseLock, &deadline) == ETIMEDOUT) break;
    }
}

void LogGCThread::onFirstRef() {}

}  // namespace android
