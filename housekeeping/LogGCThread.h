#pragma once

#include <pthread.h>
#include <stdint.h>
#include <utils/Thread.h>

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

    // Waits mInterval seconds on the monotonic clock, or less when exit is requested.
    void pause();

    // The pause waits on mPauseCond under mPauseLock; requestExit signals it under the same lock,
    // so that a request made just before the wait is not lost.
    pthread_mutex_t mPauseLock;
    pthread_cond_t mPauseCond;  // on CLOCK_MONOTONIC: setting the wall clock moves no deadline
};

}  // namespace android
