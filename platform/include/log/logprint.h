// Host stand-in for liblog's record parser.
#pragma once

#include <android/log.h>
#include <log/logger.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/// A parsed record; tag and message point into the raw record.
typedef struct AndroidLogEntry_t {
    time_t tv_sec;
    long tv_nsec;
    android_LogPriority priority;
    int32_t pid;
    int32_t tid;
    const char* tag;
    size_t messageLen;
    const char* message;
} AndroidLogEntry;

// Splits a text record into its fields; 0 on success, -1 when it is malformed. A message without
// a terminating NUL is terminated in place on the record's last byte.
int android_log_processLogBuffer(struct logger_entry* buf, AndroidLogEntry* entry);

#ifdef __cplusplus
}
#endif
