#pragma once

#include <stdint.h>
#include <utils/Thread.h>

#include "base/Pause.h"

namespace android {

class TarnDebugService;

/// Keeps only the newest dump directories: one collection at start, then one per interval.
class LogGCThread : public Thread {
  public:
    LogGCThread(TarnDebugService* service, int32_t interval);
    virtual ~LogGCThread();

    // Also cuts the pause short, so that the thread can be joined.
    virtual void requestExit();

    TarnDebugService* mService;
    int32_t mInterval;  // seconds between collections

  private:
    virtual status_t readyToRun();
    virtual bool threadLoop();
    virtual void onFirstRef();

    // Between collections; requestExit ends it, also when it comes before the wait.
    InterruptiblePause mPause;
};

}  // namespace android
