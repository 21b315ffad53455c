#include "detectors/LogcatDetectThread.h"

#include <gtest/gtest.h>
#include <log/log.h>
#include <log/logger.h>
#include <sys/socket.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "detectors/KeywordMatcher.h"

namespace {

using android::LogcatDetectThread;
using android::sp;
using tarnd_host::injectLogRecord;
using tarnd_host::LogCapture;
using Events = std::vector<android::KeywordMatcher::Entry>;

constexpr const char* kThreadName = "TARND Logcat Detect";
constexpr int32_t kOtherPid = 31337;

using tarnd_test::ChannelService;

struct Row {
    int logId;
    int32_t pid;
    std::string tag;
    std::string msg;
};

TEST(LogcatDetectThreadTest, MatchesOtherProcessesMessagesThenServiceDestructionStops) {
    // The reader starts at the oldest record of the process: words no earlier run has logged.
    static int run = 0;
    const std::string w = "w" + std::to_string(run++) + "_";
    Events events;
    for (const char* name : {"early", "hang", "ring", "own", "tag", "crash", "done"}) {
        events.push_back({name, {w + name}});
    }
    ChannelService s(events);
    LogCapture log;
    injectLogRecord(LOG_ID_MAIN, kOtherPid, 1, ANDROID_LOG_INFO, "kgsl", "x " + w + "early");
    sp<LogcatDetectThread> thread = new LogcatDetectThread(s.service.get());
    s.service->mLogcatThread = thread;
    ASSERT_EQ(thread->run(kThreadName, 0, 0), android::NO_ERROR);

    __android_log_print(ANDROID_LOG_ERROR, "SomeOtherTag", "%s", (w + "own").c_str());
    const Row rows[] = {
            {LOG_ID_SYSTEM, kOtherPid, "Sys", w + "hang seen"},
            {LOG_ID_EVENTS, kOtherPid, "Ev", w + "ring" + w + "hang" + w + "ring"},
            {LOG_ID_RADIO, getpid(), "Radio", w + "own"},
            {LOG_ID_MAIN, kOtherPid, "TarnDebugService", w + "tag"},
            {LOG_ID_RADIO, kOtherPid, "TarnDebugServiceX", w + "tag"},
            {LOG_ID_MAIN, kOtherPid, w + "tag", "only the tag holds the key word"},
            {LOG_ID_CRASH, kOtherPid, "Crash", w + "crash"},  // not a buffer the detector reads
            {LOG_ID_MAIN, kOtherPid, "Done", w + "done"},
    };
    int prio = 0;  // every priority is matched
    for (const Row& r : rows) {
        injectLogRecord(r.logId, r.pid, 1, ANDROID_LOG_VERBOSE + prio++ % 6, r.tag, r.msg);
    }
    ASSERT_TRUE(log.waitFor("Send msg from channel 1: done"));  // records are read in order

    EXPECT_EQ(s.drain(), "early\nhang\nhang\nring\ntag\ndone\n");  // the log lines mirror it

    for (int i = 0; i < 10000 && tarnd_host::LogStore::instance().waiting() == 0; ++i) usleep(1000);
    s.service.clear();  // the thread is blocked in a read
    EXPECT_FALSE(thread->isRunning());
}

// A reader list without buffers fails every read at once: pause, report once, stop on request.
TEST(LogcatDetectThreadTest, UnusableReaderListDoesNotSpin) {
    ChannelService s(Events{{"gpu_hang", {"hang"}}});
    LogCapture log;
    sp<LogcatDetectThread> thread = new LogcatDetectThread(s.service.get());
    s.service->mLogcatThread = thread;
    android_logger_list_free(thread->mLoggerList);
    thread->mLoggerList = android_logger_list_alloc_time(0, log_time::EPOCH, 0);
    ASSERT_EQ(thread->run(kThreadName, 0, 0), android::NO_ERROR);
    const std::string failure = "Failed to read log buffers: Invalid argument";
    ASSERT_TRUE(log.waitFor(failure));
    const std::clock_t before = std::clock();  // the process's CPU time: only the detector runs
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT((std::clock() - before) * 1000 / CLOCKS_PER_SEC, 200) << "CPU ms in one second";
    EXPECT_TRUE(thread->isRunning());
    s.service.clear();
    EXPECT_FALSE(thread->isRunning());
    EXPECT_EQ(log.count(failure), 1u);
    for (const tarnd_host::LogLine& l : log.lines()) {
        EXPECT_TRUE(l.msg != failure || l.prio == ANDROID_LOG_ERROR);
    }
}

}  // namespace
