#include "events/MonitorThread.h"

#include <errno.h>
#include <linux/netlink.h>
#include <log/log.h>
#include <pthread.h>
#include <string.h>
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

namespace android::tarnd {

namespace {

enum Source { kUevent = 0, kChannel = 1, kPoll = 2 };

// Uevents from untrusted senders are reported at most this often, summed.
constexpr std::chrono::seconds kUntrustedReportInterval(10);

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
    : Worker(kMonitorThreadName),
      mService(service),
      mUeventProtocol(NETLINK_KOBJECT_UEVENT),
      mUeventSocket(),
      mPollFds(),
      mMsgBuf(),
      mMsgSize(0),
      mChannel(),
      mSourceBackoff(),
      mErrorErrno(),
      mRetryAt(),
      mDropped(0),
      mUntrusted(0),
      mUntrustedReported(false),
      mUntrustedReportedAt() {}

status_t MonitorThread::prepare() {
    mPollFds[kChannel].fd = mService->mSockets[1].get();
    mPollFds[kChannel].events = POLLIN;
    mPollFds[kChannel].revents = 0;
    mPollFds[kUevent].fd = -1;
    mPollFds[kUevent].events = POLLIN;
    mPollFds[kUevent].revents = 0;
    if (!openUeventSocket(false)) {
        // Events from the detectors and binder callers still come through the channel.
        backoff(kUevent).next();
        mRetryAt[kUevent] =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(Backoff::kFirstMs);
    }
    return NO_ERROR;
}

bool MonitorThread::openUeventSocket(bool quiet) {
    struct sockaddr_nl addr;
    memset(&addr, 0, sizeof(addr));
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = static_cast<uint32_t>(pthread_self()) | static_cast<uint32_t>(getpid());
    addr.nl_groups = 0xFFFFFFFF;

    // Close-on-exec: the shells of the handler commands have no business with it.
    UniqueFd fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, mUeventProtocol));
    if (!fd.ok()) {
        int err = errno;
        if (!quiet) {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "failed to create uevent socket, %d",
                                err);
        }
        return false;
    }

    // The sender's credentials come with every message, so that only the kernel and root are
    // believed.
    int on = 1;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0 && !quiet) {
        __android_log_print(ANDROID_LOG_WARN, kLogTag, "setsockopt SO_PASSCRED failed: %s",
                            strerror(errno));
    }

    int size = kUeventRcvBuf;
    int ret = setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
    if (ret != 0) {
        if (!quiet) __android_log_print(ANDROID_LOG_WARN, kLogTag, "setsockopt failed: %d", ret);
        // Without the privilege to force it, as much as the system's limit allows.
        ret = setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        if (ret != 0 && !quiet) {
            __android_log_print(ANDROID_LOG_WARN, kLogTag, "setsockopt failed: %d", ret);
        }
    }

    ret = bind(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    if (ret != 0 && errno == EADDRINUSE && addr.nl_pid != 0) {
        // The port id is only a hint of who we are: another socket of this process may hold it
        // already, so let the kernel choose one.
        if (!quiet) {
            __android_log_print(ANDROID_LOG_WARN, kLogTag,
                                "uevent port id %u in use, letting the kernel choose one",
                                addr.nl_pid);
        }
        addr.nl_pid = 0;
        ret = bind(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    }
    if (ret != 0) {
        int err = errno;
        if (!quiet) {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "failed to bind uevent socket, %d",
                                err);
        }
        return false;
    }

    mUeventSocket = std::move(fd);
    mPollFds[kUevent].fd = mUeventSocket.get();
    return true;
}

