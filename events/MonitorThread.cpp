#include "events/MonitorThread.h"

#include <errno.h>
#include <linux/netlink.h>
#include <log/log.h>
#include <pthread.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utils/String8.h>
#include <utils/Vector.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "events/UeventParser.h"
#include "service/TarnDebugService.h"
#include "service/ThreadName.h"

namespace android {

using tarnd::kLogTag;

namespace {

// Status of a socket set-up that failed; the thread then never loops.
constexpr status_t kSetupFailed = -110;

enum Source { kUevent = 0, kChannel = 1, kPoll = 2 };

constexpr int kMaxErrorCount = 1000000;

const char* sourceName(int source) {
    switch (source) {
        case kUevent:
            return "uevent socket";
        case kChannel:
            return "internal channel";
        default:
            return "poll";
    }
}

}  // namespace

MonitorThread::MonitorThread(TarnDebugService* service)
    : Thread(true),
      mService(service),
      mUeventSocket(-1),
      mPollFds(),
      mMsgBuf(),
      mMsgSize(0),
      mChannel(),
      mErrorCount(),
      mErrorErrno(),
      mRetryAt(),
      mWakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      mWake(false) {}

MonitorThread::~MonitorThread() {
    if (mUeventSocket >= 0) close(mUeventSocket);
    if (mWakeFd >= 0) close(mWakeFd);
}

status_t MonitorThread::readyToRun() {
    tarnd::nameThisThread(tarnd::kMonitorThreadName);
    struct sockaddr_nl addr;
    memset(&addr, 0, sizeof(addr));
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = static_cast<uint32_t>(pthread_self()) | static_cast<uint32_t>(getpid());
    addr.nl_groups = 0xFFFFFFFF;

    // Close-on-exec: the shells of the handler commands have no business with it.
    mUeventSocket = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (mUeventSocket < 0) {
        int err = errno;
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "failed to create uevent socket, %d", err);
        return kSetupFailed;
    }

