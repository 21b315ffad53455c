#include "service/Worker.h"

#include <log/log.h>
#include <stdarg.h>

#include "service/DevicePaths.h"
#include "service/ThreadName.h"

namespace android::tarnd {

Worker::Worker(const char* name) : Thread(false), mName(name) {}

status_t Worker::start() { return run(mName, PRIORITY_DEFAULT); }

void Worker::requestExit() {
    Thread::requestExit();
    mPause.wake();
}

status_t Worker::readyToRun() {
    nameThisThread(mName);
    return prepare();
}

bool Worker::pauseAfterFailure(const char* format, ...) {
    if (mBackoff.failures() == 0) {
        va_list args;
        va_start(args, format);
        __android_log_vprint(ANDROID_LOG_ERROR, kLogTag, format, args);
        va_end(args);
    }
    return mPause.sleep(mBackoff.next());
}

}  // namespace android::tarnd
