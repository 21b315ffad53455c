// The host's liblog reader interface over the in-process buffers.
#include <errno.h>
#include <gtest/gtest.h>
#include <log/log.h>
#include <log/log_read.h>
#include <log/logger.h>
#include <log/logprint.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <future>
#include <string>

namespace {

TEST(LogReaderTest, BlockedReadWakesOnRecordAndOnFree) {
    for (bool byRecord : {true, false}) {
        SCOPED_TRACE(byRecord ? "record" : "free");
        static int32_t nextPid = 50000;  // a process id of its own: no earlier record is read
        const int32_t pid = nextPid++;
        logger_list* list = android_logger_list_alloc_time(0, log_time::EPOCH, pid);
        ASSERT_NE(android_logger_open(list, LOG_ID_EVENTS), nullptr);
        auto reader = std::async(std::launch::async, [list] {
            log_msg msg;
            AndroidLogEntry entry;
            const int size = android_logger_list_read(list, &msg);
            if (size <= 0) return std::to_string(size);
            if (android_log_processLogBuffer(&msg.entry_v1, &entry) != 0) return std::string("?");
            return std::string(entry.tag) + ": " + entry.message;
        });
        // The read must be under way first, as the free's contract asks.
        for (int i = 0; i < 10000 && tarnd_host::LogStore::instance().waiting() == 0; ++i) {
            usleep(1000);
        }
        if (byRecord) {
            tarnd_host::injectLogRecord(LOG_ID_EVENTS, pid, 1, ANDROID_LOG_INFO, "T", "arrived");
            EXPECT_EQ(reader.get(), "T: arrived");
            android_logger_list_free(list);
        } else {
            // The free waits for the read to leave before the list goes; the sanitizers watch that.
            android_logger_list_free(list);
            EXPECT_EQ(reader.get(), std::to_string(-EBADF));
        }
    }
}

}  // namespace
