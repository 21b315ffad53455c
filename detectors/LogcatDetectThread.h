#pragma once

#include <utils/Thread.h>

namespace android {

class TarnDebugService;

/// Reads the Android log buffers and sends the events whose key words the messages hold.
class LogcatDetectThread : public Thread {
  public:
    // Sets up the reader list for the four buffers before the thread runs.
    explicit LogcatDetectThread(TarnDebugService* service);
    virtual ~LogcatDetectThread();

    // Also wakes a blocked read, so that the thread can be joined.
    virtual void requestExit();

    TarnDebugService* mService;

  private:
    virtual bool threadLoop();
    virtual void onFirstRef();
};

}  // namespace android
