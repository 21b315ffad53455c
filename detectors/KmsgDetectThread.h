#pragma once

#include <utils/Thread.h>

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
    char mBuffer[4096];
    int mFd;

  private:
    virtual bool threadLoop();
    virtual void onFirstRef();
};

}  // namespace android
