#pragma once

#include <stdint.h>

#include <chrono>

#include "base/UniqueFd.h"
#include "service/Worker.h"

namespace android::tarnd {

class TarnDebugService;

/// Reads kernel log records from /dev/kmsg and sends the events whose key words they hold.
class KmsgDetectThread : public Worker {
  public:
    KmsgDetectThread(TarnDebugService* service, const char* path);

    // Handles one record read at now: counts the records lost before it from its sequence number,
    // then sends the events whose key words it holds. Tests feed it directly.
    void handleRecord(const char* record, std::chrono::steady_clock::time_point now);

    TarnDebugService* mService;
    const char* mPath;
    char mBuffer[4096];  // one record and its terminating NUL
    UniqueFd mFd;        // the device; none until the thread starts
    bool mHaveSeq;       // a record with a sequence number has been read
    uint64_t mLastSeq;   // sequence number of the last such record
    uint64_t mLost;      // records lost and not reported yet
    bool mLostReported;  // a loss has been reported, at mLostReportedAt
    std::chrono::steady_clock::time_point mLostReportedAt;

  private:
    status_t prepare() override;
    bool threadLoop() override;
};

}  // namespace android::tarnd