bool MonitorThread::threadLoop() {
    // A source that keeps failing rests until its pause is over, so that it cannot keep the
    // thread spinning; the other source is served meanwhile. The third entry wakes the wait when
    // exit is requested.
    struct pollfd fds[3];
    int timeoutMs = -1;
    auto now = std::chrono::steady_clock::now();
    if (mPollFds[kUevent].fd < 0 && now >= mRetryAt[kUevent]) {
        // Quietly: the first failure was logged, and the success ends the streak with a line.
        if (openUeventSocket(true)) {
            noteReceiveSuccess(kUevent);
        } else {
            mRetryAt[kUevent] = now + std::chrono::milliseconds(backoff(kUevent).next());
        }
    }
    for (int i = kUevent; i <= kChannel; ++i) {
        mPollFds[i].revents = 0;
        fds[i] = mPollFds[i];
        if (now < mRetryAt[i] || fds[i].fd < 0) {
            fds[i].fd = -1;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(mRetryAt[i] - now);
            int ms = std::max(1, static_cast<int>(left.count()) + 1);
            timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
        }
    }
    fds[2].fd = mPause.fd();
    fds[2].events = POLLIN;
    fds[2].revents = 0;
    if (poll(fds, 3, timeoutMs) < 0) {
        int ms = noteReceiveError(kPoll, errno);
        if (ms > 0) mPause.sleep(ms);
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
    struct iovec data = {mMsgBuf, sizeof(mMsgBuf) - 1};
    struct sockaddr_nl sender;
    memset(&sender, 0, sizeof(sender));
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct ucred))];
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = &data;
    msg.msg_iovlen = 1;
    if (!internal) {
        msg.msg_name = &sender;
        msg.msg_namelen = sizeof(sender);
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
    }
    ssize_t count = recvmsg(mPollFds[source].fd, &msg, flags);
    if (count < 0) return errno;
    noteReceiveSuccess(source);
    if (!internal && !trusted(msg, sender)) return 0;
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
            // Exit was asked for: what is left is dropped, so that shut-down never waits
            // on queued dumps.
            if (exitPending()) {
                ++mDropped;
                continue;
            }
            mService->dumpEvent(name.name.c_str());
        }
        return;
    }

    std::string value = parseUeventValue(mMsgBuf, count);
    if (!value.empty()) {
        __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Receive uevent: %s", value.c_str());
    }

    // Read whole only when an event needs its variables: most uevents of a system raise nothing.
    Uevent uevent;
    bool parsed = false;
    std::vector<std::string> environment;
    auto parse = [&]() {
        if (parsed) return;
        parsed = true;
        if (parseUevent(mMsgBuf, count, &uevent)) environment = ueventEnvironment(uevent);
    };

    // Once per uevent, however many enabled monitors hold the event and whatever raised it.
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
            for (size_t h = 0; h < event.mUeventHints.size() && !hinted && !value.empty(); ++h) {
                hinted = event.mUeventHints[h] == value.c_str();
            }
            bool matched = false;
            if (!hinted && !event.mMatches.isEmpty()) {
                parse();
                matched = ueventMatches(uevent, event.mMatches);
            }
            if (!hinted && !matched) continue;
            dumped.add(event.mName);
            if (exitPending()) {
                ++mDropped;
                continue;
            }
            parse();
            if (matched) {
                __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Uevent %s matches event %s",
                                    uevent.header.c_str(), event.mName.string());
            }
            mService->noteTrigger(event.mName.string(), TriggerSource::kUevent);
            mService->dumpEvent(event.mName.string(), &environment);
            if (hinted) {
                __android_log_print(ANDROID_LOG_DEBUG, kLogTag,
                                    "Receive uevent, dump log for event: %s", event.mName.string());
            }
        }
    }
}

bool MonitorThread::trusted(const struct msghdr& msg, const struct sockaddr_nl& sender) {
    const struct ucred* cred = nullptr;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr;
         c = CMSG_NXTHDR(const_cast<struct msghdr*>(&msg), c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len >= CMSG_LEN(sizeof(struct ucred))) {
            cred = reinterpret_cast<const struct ucred*>(CMSG_DATA(c));
        }
    }
    // Port 0 is the kernel; a user-space sender always has a port of its own.
    const bool kernel = msg.msg_namelen >= sizeof(sender) && sender.nl_family == AF_NETLINK &&
                        sender.nl_pid == 0;
    if (cred != nullptr && (kernel || cred->uid == 0)) return true;
    ++mUntrusted;
    mService->updateStats([](ServiceStats& s) { ++s.ueventsUntrusted; });
    int uid = cred != nullptr ? static_cast<int>(cred->uid) : -1;
    auto now = std::chrono::steady_clock::now();
    if (!mUntrustedReported || now - mUntrustedReportedAt >= kUntrustedReportInterval) {
        __android_log_print(ANDROID_LOG_WARN, kLogTag,
                            "Dropped %llu uevents from untrusted senders, last from uid %d",
                            static_cast<unsigned long long>(mUntrusted), uid);
        mUntrusted = 0;
        mUntrustedReported = true;
        mUntrustedReportedAt = now;
    }
    return false;
}

int MonitorThread::noteReceiveError(int source, int err) {
    if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK) return 0;
    if (source == kUevent && err == ENOBUFS) {
        // The kernel dropped uevents that found the receive buffer full; the socket goes on.
        mService->updateStats([](ServiceStats& s) { ++s.ueventOverruns; });
        __android_log_print(ANDROID_LOG_WARN, kLogTag,
                            "uevent socket overrun, uevents were lost (%s)", strerror(err));
        return 0;
    }
    if (backoff(source).failures() == 0 || mErrorErrno[source] != err) {
        if (source == kPoll) {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "error poll in monitor thread, %s",
                                strerror(err));
        } else {
            __android_log_print(ANDROID_LOG_ERROR, kLogTag, "error recv from %s, %zd: %s",
                                sourceName(source), static_cast<ssize_t>(-1), strerror(err));
        }
        backoff(source).reset();
        mErrorErrno[source] = err;
    }
    return backoff(source).next();
}

void MonitorThread::noteReceiveSuccess(int source) {
    int failures = backoff(source).reset();
    if (failures == 0) return;
    __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "%s works again after %d failed attempts",
                        sourceName(source), failures);
    mErrorErrno[source] = 0;
}

void MonitorThread::dropQueued() {
    int fd = mService->mSockets[1].get();
    if (fd >= 0) {
        // Writers that wait on a full channel fail at once; what was written stays readable.
        shutdown(fd, SHUT_RD);
        std::vector<ChannelReader::Name> names;
        ssize_t count;
        while ((count = recv(fd, mMsgBuf, sizeof(mMsgBuf) - 1, MSG_DONTWAIT)) > 0) {
            mChannel.feed(mMsgBuf, static_cast<size_t>(count), &names);
        }
        mDropped += names.size();
    }
    if (mDropped > 0) {
        __android_log_print(ANDROID_LOG_DEBUG, kLogTag, "Dropped %zu queued events at shut-down",
                            mDropped);
    }
    mDropped = 0;
}

}  // namespace android::tarnd
