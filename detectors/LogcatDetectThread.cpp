#include "detectors/LogcatDetectThread.h"

#include <errno.h>
#include <log/log.h>
#include <log/logprint.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "base/ScopedPthreadLock.h"
#include "detectors/SendMatchedEvents.h"
#include "service/TarnDebugService.h"
#include "service/ThreadName.h"

namespace android::tarnd {

LogcatDetectThread::LogcatDetectThread(TarnDebugService* service)
    : Worker(kLogcatThreadName),
      mService(service),
      mLoggerList(nullptr),
      mClosing(false),
      mInRead(false) {
    pthread_mutex_init(&mStateLock, nullptr);

    // Mode 0: read-only and blocking. Pid 0: every process; the own records are skipped per
    // record. A failure here shows as reads that fail.
    mLoggerList = android_logger_list_alloc_time(0, log_time(log_time::EPOCH), 0);
    for (const char* path : kLogBufferPaths) {
        android_logger_open(mLoggerList, android_name_to_log_id(path));
    }
}

LogcatDetectThread::~LogcatDetectThread() {
    if (mLoggerList != nullptr) android_logger_list_free(mLoggerList);
    pthread_mutex_destroy(&mStateLock);
}

// Freeing the list here would wake a blocked read, but a read that has passed the closing check
// and not yet begun would then start on freed memory. A record of our own wakes the read either
// way (and is skipped as our own), on the device too; the destructor frees the list once the
// thread has ended.
void LogcatDetectThread::requestExit() {
    bool inRead;
    {
        ScopedPthreadLock lock(&mStateLock);
        mClosing = true;
        inRead = mInRead;
    }
    Worker::requestExit();
    if (inRead) __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Stop logcat detector");
}

bool LogcatDetectThread::threadLoop() {
    {
        ScopedPthreadLock lock(&mStateLock);
        if (mClosing) return false;
        mInRead = true;
    }
    struct log_msg msg;
    int result = android_logger_list_read(mLoggerList, &msg);
    {
        ScopedPthreadLock lock(&mStateLock);
        mInRead = false;
    }
    if (result <= 0) {
        if (result == -EINTR || result == -EAGAIN) return true;
        // Reads that keep failing (the reader list unusable) must not keep a core busy.
        return pauseAfterFailure("Failed to read log buffers: %s",
                                 result < 0 ? strerror(-result) : "end of data");
    }
    mBackoff.reset();

    AndroidLogEntry entry;
    // The raw bytes start with the record header in every release; the union's other members
    // differ between them.
    if (android_log_processLogBuffer(reinterpret_cast<struct logger_entry*>(msg.buf), &entry) < 0) {
        return true;
    }
    // The own records include every "Send msg" line: matching them would feed back.
    if (entry.pid == getpid()) return true;
    if (strcmp(entry.tag, kLogTag) == 0) return true;
    // Only the message: a key word in the tag alone raises nothing.
    sendMatchedEvents(mService, entry.message, TriggerSource::kLogcat);
    return true;
}

}  // namespace android::tarnd
