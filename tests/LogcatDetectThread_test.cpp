#include "detectors/LogcatDetectThread.h"

#include <gtest/gtest.h>
#include <log/log.h>
#include <log/logger.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <string>

#include "TestSupport.h"
#include "service/ThreadName.h"

namespace {

using tarnd_host::injectLogRecord;

// Whether the reader list has no buffers.
const std::pair<const char*, bool> kReaderRows[] = {{"MatchesOtherProcesses", false},
                                                    {"PausesAfterFailure", true}};

class LogcatDetectThreadTest : public ::testing::TestWithParam<std::pair<const char*, bool>> {};

// Other processes' messages in the four buffers raise their events at every priority, those
// from before the start too; the own process's, the service's own tag, a key word in the tag alone
// and the crash buffer raise none. A reader list without buffers fails every read at once: reported
// once, paused, no busy core. Either way the service's destruction stops the thread.
TEST_P(LogcatDetectThreadTest, Reader) {
    static int run = 0;  // the reader starts at the oldest record: words no earlier run logged
    const bool broken = GetParam().second;
    const std::string w = "w" + std::to_string(run++) + "_";
    std::vector<android::tarnd::KeywordMatcher::Entry> events;
    for (const char* name : {"hang", "ring", "own", "tag", "crash", "done"})
        events.push_back({name, {w + name}});
    tarnd_test::ChannelService s(events);
    tarnd_host::LogCapture log;
    android::sp<android::tarnd::LogcatDetectThread> thread =
            new android::tarnd::LogcatDetectThread(s.service.get());
    s.service->mLogcatThread = thread;
    const std::tuple<int, int32_t, std::string, std::string> rows[] = {
            {LOG_ID_SYSTEM, 31337, "Sys", w + "hang seen"},
            {LOG_ID_EVENTS, 31337, "Ev", w + "ring"},
            {LOG_ID_RADIO, getpid(), "Radio", w + "own"},
            {LOG_ID_MAIN, 31337, "TarnDebugService", w + "tag"},
            {LOG_ID_RADIO, 31337, "TarnDebugServiceX", w + "tag"},
            {LOG_ID_MAIN, 31337, w + "tag", "only the tag holds the key word"},
            {LOG_ID_CRASH, 31337, "Crash", w + "crash"}};
    int prio = 0;  // every priority is matched
    for (const auto& [id, pid, tag, msg] : rows)
        injectLogRecord(id, pid, 1, ANDROID_LOG_VERBOSE + prio++ % 6, tag, msg);
    if (broken) {
        android_logger_list_free(thread->mLoggerList);
        thread->mLoggerList = android_logger_list_alloc_time(0, log_time::EPOCH, 0);
    }
    ASSERT_EQ(thread->run(android::tarnd::kLogcatThreadName, 0, 0), android::NO_ERROR);
    injectLogRecord(LOG_ID_MAIN, 31337, 1, ANDROID_LOG_INFO, "Done", w + "done");
    const std::string failure = "Failed to read log buffers: Invalid argument";
    ASSERT_TRUE(log.waitFor(broken ? failure : "Send msg from channel 1: done"));
    if (broken) {
        EXPECT_LT(tarnd_test::cpuMsInASecond(), 200);
        EXPECT_TRUE(thread->isRunning());
    }
    EXPECT_EQ(s.drain(), broken ? "" : "hang\nring\ntag\ndone\n");
    for (int i = 0; i < 9999 && !broken && tarnd_host::LogStore::instance().waiting() == 0; ++i)
        usleep(1000);
    s.service.clear();  // the thread is blocked in a read, or pausing
    EXPECT_FALSE(thread->isRunning());
    EXPECT_EQ(log.count(failure), broken ? 1u : 0u);
    for (const tarnd_host::LogLine& l : log.lines())
        EXPECT_TRUE(l.msg != failure || l.prio == ANDROID_LOG_ERROR);
}
TARND_NAMED_ROWS(LogcatDetectThreadTest, kReaderRows);

}  // namespace
