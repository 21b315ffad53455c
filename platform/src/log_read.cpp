// liblog's reader interface on the host: reader lists over the in-process buffers of LogStore.
#include <errno.h>
#include <log/logger.h>
#include <log/logprint.h>
#include <string.h>
#include <tarnd_host/LogStore.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

const timespec log_time::EPOCH = {0, 0};

struct logger {
    struct logger_list* list;
    log_id_t id;
};

struct logger_list {
    int mode;
    log_time start;
    pid_t pid;
    logger* loggers[LOG_ID_MAX] = {};

    // Reader position; one reader at a time, as with the platform's lists.
    uint64_t next = 0;
    bool pastStart = false;  // the start time has been reached

    std::atomic<bool> closing{false};
    std::mutex lock;  // guards readers
    std::condition_variable left;
    int readers = 0;  // threads inside android_logger_list_read
};

namespace {

constexpr const char* kBufferNames[LOG_ID_MAX] = {"main",   "radio", "events",
                                                  "system", "crash", "kernel"};

bool wanted(logger_list* list, const tarnd_host::LogRecord& record) {
    if (record.logId < LOG_ID_MIN || record.logId >= LOG_ID_MAX) return false;
    if (list->loggers[record.logId] == nullptr) return false;
    if (list->pid != 0 && record.pid != list->pid) return false;
    if (!list->pastStart) {
        if (log_time(record.sec, record.nsec) < list->start) return false;
        list->pastStart = true;
    }
    return true;
}

// The layout of the platform's text buffers: priority byte, tag, NUL, message, NUL.
int fill(log_msg* msg, const tarnd_host::LogRecord& record) {
    logger_entry_v3& entry = msg->entry_v3;
    size_t room = LOGGER_ENTRY_MAX_PAYLOAD - 3;
    const size_t tagLen = std::min(record.tag.size(), room);
    room -= tagLen;
    const size_t msgLen = std::min(record.msg.size(), room);

    char* payload = reinterpret_cast<char*>(msg->buf) + sizeof(logger_entry_v3);
    char* p = payload;
    *p++ = static_cast<char>(record.prio);
    memcpy(p, record.tag.data(), tagLen);
    p += tagLen;
    *p++ = '\0';
    memcpy(p, record.msg.data(), msgLen);
    p += msgLen;
    *p++ = '\0';

    entry.len = static_cast<uint16_t>(p - payload);
    entry.hdr_size = sizeof(logger_entry_v3);
    entry.pid = record.pid;
    entry.tid = record.tid;
    entry.sec = static_cast<int32_t>(record.sec);
    entry.nsec = static_cast<int32_t>(record.nsec);
    entry.lid = static_cast<uint32_t>(record.logId);
    return static_cast<int>(sizeof(logger_entry_v3) + entry.len);
}

int readRecord(logger_list* list, log_msg* msg) {
    bool opened = false;
    for (logger* l : list->loggers) opened = opened || l != nullptr;
    if (!opened) return -EINVAL;

    tarnd_host::LogStore& store = tarnd_host::LogStore::instance();
    tarnd_host::LogRecord record;
    for (;;) {
        if (list->closing) return -EBADF;
        if (store.read(list->next, &record)) {
            list->next = record.seq + 1;
            if (wanted(list, record)) return fill(msg, record);
            continue;
        }
        // Blocking without end; the deadline only keeps the clock arithmetic finite.
        store.waitFor(
                list->next, [list] { return list->closing.load(); },
                std::chrono::steady_clock::now() + std::chrono::hours(24));
    }
}

}  // namespace

extern "C" struct logger_list* android_logger_list_alloc_time(int mode, log_time start, pid_t pid) {
    logger_list* list = new logger_list();
    list->mode = mode;
    list->start = start;
    list->pid = pid;
    return list;
}

extern "C" struct logger* android_logger_open(struct logger_list* list, log_id_t id) {
    if (list == nullptr || id < LOG_ID_MIN || id >= LOG_ID_MAX) return nullptr;
    if (list->loggers[id] == nullptr) list->loggers[id] = new logger{list, id};
    return list->loggers[id];
}

extern "C" int android_logger_list_read(struct logger_list* list, struct log_msg* msg) {
    if (list == nullptr || msg == nullptr) return -EINVAL;
    {
        std::lock_guard<std::mutex> lock(list->lock);
        if (list->closing) return -EBADF;
        ++list->readers;
    }
    int result = readRecord(list, msg);
    // Notified under the lock: once a waiting free sees no reader, it deletes the list.
    std::lock_guard<std::mutex> lock(list->lock);
    --list->readers;
    list->left.notify_all();
    return result;
}

extern "C" void android_logger_list_free(struct logger_list* list) {
    if (list == nullptr) return;
    list->closing = true;
    tarnd_host::LogStore::instance().wakeAll();
    {
        std::unique_lock<std::mutex> lock(list->lock);
        list->left.wait(lock, [list] { return list->readers == 0; });
    }
    for (logger* l : list->loggers) delete l;
    delete list;
}

extern "C" log_id_t android_name_to_log_id(const char* logName) {
    if (logName == nullptr) return LOG_ID_MAX;
    const char* slash = strrchr(logName, '/');
    const char* name = slash != nullptr ? slash + 1 : logName;
    for (int id = LOG_ID_MIN; id < LOG_ID_MAX; ++id) {
        if (strcmp(name, kBufferNames[id]) == 0) return static_cast<log_id_t>(id);
    }
    return LOG_ID_MAX;
}

extern "C" int android_log_processLogBuffer(struct logger_entry* buf, AndroidLogEntry* entry) {
    if (buf == nullptr || entry == nullptr) return -1;
    // The later layouts keep their header size where the first one has padding.
    uint16_t hdrSize;
    memcpy(&hdrSize, reinterpret_cast<char*>(buf) + offsetof(logger_entry, __pad), sizeof(hdrSize));
    char* payload = hdrSize != 0 ? reinterpret_cast<char*>(buf) + hdrSize : buf->msg;
    const size_t len = buf->len;
    if (len < 3) return -1;

    char* end = payload + len;
    char* tagEnd = static_cast<char*>(memchr(payload + 1, '\0', len - 1));
    if (tagEnd == nullptr) return -1;
    char* message = tagEnd + 1;
    char* messageEnd = nullptr;
    if (message < end) {
        messageEnd = static_cast<char*>(memchr(message, '\0', end - message));
        if (messageEnd == nullptr) {
            messageEnd = end - 1;
            *messageEnd = '\0';
        }
    } else {
        // The tag's NUL is the record's last byte: an empty message.
        message = tagEnd;
        messageEnd = tagEnd;
    }

    entry->tv_sec = buf->sec;
    entry->tv_nsec = buf->nsec;
    entry->priority = static_cast<android_LogPriority>(static_cast<unsigned char>(payload[0]));
    entry->pid = buf->pid;
    entry->tid = buf->tid;
    entry->tag = payload + 1;
    entry->message = message;
    entry->messageLen = static_cast<size_t>(messageEnd - message);
    return 0;
}
