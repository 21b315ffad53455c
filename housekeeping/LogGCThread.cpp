#include "housekeeping/LogGCThread.h"

#include <log/log.h>

#include "service/TarnDebugService.h"
#include "service/ThreadName.h"

namespace android::tarnd {

LogGCThread::LogGCThread(TarnDebugService* service, int32_t interval)
    : Worker(kLogGCThreadName), mService(service), mInterval(interval) {}

bool LogGCThread::threadLoop() {
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "LogGCThread: Start garbage collection");
    mService->collectGarbage();
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "LogGCThread: Finish garbage collection");
    mPause.sleep(static_cast<int64_t>(mInterval) * 1000);
    return true;
}

}  // namespace android::tarnd
