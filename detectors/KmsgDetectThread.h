#pragma once

#include <stdint.h>

#include <chrono>
#include <string>

#include "base/UniqueFd.h"
#include "detectors/KmsgPosition.h"
#include "service/Worker.h"

namespace android::tarnd {

class TarnDebugService;

/// Reads kernel log records from /dev/kmsg and sends the events whose key words they hold.
class KmsgDetectThread : public Worker {
  public:
    KmsgDetectThread(TarnDebugService* service, const char* path);

    // The longest record the kernel formats; a smaller buffer makes the read fail for good.
    static constexpr size_t kMaxRecordSize = 8192;

    // Handles one record read at now: counts the records lost before it from its sequence number,
    // then sends the events whose key words it holds, unless an earlier run of this boot already
    // handled it. Tests feed it directly.
    void handleRecord(const char* record, std::chrono::steady_clock::time_point now);
    // Writes the position of the last record handled, when it moved since the last write and
    // force is set or kKmsgPositionSaveMs have passed. Returns the milliseconds until a write
    // that is due, or -1 when none is.
    int savePosition(std::chrono::steady_clock::time_point now, bool force);

    TarnDebugService* mService;
    const char* mPath;
    char mBuffer[kMaxRecordSize + 1];  // one record and its terminating NUL
    UniqueFd mFd;                      // the device; none until the thread starts
    bool mHaveSeq;                     // a record with a sequence number has been read
    uint64_t mLastSeq;                 // sequence number of the last such record
    uint64_t mLost;                    // records lost and not reported yet
    bool mLostReported;                // a loss has been reported, at mLostReportedAt
    std::chrono::steady_clock::time_point mLostReportedAt;
    std::string mPositionPath;  // empty: positions are neither read nor kept
    KmsgPosition mPosition;     // boot and last record handled; bootId empty: unknown boot
    bool mResuming;             // records up to mResumeAfter were handled by an earlier run
    uint64_t mResumeAfter;
    bool mSkipping;      // the current record is one of those
    uint64_t mSavedSeq;  // sequence number in the file
    std::chrono::steady_clock::time_point mSavedAt;

  private:
    status_t prepare() override;
    bool threadLoop() override;
    // One wait and one read; false when the thread is to end.
    bool readOnce();
};

}  // namespace android::tarnd
