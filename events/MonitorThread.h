#pragma once

#include <poll.h>
#include <stdint.h>
#include <utils/Thread.h>

namespace android {

class TarnDebugService;

/// Waits on the kernel uevent socket and the internal channel, and runs the dump of every event
/// that either selects. It is the only reader of both, so dumps never overlap.
class MonitorThread : public Thread {
  public:
    explicit MonitorThread(TarnDebugService* service);
    virtual ~MonitorThread();

    virtual status_t readyToRun();
    // Interprets mMsgBuf/mMsgSize: true for the internal channel, false for the uevent socket.
    void handleMessage(bool internal);

    TarnDebugService* mService;
    int32_t mUeventSocket;
    struct pollfd mPollFds[2];  // 0: uevent socket, 1: read end of the internal channel

  private:
    virtual bool threadLoop();
    virtual void onFirstRef();
};

}  // namespace android
