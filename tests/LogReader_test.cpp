// The host's liblog reader interface over the in-process buffers.
#include <errno.h>
#include <gtest/gtest.h>
#include <log/log.h>
#include <log/log_read.h>
#include <log/logger.h>
#include <log/logprint.h>
#include <string.h>
#include <tarnd_host/LogStore.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace {

using tarnd_host::injectLogRecord;

// Every test reads only its own process id, so that records of other tests stay out of the way.
int32_t freshPid() {
    static std::atomic<int32_t> next{50000};
    return next++;
}

// Waits until some thread is blocked in a read of the host buffers.
bool waitForBlockedReader() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (tarnd_host::LogStore::instance().waiting() == 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct NameCase {
    const char* name;
    log_id_t id;
};

TEST(LogReaderTest, NameToLogId) {
    const NameCase cases[] = {
            {"main", LOG_ID_MAIN},
            {"radio", LOG_ID_RADIO},
            {"events", LOG_ID_EVENTS},
            {"system", LOG_ID_SYSTEM},
            {"crash", LOG_ID_CRASH},
            {"/dev/log/main", LOG_ID_MAIN},
            {"/dev/log/system", LOG_ID_SYSTEM},
            {"/dev/log/events", LOG_ID_EVENTS},
            {"/dev/log/radio", LOG_ID_RADIO},
            {"/dev/log/", LOG_ID_MAX},
            {"Main", LOG_ID_MAX},
            {"mainx", LOG_ID_MAX},
            {"", LOG_ID_MAX},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(android_name_to_log_id(c.name), c.id);
    }
    EXPECT_EQ(android_name_to_log_id(nullptr), LOG_ID_MAX);
    EXPECT_EQ(LOG_ID_MAIN, 0);
    EXPECT_EQ(LOG_ID_RADIO, 1);
    EXPECT_EQ(LOG_ID_EVENTS, 2);
    EXPECT_EQ(LOG_ID_SYSTEM, 3);
}

TEST(LogReaderTest, RecordInTextBufferLayout) {
    const int32_t pid = freshPid();
    logger_list* list = android_logger_list_alloc_time(0, log_time::EPOCH, pid);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(android_logger_open(list, LOG_ID_SYSTEM), nullptr);
    injectLogRecord(LOG_ID_SYSTEM, pid, 77, ANDROID_LOG_WARN, "GpuTag", "ring stall");

    log_msg msg;
    int size = android_logger_list_read(list, &msg);
    const std::string payload("\x05GpuTag\0ring stall\0", 19);
    ASSERT_EQ(size, static_cast<int>(sizeof(logger_entry_v3) + payload.size()));
    EXPECT_EQ(msg.entry.hdr_size, sizeof(logger_entry_v3));
    EXPECT_EQ(msg.entry.len, payload.size());
    EXPECT_EQ(msg.entry.pid, pid);
    EXPECT_EQ(msg.entry.tid, 77);
    EXPECT_EQ(msg.entry.lid, static_cast<uint32_t>(LOG_ID_SYSTEM));
    EXPECT_EQ(std::string(msg.entry.msg, msg.entry.len), payload);

    AndroidLogEntry entry;
    ASSERT_EQ(android_log_processLogBuffer(&msg.entry_v1, &entry), 0);
    EXPECT_EQ(entry.priority, ANDROID_LOG_WARN);
    EXPECT_EQ(entry.pid, pid);
    EXPECT_EQ(entry.tid, 77);
    EXPECT_STREQ(entry.tag, "GpuTag");
    EXPECT_STREQ(entry.message, "ring stall");
    EXPECT_EQ(entry.messageLen, 10u);
    EXPECT_EQ(entry.tv_sec, msg.entry.sec);
    EXPECT_NE(entry.tv_sec, 0);
    android_logger_list_free(list);
}

TEST(LogReaderTest, OwnMessagesLandInMain) {
    logger_list* list = android_logger_list_alloc_time(0, log_time::EPOCH, getpid());
    android_logger_open(list, LOG_ID_MAIN);
    const std::string text = "own message " + std::to_string(freshPid());
    __android_log_print(ANDROID_LOG_INFO, "OwnTag", "%s", text.c_str());
    log_msg msg;
    AndroidLogEntry entry;
    bool found = false;
    // Earlier records of this process come first.
    while (!found && android_logger_list_read(list, &msg) > 0) {
        ASSERT_EQ(android_log_processLogBuffer(&msg.entry_v1, &entry), 0);
        found = strcmp(entry.message, text.c_str()) == 0;
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(entry.pid, getpid());
    EXPECT_STREQ(entry.tag, "OwnTag");
    EXPECT_EQ(msg.entry.lid, static_cast<uint32_t>(LOG_ID_MAIN));
    android_logger_list_free(list);
}

TEST(LogReaderTest, OnlyOpenedBuffersInOrder) {
    const int32_t pid = freshPid();
    logger_list* list = android_logger_list_alloc_time(0, log_time::EPOCH, pid);
    logger* first = android_logger_open(list, LOG_ID_RADIO);
    EXPECT_EQ(android_logger_open(list, LOG_ID_RADIO), first);
    android_logger_open(list, LOG_ID_EVENTS);
    EXPECT_EQ(android_logger_open(list, LOG_ID_MAX), nullptr);
    EXPECT_EQ(android_logger_open(nullptr, LOG_ID_MAIN), nullptr);
    injectLogRecord(LOG_ID_MAIN, pid, 1, ANDROID_LOG_INFO, "T", "main");
    injectLogRecord(LOG_ID_RADIO, pid, 1, ANDROID_LOG_INFO, "T", "radio");
    injectLogRecord(LOG_ID_SYSTEM, pid, 1, ANDROID_LOG_INFO, "T", "system");
    injectLogRecord(LOG_ID_EVENTS, pid, 1, ANDROID_LOG_INFO, "T", "events");
    injectLogRecord(LOG_ID_RADIO, pid + 1000, 1, ANDROID_LOG_INFO, "T", "other process");
    injectLogRecord(LOG_ID_RADIO, pid, 1, ANDROID_LOG_INFO, "T", "radio again");

    const char* expected[] = {"radio", "events", "radio again"};
    for (const char* text : expected) {
        log_msg msg;
        AndroidLogEntry entry;
        ASSERT_GT(android_logger_list_read(list, &msg), 0);
        ASSERT_EQ(android_log_processLogBuffer(&msg.entry_v1, &entry), 0);
        EXPECT_STREQ(entry.message, text);
    }
    android_logger_list_free(list);
}

TEST(LogReaderTest, StartTimeSkipsOlderRecords) {
    const int32_t pid = freshPid();
    tarnd_host::LogRecord old;
    old.pid = pid;
    old.tag = "T";
    old.msg = "old";
    old.sec = 1000;
    tarnd_host::LogStore::instance().append(old);
    injectLogRecord(LOG_ID_MAIN, pid, 1, ANDROID_LOG_INFO, "T", "new");

    struct Case {
        log_time start;
        const char* first;
    };
    const Case cases[] = {{log_time(log_time::EPOCH), "old"}, {log_time(2000, 0), "new"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        logger_list* list = android_logger_list_alloc_time(0, c.start, pid);
        android_logger_open(list, LOG_ID_MAIN);
        log_msg msg;
        AndroidLogEntry entry;
        ASSERT_GT(android_logger_list_read(list, &msg), 0);
        ASSERT_EQ(android_log_processLogBuffer(&msg.entry_v1, &entry), 0);
        EXPECT_STREQ(entry.message, c.first);
        android_logger_list_free(list);
    }
}

TEST(LogReaderTest, LongRecordIsCutToThePayloadLimit) {
    const int32_t pid = freshPid();
    const std::string tag = "LongTag";
    injectLogRecord(LOG_ID_MAIN, pid, 1, ANDROID_LOG_INFO, tag, std::string(6000, 'm'));
    logger_list* list = android_logger_list_alloc_time(0, log_time::EPOCH, pid);
    android_logger_open(list, LOG_ID_MAIN);
    log_msg msg;
    AndroidLogEntry entry;
    ASSERT_EQ(android_logger_list_read(list, &msg),
              static_cast<int>(sizeof(logger_entry_v3) + LOGGER_ENTRY_MAX_PAYLOAD));
    ASSERT_EQ(android_log_processLogBuffer(&msg.entry_v1, &entry), 0);
    const size_t messageLen = LOGGER_ENTRY_MAX_PAYLOAD - 3 - tag.size();
    EXPECT_EQ(entry.messageLen, messageLen);
    EXPECT_EQ(strlen(entry.message), messageLen);
    EXPECT_STREQ(entry.tag, tag.c_str());
    android_logger_list_free(list);
}

TEST(LogReaderTest, FailingReads) {
    log_msg msg;
    EXPECT_EQ(android_logger_list_read(nullptr, &msg), -EINVAL);
    logger_list* list = android_logger_list_alloc_time(0, log_time::EPOCH, 0);
    // No buffer opened: nothing could ever arrive.
    EXPECT_EQ(android_logger_list_read(list, &msg), -EINVAL);
    EXPECT_EQ(android_logger_list_read(list, nullptr), -EINVAL);
    android_logger_list_free(list);
    android_logger_list_free(nullptr);
}

// Builds a record by hand, as the platform's text buffers hold it.
struct RawRecord {
    log_msg msg;
    explicit RawRecord(const std::string& payload, bool v3 = true) {
        memset(&msg, 0, sizeof(msg));
        msg.entry_v1.len = static_cast<uint16_t>(payload.size());
        msg.entry_v1.pid = 12;
        msg.entry_v1.tid = 34;
        char* body = msg.entry_v1.msg;
        if (v3) {
            msg.entry_v3.hdr_size = sizeof(logger_entry_v3);
            body = msg.entry_v3.msg;
        }
        memcpy(body, payload.data(), payload.size());
        // A byte past the record that the parser must not take as part of it.
        body[payload.size()] = 'Z';
    }
};

struct ParseCase {
    const char* title;
    std::string payload;
    int result;
    const char* tag;
    const char* message;
};

TEST(LogReaderTest, ProcessLogBuffer) {
    const ParseCase cases[] = {
            {"terminated", std::string("\x04Tag\0text\0", 10), 0, "Tag", "text"},
            {"empty message", std::string("\x04Tag\0\0", 6), 0, "Tag", ""},
            {"empty tag", std::string("\x04\0text\0", 7), 0, "", "text"},
            {"message ends without NUL", std::string("\x04Tag\0textX", 10), 0, "Tag", "text"},
            {"tag NUL is the last byte", std::string("\x04Tag\0", 5), 0, "Tag", ""},
            {"message with a NUL inside", std::string("\x04Tag\0te\0xt\0", 11), 0, "Tag", "te"},
            {"too short", std::string("\x04T", 2), -1, nullptr, nullptr},
            {"tag without NUL", std::string("\x04TagText", 8), -1, nullptr, nullptr},
    };
    for (bool v3 : {true, false}) {
        for (const ParseCase& c : cases) {
            SCOPED_TRACE(std::string(c.title) + (v3 ? " v3" : " v1"));
            RawRecord raw(c.payload, v3);
            AndroidLogEntry entry;
            ASSERT_EQ(android_log_processLogBuffer(&raw.msg.entry_v1, &entry), c.result);
            if (c.result != 0) continue;
            EXPECT_EQ(entry.priority, ANDROID_LOG_INFO);
            EXPECT_EQ(entry.pid, 12);
            EXPECT_EQ(entry.tid, 34);
            EXPECT_STREQ(entry.tag, c.tag);
            EXPECT_STREQ(entry.message, c.message);
            EXPECT_EQ(entry.messageLen, strlen(c.message));
        }
    }
}

TEST(LogReaderTest, BlockedReadWakesOnRecord) {
    const int32_t pid = freshPid();
    logger_list* list = android_logger_list_alloc_time(0, log_time::EPOCH, pid);
    android_logger_open(list, LOG_ID_EVENTS);
    std::string message;
    auto reader = std::async(std::launch::async, [&] {
        log_msg msg;
        int size = android_logger_list_read(list, &msg);
        AndroidLogEntry entry;
        if (size > 0 && android_log_processLogBuffer(&msg.entry_v1, &entry) == 0) {
            message = entry.message;
        }
        return size;
    });
    ASSERT_TRUE(waitForBlockedReader());
    injectLogRecord(LOG_ID_EVENTS, pid, 1, ANDROID_LOG_INFO, "T", "arrived");
    EXPECT_GT(reader.get(), 0);
    EXPECT_EQ(message, "arrived");
    android_logger_list_free(list);
}

TEST(LogReaderTest, BlockedReadWakesOnFree) {
    logger_list* list = android_logger_list_alloc_time(0, log_time::EPOCH, freshPid());
    android_logger_open(list, LOG_ID_RADIO);
    auto reader = std::async(std::launch::async, [list] {
        log_msg msg;
        return android_logger_list_read(list, &msg);
    });
    // The read must be under way before the free, as the free's contract asks.
    ASSERT_TRUE(waitForBlockedReader());
    // The free waits for the read to leave before the list goes; the sanitizers watch that.
    android_logger_list_free(list);
    EXPECT_EQ(reader.get(), -EBADF);
}

}  // namespace
