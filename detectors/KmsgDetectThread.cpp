#include "detectors/KmsgDetectThread.h"

namespace android {

KmsgDetectThread::KmsgDetectThread(TarnDebugService* service, const char* path)
    : Thread(true), mService(service), mPath(path), mBuffer(), mFd(-1) {}

KmsgDetectThread::~KmsgDetectThread() {}

status_t KmsgDetectThread::readyToRun() { return UNKNOWN_ERROR; }

void KmsgDetectThread::requestExit() { Thread::requestExit(); }

bool KmsgDetectThread::threadLoop() { return false; }

void KmsgDetectThread::onFirstRef() {}

}  // namespace android
