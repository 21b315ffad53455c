// Host stand-in for liblog's reader interface: reader lists over the in-process log buffers.
#pragma once

#include <log/log.h>
#include <log/log_read.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum log_id {
    LOG_ID_MIN = 0,
    LOG_ID_MAIN = 0,
    LOG_ID_RADIO = 1,
    LOG_ID_EVENTS = 2,
    LOG_ID_SYSTEM = 3,
    LOG_ID_CRASH = 4,
    LOG_ID_KERNEL = 5,
    LOG_ID_MAX
} log_id_t;

// Record headers as the reader delivers them; the payload follows the header.
struct logger_entry {
    uint16_t len;    // payload bytes
    uint16_t __pad;  // header size in the later layouts, 0 in this one
    int32_t pid;
    int32_t tid;
    int32_t sec;
    int32_t nsec;
    char msg[0];
};

struct logger_entry_v2 {
    uint16_t len;
    uint16_t hdr_size;
    int32_t pid;
    int32_t tid;
    int32_t sec;
    int32_t nsec;
    uint32_t euid;
    char msg[0];
};

struct logger_entry_v3 {
    uint16_t len;
    uint16_t hdr_size;
    int32_t pid;
    int32_t tid;
    int32_t sec;
    int32_t nsec;
    uint32_t lid;  // log_id_t of the buffer
    char msg[0];
};

#define LOGGER_ENTRY_MAX_LEN (5 * 1024)
#define LOGGER_ENTRY_MAX_PAYLOAD 4076

/// One raw record: header and payload (priority byte, tag, NUL, message, NUL).
struct log_msg {
    union {
        unsigned char buf[LOGGER_ENTRY_MAX_LEN + 1];
        struct logger_entry_v3 entry;
        struct logger_entry_v3 entry_v3;
        struct logger_entry_v2 entry_v2;
        struct logger_entry entry_v1;
    };
};

struct logger;
struct logger_list;

// A reader list starting at the first record not older than start; pid 0 reads every process.
struct logger_list* android_logger_list_alloc_time(int mode, log_time start, pid_t pid);
// Wakes a read blocked on the list, waits until it has returned, then frees the list and its
// loggers. No read may start on the list once this has been called.
void android_logger_list_free(struct logger_list* logger_list);
// Blocks until a record of an opened buffer is there; returns its size (header and payload) or a
// negative errno: -EINVAL without a list or an opened buffer, -EBADF when the list is freed.
int android_logger_list_read(struct logger_list* logger_list, struct log_msg* log_msg);
// Adds a buffer to the list; null for an unknown id.
struct logger* android_logger_open(struct logger_list* logger_list, log_id_t id);
// The buffer named by logName or by the part of it after its last slash; LOG_ID_MAX if none.
log_id_t android_name_to_log_id(const char* logName);

#ifdef __cplusplus
}
#endif
