#pragma once

#include <linux/netlink.h>
#include <poll.h>
#include <stdint.h>
#include <sys/socket.h>

#include <chrono>

#include "base/UniqueFd.h"
#include "events/ChannelReader.h"
#include "service/Worker.h"

namespace android::tarnd {

class TarnDebugService;

/// Waits on the kernel uevent socket and the internal channel, and runs the dump of every event
/// that either selects. It is the only reader of both, so dumps never overlap.
class MonitorThread : public Worker {
  public:
    // Receive buffer: a whole uevent, whose longest form (action@devpath plus the kernel's 2 KiB
    // of variables) stays well below this; the channel is read into it as well.
    static constexpr size_t kMsgBufSize = 8192;
    // Kernel receive buffer asked for the uevent socket: a burst of ordinary uevents arriving
    // while a dump runs must not overflow it.
    static constexpr int kUeventRcvBuf = 1024 * 1024;
    explicit MonitorThread(TarnDebugService* service);

    // Opens the uevent socket. Without one the channel is still served, and the socket is
    // tried again after growing pauses.
    status_t prepare() override;
    // One pass of waiting and receiving; false ends the thread. Tests drive it directly.
    bool threadLoop() override;
    // Interprets mMsgBuf/mMsgSize: true for the internal channel, false for the uevent socket.
    void handleMessage(bool internal);
    // Bookkeeping of failed receives from source (0: uevent socket, 1: internal channel, 2:
    // poll): logs the first error of a streak (and every buffer overrun), and returns how long
    // to pause in milliseconds before the next attempt.
    int noteReceiveError(int source, int err);
    // A receive from source worked: ends its error streak, if any, with one log line.
    void noteReceiveSuccess(int source);
    // After the thread has ended: names still queued in the channel are dropped, and writers
    // that wait on a full channel return at once. Logs how many names were dropped.
    void dropQueued();

    TarnDebugService* mService;
    int mUeventProtocol;  // NETLINK_KOBJECT_UEVENT; tests set one the kernel refuses
    UniqueFd mUeventSocket;
    struct pollfd mPollFds[2];  // 0: uevent socket, 1: read end of the internal channel
    char mMsgBuf[kMsgBufSize];
    int32_t mMsgSize;           // byte count of the last receive
    ChannelReader mChannel;     // keeps a name cut off by the end of a receive
    Backoff mSourceBackoff[2];  // failed receives in a row from the socket and the channel
    int mErrorErrno[3];         // errno of each source's current streak
    // A source whose receives keep failing is not polled before this time.
    std::chrono::steady_clock::time_point mRetryAt[2];

  private:
    // The failure streak of a source; poll's is the worker's own.
    Backoff& backoff(int source) { return source < 2 ? mSourceBackoff[source] : mBackoff; }
    // Creates and binds the uevent socket; logs failures unless quiet. True on success.
    bool openUeventSocket(bool quiet);
    // Receives once from the uevent socket or the channel and handles what came. Returns 0, the
    // errno of a failed receive, or -1 when the channel has been closed.
    int receive(bool internal);

    // Whether the uevent came from the kernel or from root; counts and reports it when not.
    bool trusted(const struct msghdr& msg, const struct sockaddr_nl& sender);

    size_t mDropped;          // names not dumped because exit was requested
    uint64_t mUntrusted;      // uevents from untrusted senders not reported yet
    bool mUntrustedReported;  // such a drop has been reported, at mUntrustedReportedAt
    std::chrono::steady_clock::time_point mUntrustedReportedAt;
};

}  // namespace android::tarnd
