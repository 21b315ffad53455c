#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <limits>

namespace android {

// Pauses are timed on the monotonic clock, so that setting the wall clock neither ends them early
// nor stretches them.
inline void initMonotonicCond(pthread_cond_t* cond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}

// The monotonic time ms from now, for pthread_cond_timedwait. time_t is 32 bits on 32-bit
// Android: a deadline beyond it is held at its last second instead of wrapping into the past.
inline struct timespec monotonicDeadline(int64_t ms) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    if (ms <= 0) return deadline;
    int64_t seconds = ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        ++seconds;
        deadline.tv_nsec -= 1000000000L;
    }
    if (seconds > static_cast<int64_t>(std::numeric_limits<time_t>::max() - deadline.tv_sec)) {
        deadline.tv_sec = std::numeric_limits<time_t>::max();
    } else {
        deadline.tv_sec += static_cast<time_t>(seconds);
    }
    return deadline;
}

}  // namespace android
