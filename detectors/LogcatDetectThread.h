#pragma once

// The reader interface: logprint.h brings the record types and the list calls in every release.
#include <log/log.h>
#include <log/logprint.h>
#include <pthread.h>
#include <stdint.h>
#include <utils/Thread.h>

#include "base/Pause.h"

namespace android {

class TarnDebugService;

/// Reads the Android log buffers and sends the events whose key words the messages hold.
class LogcatDetectThread : public Thread {
  public:
    // Sets up the reader list for the four buffers before the thread runs.
    explicit LogcatDetectThread(TarnDebugService* service);
    virtual ~LogcatDetectThread();

    // Also wakes a blocked read or pause, so that the thread can be joined.
    virtual void requestExit();

    struct logger* mLoggers[4];  // one per entry of mLogPaths; not used after construction
    const char* mLogPaths[4];
    TarnDebugService* mService;
    struct logger_list* mLoggerList;  // owned; freed by the destructor
    log_time mStartTime;

  private:
    virtual status_t readyToRun();
    virtual bool threadLoop();
    virtual void onFirstRef();

    // Handles a read that failed for a reason other than an interrupt: logs the first of a run
    // once, then pauses, longer each time. False when asked to exit.
    bool pauseAfterFailure(int result);

    pthread_mutex_t mStateLock;  // guards mClosing and mInRead
    bool mClosing;               // requestExit has run: no further read starts
    bool mInRead;                // a read is running or about to
    InterruptiblePause mPause;   // woken by requestExit
    Backoff mBackoff;            // failed reads in a row
};

}  // namespace android
