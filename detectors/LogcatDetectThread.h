#pragma once

// The reader interface: logprint.h brings the record types and the list calls in every release.
#include <log/log.h>
#include <log/logprint.h>
#include <pthread.h>
#include <stdint.h>

#include "service/Worker.h"

namespace android::tarnd {

class TarnDebugService;

/// Reads the Android log buffers and sends the events whose key words the messages hold.
class LogcatDetectThread : public Worker {
  public:
    // Sets up the reader list for the four buffers before the thread runs.
    explicit LogcatDetectThread(TarnDebugService* service);
    ~LogcatDetectThread() override;

    // Also wakes a blocked read, so that the thread can be joined.
    void requestExit() override;

    TarnDebugService* mService;
    struct logger_list* mLoggerList;  // owned; freed by the destructor

  private:
    bool threadLoop() override;

    pthread_mutex_t mStateLock;  // guards mClosing and mInRead
    bool mClosing;               // requestExit has run: no further read starts
    bool mInRead;                // a read is running or about to
};

}  // namespace android::tarnd
