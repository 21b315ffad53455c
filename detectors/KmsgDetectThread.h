#pragma once

#include <stdint.h>
#include <utils/Thread.h>

#include "base/Pause.h"
#include "base/UniqueFd.h"

namespace android {

class TarnDebugService;

/// Reads kernel log records from /dev/kmsg and sends the events whose key words they hold.
class KmsgDetectThread : public Thread {
  public:
    KmsgDetectThread(TarnDebugService* service, const char* path);
    virtual ~KmsgDetectThread();

    virtual status_t readyToRun();
    // Also wakes a blocked read, so that the thread can be joined.
    virtual void requestExit();

    TarnDebugService* mService;
    const char* mPath;
    char mBuffer[4096];  // one record and its terminating NUL
    UniqueFd mFd;        // the device; none until readyToRun

  private:
    virtual bool threadLoop();
    virtual void onFirstRef();

    // Handles a read or poll that failed for a reason other than lost records or an interrupt:
    // logs the first of a run once, then pauses, longer each time. False when asked to exit.
    bool pauseAfterFailure(const char* what, const char* reason);

    InterruptiblePause mPause;  // woken by requestExit; also ends a blocked poll
    Backoff mBackoff;           // failures in a row
};

}  // namespace android
