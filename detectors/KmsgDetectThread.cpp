#include "detectors/KmsgDetectThread.h"

#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "detectors/SendMatchedEvents.h"
#include "service/TarnDebugService.h"
#include "service/ThreadName.h"

namespace android {

using tarnd::kLogTag;

namespace {

// A device that keeps failing (or a stand-in file at its end) must not keep a core busy.
constexpr int32_t kFirstPauseMs = 10;
constexpr int32_t kLongestPauseMs = 5000;

}  // namespace

KmsgDetectThread::KmsgDetectThread(TarnDebugService* service, const char* path)
    : Thread(true),
      mService(service),
      mPath(path),
      mBuffer(),
      mFd(-1),
      mWake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      mPauseMs(0) {
    if (mWake.get() < 0) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag,
                            "Failed to create wake-up descriptor for %s: %s", mPath,
                            strerror(errno));
    }
}

KmsgDetectThread::~KmsgDetectThread() {
    if (mFd >= 0) close(mFd);
}

status_t KmsgDetectThread::readyToRun() {
    tarnd::nameThisThread(tarnd::kKmsgThreadName);
    mFd = open(mPath, O_RDONLY | O_CLOEXEC);  // handlers' shells need not inherit it
    return mFd >= 0 ? NO_ERROR : UNKNOWN_ERROR;
}

void KmsgDetectThread::requestExit() {
    Thread::requestExit();
    if (mWake.get() >= 0) {
        // Never drained: every later poll returns at once too.
        uint64_t one = 1;
        ssize_t written = write(mWake.get(), &one, sizeof(one));
        (void)written;
    }
}

bool KmsgDetectThread::threadLoop() {
    struct pollfd fds[2] = {{mFd, POLLIN, 0}, {mWake.get(), POLLIN, 0}};
    const nfds_t count = mWake.get() >= 0 ? 2 : 1;
    if (poll(fds, count, -1) < 0) {
        if (errno == EINTR) return true;
        return pauseAfterFailure("poll", strerror(errno));
    }
    if (count == 2 && fds[1].revents != 0) return false;

    // One record per read; the last byte is kept for the terminator.
    ssize_t size = read(mFd, mBuffer, sizeof(mBuffer) - 1);
    if (size > 0) {
        mPauseMs = 0;
        mBuffer[size] = '\0';
        sendMatchedEvents(mService, mBuffer);
        return true;
    }
    if (size < 0) {
        // EPIPE: records were overwritten before they were read; the next read goes on after them.
        if (errno == EPIPE || errno == EAGAIN || errno == EINTR) return true;
        return pauseAfterFailure("read", strerror(errno));
    }
    return pauseAfterFailure("read", "end of file");
}

bool KmsgDetectThread::pauseAfterFailure(const char* what, const char* reason) {
    if (mPauseMs == 0) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag, "Failed to %s %s: %s", what, mPath, reason);
        mPauseMs = kFirstPauseMs;
    }
    struct pollfd wake = {mWake.get(), POLLIN, 0};
    const int woken = poll(&wake, mWake.get() >= 0 ? 1 : 0, mPauseMs);
    mPauseMs = std::min(mPauseMs * 2, kLongestPauseMs);
    return woken <= 0;
}

void KmsgDetectThread::onFirstRef() {}

}  // namespace android
