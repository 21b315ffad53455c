#include "detectors/LogcatDetectThread.h"

namespace android {

LogcatDetectThread::LogcatDetectThread(TarnDebugService* service)
    : Thread(true), mService(service) {}

LogcatDetectThread::~LogcatDetectThread() {}

void LogcatDetectThread::requestExit() { Thread::requestExit(); }

bool LogcatDetectThread::threadLoop() { return false; }

void LogcatDetectThread::onFirstRef() {}

}  // namespace android
