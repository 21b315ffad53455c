#include "housekeeping/LogGCThread.h"

namespace android {

LogGCThread::LogGCThread(TarnDebugService* service, int32_t interval)
    : Thread(true), mService(service), mInterval(interval) {}

LogGCThread::~LogGCThread() {}

void LogGCThread::requestExit() { Thread::requestExit(); }

bool LogGCThread::threadLoop() { return false; }

void LogGCThread::onFirstRef() {}

}  // namespace android
