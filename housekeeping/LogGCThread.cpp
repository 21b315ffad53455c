#include "housekeeping/LogGCThread.h"

#include <log/log.h>

#include "service/TarnDebugService.h"
#include "service/ThreadName.h"

namespace android {

using tarnd::kLogTag;

LogGCThread::LogGCThread(TarnDebugService* service, int32_t interval)
    : Thread(true), mService(service), mInterval(interval) {}

LogGCThread::~LogGCThread() {}

void LogGCThread::requestExit() {
    Thread::requestExit();
    mPause.wake();
}

status_t LogGCThread::readyToRun() {
    tarnd::nameThisThread(tarnd::kLogGCThreadName);
    return NO_ERROR;
}

bool LogGCThread::threadLoop() {
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "LogGCThread: Start garbage collection");
    mService->collectGarbage();
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "LogGCThread: Finish garbage collection");
    mPause.sleep(static_cast<int64_t>(mInterval) * 1000);
    return true;
}

void LogGCThread::onFirstRef() {}

}  // namespace android
