#pragma once

#include <poll.h>
#include <stdint.h>
#include <utils/Thread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "events/ChannelReader.h"

namespace android {

class TarnDebugService;

/// Waits on the kernel uevent socket and the internal channel, and runs the dump of every event
/// that either selects. It is the only reader of both, so dumps never overlap.
class MonitorThread : public Thread {
  public:
    // Receive buffer: a whole uevent, whose longest form (action@devpath plus the kernel's 2 KiB
    // of variables) stays well below this; the channel is read into it as well.
    static constexpr size_t kMsgBufSize = 8192;
    // Kernel receive buffer asked for the uevent socket: a burst of ordinary uevents arriving
    // while a dump runs must not overflow it.
    static constexpr int kUeventRcvBuf = 1024 * 1024;
    // Pauses after failed receives grow from the first to the longest, so that an error that
    // persists does not keep the thread spinning.
    static constexpr int kFirstErrorPauseMs = 10;
    static constexpr int kMaxErrorPauseMs = 2000;

    explicit MonitorThread(TarnDebugService* service);
    // Closes the uevent socket.
    virtual ~MonitorThread();

    virtual status_t readyToRun();
    // One pass of waiting and receiving; false ends the thread. Tests drive it directly.
    virtual bool threadLoop();
    // Also cuts an error pause short, so that the thread can be joined.
    virtual void requestExit();
    // Interprets mMsgBuf/mMsgSize: true for the internal channel, false for the uevent socket.
    void handleMessage(bool internal);
    // Bookkeeping of failed receives from source (0: uevent socket, 1: internal channel, 2:
    // poll): logs the first error of a streak (and every buffer overrun), and returns how long
    // to pause in milliseconds before the next attempt.
    int noteReceiveError(int source, int err);
    // A receive from source worked: ends its error streak, if any, with one log line.
    void noteReceiveSuccess(int source);

    TarnDebugService* mService;
    int32_t mUeventSocket;
    struct pollfd mPollFds[2];  // 0: uevent socket, 1: read end of the internal channel
    char mMsgBuf[kMsgBufSize];
    int32_t mMsgSize;        // byte count of the last receive
    ChannelReader mChannel;  // keeps a name cut off by the end of a receive
    int mErrorCount[3];      // failed receives in a row, per source
    int mErrorErrno[3];      // errno of each source's current streak
    // A source whose receives keep failing is not polled before this time.
    std::chrono::steady_clock::time_point mRetryAt[2];

  private:
    virtual void onFirstRef();
    // Receives once from the uevent socket or the channel and handles what came. Returns 0, the
    // errno of a failed receive, or -1 when the channel has been closed.
    int receive(bool internal);
    // Waits up to ms milliseconds, or until exit is requested.
    void pause(int ms);

    int mWakeFd;  // made readable by requestExit, to end a wait in poll
    std::mutex mPauseLock;
    std::condition_variable mPauseCond;
    bool mWake;  // set by requestExit, under mPauseLock
};

}  // namespace android
