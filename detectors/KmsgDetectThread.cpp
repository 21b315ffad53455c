#include "detectors/KmsgDetectThread.h"

#include <errno.h>
#include <fcntl.h>
#include <log/log.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "detectors/SendMatchedEvents.h"
#include "service/TarnDebugService.h"
#include "service/ThreadName.h"

namespace android::tarnd {

namespace {

// Lost records are reported at most this often, summed, so that a storm cannot flood the log.
constexpr std::chrono::seconds kLostReportInterval(10);

// The sequence number of a record "prio,seq,time,flags;text". False for a piece without that
// prefix, such as the rest of a record longer than the buffer.
bool recordSeq(const char* record, uint64_t* seq) {
    char* end = nullptr;
    strtoul(record, &end, 10);
    if (end == record || *end != ',') return false;
    const char* start = end + 1;
    unsigned long long value = strtoull(start, &end, 10);
    if (end == start || *end != ',') return false;
    *seq = value;
    return true;
}

}  // namespace

KmsgDetectThread::KmsgDetectThread(TarnDebugService* service, const char* path)
    : Worker(kKmsgThreadName),
      mService(service),
      mPath(path),
      mBuffer(),
      mFd(),
      mHaveSeq(false),
      mLastSeq(0),
      mLost(0),
      mLostReported(false),
      mLostReportedAt() {
    if (mPause.fd() < 0) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag,
                            "Failed to create wake-up descriptor for %s: %s", mPath,
                            strerror(errno));
    }
}

status_t KmsgDetectThread::prepare() {
    mFd.reset(open(mPath, O_RDONLY | O_CLOEXEC));  // handlers' shells need not inherit it
    return mFd.ok() ? NO_ERROR : UNKNOWN_ERROR;
}

bool KmsgDetectThread::threadLoop() {
    struct pollfd fds[2] = {{mFd.get(), POLLIN, 0}, {mPause.fd(), POLLIN, 0}};
    const nfds_t count = mPause.fd() >= 0 ? 2 : 1;
    if (poll(fds, count, -1) < 0) {
        if (errno == EINTR) return true;
        return pauseAfterFailure("Failed to poll %s: %s", mPath, strerror(errno));
    }
    if (count == 2 && fds[1].revents != 0) return false;

    // One record per read; the last byte is kept for the terminator.
    ssize_t size = read(mFd.get(), mBuffer, sizeof(mBuffer) - 1);
    if (size > 0) {
        mBackoff.reset();
        mBuffer[size] = '\0';
        handleRecord(mBuffer, std::chrono::steady_clock::now());
        return true;
    }
    if (size < 0) {
        // EPIPE: records were overwritten before they were read; the next read goes on after them.
        if (errno == EPIPE || errno == EAGAIN || errno == EINTR) return true;
        return pauseAfterFailure("Failed to read %s: %s", mPath, strerror(errno));
    }
    return pauseAfterFailure("Failed to read %s: end of file", mPath);
}

void KmsgDetectThread::handleRecord(const char* record, std::chrono::steady_clock::time_point now) {
    uint64_t seq;
    if (recordSeq(record, &seq)) {
        // The kernel numbers its records one by one; what the numbering skips was overwritten
        // before this reader got to it. The first record gives only the starting point.
        if (mHaveSeq && seq > mLastSeq + 1) mLost += seq - mLastSeq - 1;
        mHaveSeq = true;
        mLastSeq = seq;
        if (mLost > 0 && (!mLostReported || now - mLostReportedAt >= kLostReportInterval)) {
            __android_log_print(ANDROID_LOG_WARN, kLogTag,
                                "%llu kernel log records were overwritten before they were read",
                                static_cast<unsigned long long>(mLost));
            mLost = 0;
            mLostReported = true;
            mLostReportedAt = now;
        }
    }
    sendMatchedEvents(mService, record);
}

}  // namespace android::tarnd
