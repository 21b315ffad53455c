#include "events/MonitorThread.h"

#include <unistd.h>

namespace android {

MonitorThread::MonitorThread(TarnDebugService* service)
    : Thread(true), mService(service), mUeventSocket(-1), mPollFds() {}

MonitorThread::~MonitorThread() {
    if (mUeventSocket >= 0) close(mUeventSocket);
}

status_t MonitorThread::readyToRun() { return UNKNOWN_ERROR; }

void MonitorThread::handleMessage(bool) {}

bool MonitorThread::threadLoop() { return false; }

void MonitorThread::onFirstRef() {}

}  // namespace android
