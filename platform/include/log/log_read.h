// Host stand-in for liblog's reader time stamp.
#pragma once

#include <stdint.h>
#include <time.h>

#ifdef __cplusplus

/// A log record's wall-clock time, as the reader interface takes and gives it.
struct log_time {
  public:
    uint32_t tv_sec;
    uint32_t tv_nsec;

    log_time() : tv_sec(0), tv_nsec(0) {}
    log_time(uint32_t sec, uint32_t nsec) : tv_sec(sec), tv_nsec(nsec) {}
    // Implicit, so that EPOCH can initialise a log_time.
    log_time(const timespec& t)
        : tv_sec(static_cast<uint32_t>(t.tv_sec)), tv_nsec(static_cast<uint32_t>(t.tv_nsec)) {}

    // The start of every buffer's retained history.
    static const timespec EPOCH;

    bool operator==(const log_time& o) const { return tv_sec == o.tv_sec && tv_nsec == o.tv_nsec; }
    bool operator!=(const log_time& o) const { return !(*this == o); }
    bool operator<(const log_time& o) const {
        return tv_sec != o.tv_sec ? tv_sec < o.tv_sec : tv_nsec < o.tv_nsec;
    }
};

#else

typedef struct log_time {
    uint32_t tv_sec;
    uint32_t tv_nsec;
} log_time;

#endif