    int size = kUeventRcvBuf;
    int ret = setsockopt(mUeventSocket, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
    if (ret != 0) {
        __android_log_print(ANDROID_LOG_WARN, kLogTag, "setsockopt failed: %d", ret);
        // Without the privilege to force it, as much as the system's limit allows.
        ret = setsockopt(mUeventSocket, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        if (ret != 0) __android_log_print(ANDROID_LOG_WARN, kLogTag, "setsockopt failed: %d", ret);
    }

    ret = bind(mUeventSocket, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    if (ret != 0 && errno == EADDRINUSE && addr.nl_pid != 0) {
        // The port id is only a hint of who we are: another socket of this process may hold it
        // already, so let the kernel choose one.
        __android_log_print(ANDROID_LOG_WARN, kLogTag,
                            "uevent port id %u in use, letting the kernel choose one", addr.nl_pid);
        addr.nl_pid = 0;
        ret = bind(mUeventSocket, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    }
    if (ret != 0) {
        int err = errno;
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "failed to bind uevent socket, %d", err);
        close(mUeventSocket);
        mUeventSocket = -1;
        return kSetupFailed;
    }

    mPollFds[kUevent].fd = mUeventSocket;
    mPollFds[kUevent].events = POLLIN;
    mPollFds[kUevent].revents = 0;
    mPollFds[kChannel].fd = mService->mSockets[1];
    mPollFds[kChannel].events = POLLIN;
    mPollFds[kChannel].revents = 0;
    return NO_ERROR;
}

bool MonitorThread::threadLoop() {
    // A source that keeps failing rests until its pause is over, so that it cannot keep the
    // thread spinning; the other source is served meanwhile. The third entry wakes the wait when
    // exit is requested.
    struct pollfd fds[3];
    int timeoutMs = -1;
    auto now = std::chrono::steady_clock::now();
    for (int i = kUevent; i <= kChannel; ++i) {
        mPollFds[i].revents = 0;
        fds[i] = mPollFds[i];
        if (now < mRetryAt[i]) {
            fds[i].fd = -1;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(mRetryAt[i] - now);
            int ms = static_cast<int>(left.count()) + 1;
            timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
        }
    }
    fds[2].fd = mWakeFd;
    fds[2].events = POLLIN;
    fds[2].revents = 0;
    if (poll(fds, 3, timeoutMs) < 0) {
        int ms = noteReceiveError(kPoll, errno);
        if (ms > 0) pause(ms);
        return true;
    }
    noteReceiveSuccess(kPoll);
    if (fds[2].revents & POLLIN) return true;  // the caller sees the exit request

    for (int i = kUevent; i <= kChannel; ++i) {
        short revents = fds[i].revents;
        mPollFds[i].revents = revents;
        int err = 0;
        if (revents & POLLNVAL) {
            err = EBADF;
        } else if (revents & (POLLIN | POLLERR | POLLHUP)) {
            // An error or a hang-up is collected by the receive as well.
            err = receive(i == kChannel);
            if (err < 0) return false;
        }
        if (err > 0) {
            int ms = noteReceiveError(i, err);
            if (ms > 0)
                mRetryAt[i] = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        }
    }
    return true;
}

int MonitorThread::receive(bool internal) {
    int source = internal ? kChannel : kUevent;
    // With MSG_TRUNC netlink reports a datagram's whole length, so that a cut is noticed.
    int flags = MSG_DONTWAIT | (internal ? 0 : MSG_TRUNC);
    ssize_t count =
            recvfrom(mPollFds[source].fd, mMsgBuf, sizeof(mMsgBuf) - 1, flags, nullptr, nullptr);
    if (count < 0) return errno;
    noteReceiveSuccess(source);
    if (count == 0) {
        // An empty datagram carries no uevent; only the closed channel ends the thread.
        if (!internal) return 0;
        mMsgSize = 0;
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "error recv from monitor thread, %zd",
                            count);
        return -1;
    }
    if (static_cast<size_t>(count) > sizeof(mMsgBuf) - 1) {
        __android_log_print(ANDROID_LOG_WARN, kLogTag, "uevent of %zd bytes cut to %zu bytes",
                            count, sizeof(mMsgBuf) - 1);
        count = sizeof(mMsgBuf) - 1;
    }
    mMsgSize = static_cast<int32_t>(count);
    handleMessage(internal);
    return 0;
}

void MonitorThread::handleMessage(bool internal) {
    // Only a positive count is a length.
    if (mMsgSize <= 0) return;
    size_t count = std::min(static_cast<size_t>(mMsgSize), sizeof(mMsgBuf) - 1);
    mMsgBuf[count] = '\0';

    if (internal) {
        std::vector<ChannelReader::Name> names;
        size_t dropped = mChannel.feed(mMsgBuf, count, &names);
        for (size_t i = 0; i < dropped; ++i) {
            __android_log_print(ANDROID_LOG_WARN, kLogTag,
                                "Drop internal event name longer than %zu bytes",
                                ChannelReader::kMaxNameLength);
        }
        for (const ChannelReader::Name& name : names) {
            if (!name.first) {
                __android_log_print(ANDROID_LOG_DEBUG, kLogTag,
                                    "Receive internal event: %s, curSize: %d, mMsgSize: %d",
                                    name.name.c_str(), name.curSize, name.msgSize);
            }
            mService->dumpEvent(name.name.c_str());
        }
        return;
    }

    std::string value = parseUeventValue(mMsgBuf, count);
    if (value.empty()) return;
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Receive uevent: %s", value.c_str());

    // Once per uevent, however many enabled monitors hold the event.
    Vector<String8> dumped;
    const Vector<TarnDebugService::Monitor>& monitors = mService->mMonitors;
    for (size_t m = 0; m < monitors.size(); ++m) {
        const TarnDebugService::Monitor& monitor = monitors[m];
        if (!monitor.mEnabled) continue;
        for (size_t e = 0; e < monitor.mEvents.size(); ++e) {
            const TarnDebugService::Event& event = monitor.mEvents[e];
            bool seen = false;
            for (size_t d = 0; d < dumped.size() && !seen; ++d) seen = dumped[d] == event.mName;
            if (seen) continue;
            bool hinted = false;
            for (size_t h = 0; h < event.mUeventHints.size() && !hinted; ++h) {
                hinted = event.mUeventHints[h] == value.c_str();
            }
            if (!hinted) continue;
            dumped.add(event.mName);
            mService->dumpEvent(event.mName.string());
            __android_log_print(ANDROID_LOG_DEBUG, kLogTag,
                                "Receive uevent, dump log for event: %s", event.mName.string());
        }
    }
}

int MonitorThread::noteReceiveError(int source, int err) {
    if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK) return 0;
    if (source == kUevent && err == ENOBUFS) {
        // The kernel dropped uevents that found the receive buffer full; the socket goes on.
        __android_log_print(ANDROID_LOG_WARN, kLogTag,
                            "uevent socket overrun, uevents were lost (%s)", strerror(err));
        return 0;
    }
    if (mErrorCount[source] == 0 || mErrorErrno[source] != err) {
        if (source == kPoll) {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "error poll in monitor thread, %s",
                                strerror(err));
        } else {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "error recv from %s, %zd: %s",
                                sourceName(source), static_cast<ssize_t>(-1), strerror(err));
        }
        mErrorCount[source] = 0;
        mErrorErrno[source] = err;
    }
    // The count stops growing long after the pause has reached its longest.
    if (mErrorCount[source] < kMaxErrorCount) ++mErrorCount[source];
    int shift = std::min(mErrorCount[source] - 1, 10);
    return std::min(kFirstErrorPauseMs << shift, kMaxErrorPauseMs);
}

void MonitorThread::noteReceiveSuccess(int source) {
    if (mErrorCount[source] == 0) return;
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "%s works again after %d failed attempts",
                        sourceName(source), mErrorCount[source]);
    mErrorCount[source] = 0;
    mErrorErrno[source] = 0;
}

void MonitorThread::pause(int ms) {
    std::unique_lock<std::mutex> lock(mPauseLock);
    mPauseCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return mWake; });
}

void MonitorThread::requestExit() {
    Thread::requestExit();
    {
        std::lock_guard<std::mutex> lock(mPauseLock);
        mWake = true;
    }
    mPauseCond.notify_all();
    if (mWakeFd >= 0) {
        uint64_t one = 1;
        ssize_t ignored = write(mWakeFd, &one, sizeof(one));
        (void)ignored;
    }
}

void MonitorThread::onFirstRef() {}

}  // namespace android
