#pragma once

#include <stdint.h>
#include <utils/Thread.h>

#include <chrono>

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
    // Handles one record read at now: counts the records lost before it from its sequence number,
    // then sends the events whose key words it holds. Tests feed it directly.
    void handleRecord(const char* record, std::chrono::steady_clock::time_point now);

    TarnDebugService* mService;
    const char* mPath;
    char mBuffer[4096];  // one record and its terminating NUL
    UniqueFd mFd;        // the device; none until readyToRun
    bool mHaveSeq;       // a record with a sequence number has been read
    uint64_t mLastSeq;   // sequence number of the last such record
    uint64_t mLost;      // records lost and not reported yet
    bool mLostReported;  // a loss has been reported, at mLostReportedAt
    std::chrono::steady_clock::time_point mLostReportedAt;

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
