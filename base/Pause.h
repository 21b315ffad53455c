#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>

#include "base/UniqueFd.h"

namespace android::tarnd {

// Whole milliseconds from now until the deadline on the monotonic clock, which setting the wall
// clock does not move; negative once it has passed.
inline int64_t msUntil(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now())
            .count();
}

/// A pause that another thread can end at once and for good: the way every worker waits between
/// attempts or collections, so that a stop request never waits for a timer. Its descriptor can
/// also join a thread's poll set, so that the same request ends a wait on other descriptors.
class InterruptiblePause {
  public:
    InterruptiblePause();
    InterruptiblePause(const InterruptiblePause&) = delete;
    InterruptiblePause& operator=(const InterruptiblePause&) = delete;

    // Waits ms milliseconds on the monotonic clock, or less once wake() has run. False when
    // woken: the caller is asked to stop.
    bool sleep(int64_t ms);
    // Ends the current pause and every later one. Safe from any thread, any number of times.
    void wake();
    bool woken() const { return mWoken.load(); }
    // Readable once wake() has run; -1 if it could not be made (sleep then polls nothing and
    // wakes by the flag after the pause).
    int fd() const { return mFd.get(); }

  private:
    UniqueFd mFd;  // eventfd, never drained once written
    std::atomic<bool> mWoken;
};

/// Pauses after failures that repeat: short at first, doubling up to a bound, so that an error
/// that persists neither keeps a core busy nor delays recovery for long.
class Backoff {
  public:
    static constexpr int32_t kFirstMs = 10;
    static constexpr int32_t kLongestMs = 2000;

    // The pause after one more failure. The first failure of a streak gets kFirstMs.
    int32_t next();
    // A success ends the streak; returns how many failures it held.
    int32_t reset();
    int32_t failures() const { return mFailures; }

  private:
    int32_t mFailures = 0;
    int32_t mNextMs = kFirstMs;
};

}  // namespace android::tarnd
