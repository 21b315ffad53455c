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
      mLostReportedAt(),
      mResuming(false),
      mResumeAfter(0),
      mSkipping(false),
      mSavedSeq(0),
      mSavedAt() {
    if (mPause.fd() < 0) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag,
                            "Failed to create wake-up descriptor for %s: %s", mPath,
                            strerror(errno));
    }
}

status_t KmsgDetectThread::prepare() {
    mFd.reset(open(mPath, O_RDONLY | O_CLOEXEC));  // handlers' shells need not inherit it
    if (!mFd.ok()) return UNKNOWN_ERROR;
    // A restart within the same boot goes on after the last record handled before it.
    if (mService->mLogDumpPath.length() > 0) {
        mPositionPath = String8::format("%s/%s", mService->mLogDumpPath.string(), kKmsgPositionName)
                                .string();
        mPosition.bootId = currentBootId();
        KmsgPosition saved;
        if (!mPosition.bootId.empty() && loadKmsgPosition(mPositionPath, &saved) &&
            saved.bootId == mPosition.bootId) {
            mResuming = true;
            mResumeAfter = mSavedSeq = mPosition.seq = saved.seq;
            __android_log_print(ANDROID_LOG_DEBUG, kLogTag,
                                "Kernel log read on after record %llu of this boot",
                                static_cast<unsigned long long>(saved.seq));
        }
    }
    return NO_ERROR;
}

int KmsgDetectThread::savePosition(std::chrono::steady_clock::time_point now, bool force) {
    if (mPositionPath.empty() || mPosition.bootId.empty() || mPosition.seq == mSavedSeq) return -1;
    auto due = mSavedAt + std::chrono::milliseconds(kKmsgPositionSaveMs);
    if (!force && now < due) {
        return static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1);
    }
    if (!saveKmsgPosition(mPositionPath, mPosition)) {
        __android_log_print(ANDROID_LOG_ERROR, kLogTag,
                            "Failed to keep kernel log position in %s: %s", mPositionPath.c_str(),
                            strerror(errno));
    }
    // Tried once a period either way: a full disk must not cost a write per record.
    mSavedSeq = mPosition.seq;
    mSavedAt = now;
    return -1;
}

bool KmsgDetectThread::threadLoop() {
    bool more = readOnce();
    // A stop keeps the position of the last record handled, whichever way the loop ends.
    if (!more || exitPending()) savePosition(std::chrono::steady_clock::now(), true);
    return more;
}

bool KmsgDetectThread::readOnce() {
    struct pollfd fds[2] = {{mFd.get(), POLLIN, 0}, {mPause.fd(), POLLIN, 0}};
    const nfds_t count = mPause.fd() >= 0 ? 2 : 1;
    int ready = poll(fds, count, savePosition(std::chrono::steady_clock::now(), false));
    if (ready < 0) {
        if (errno == EINTR) return true;
        return pauseAfterFailure("Failed to poll %s: %s", mPath, strerror(errno));
    }
    if (ready == 0) return true;  // the position is written on the next pass
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
        // A record the buffer cannot hold is never passed by reading: the reader moves to the
        // end, and what it passed counts as lost.
        if (errno == EINVAL && lseek(mFd.get(), 0, SEEK_END) >= 0) {
            __android_log_print(ANDROID_LOG_WARN, kLogTag,
                                "Kernel log record longer than %zu bytes, reading on at the end",
                                kMaxRecordSize);
            return true;
        }
        return pauseAfterFailure("Failed to read %s: %s", mPath, strerror(errno));
    }
    return pauseAfterFailure("Failed to read %s: end of file", mPath);
}

void KmsgDetectThread::handleRecord(const char* record, std::chrono::steady_clock::time_point now) {
    uint64_t seq;
    if (recordSeq(record, &seq)) {
        // The kernel numbers its records one by one; what the numbering skips was overwritten
        // before this reader got to it. The first record gives only the starting point.
        if (mHaveSeq && seq > mLastSeq + 1) {
            const uint64_t lost = seq - mLastSeq - 1;
            mLost += lost;
            mService->updateStats([lost](ServiceStats& s) { s.kmsgLost += lost; });
        }
        mHaveSeq = true;
        mLastSeq = seq;
        mSkipping = mResuming && seq <= mResumeAfter;
        if (!mSkipping) mPosition.seq = seq;
        if (mLost > 0 && (!mLostReported || now - mLostReportedAt >= kLostReportInterval)) {
            __android_log_print(ANDROID_LOG_WARN, kLogTag,
                                "%llu kernel log records were overwritten before they were read",
                                static_cast<unsigned long long>(mLost));
            mLost = 0;
            mLostReported = true;
            mLostReportedAt = now;
        }
    }
    if (!mSkipping) sendMatchedEvents(mService, record, TriggerSource::kKmsg);
}

}  // namespace android::tarnd
