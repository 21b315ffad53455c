#include "detectors/LogcatDetectThread.h"

#include <gtest/gtest.h>
#include <log/log.h>
#include <log/logger.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "detectors/KeywordMatcher.h"

namespace {

using android::LogcatDetectThread;
using android::sp;
using android::String8;
using android::TarnDebugService;
using tarnd_host::injectLogRecord;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;

constexpr const char* kThreadName = "TARND Logcat Detect";
constexpr int32_t kOtherPid = 31337;

struct EventRow {
    std::string name;
    std::vector<std::string> keyWords;
};
using Events = std::vector<EventRow>;

// An idle service (no configuration file) given one enabled monitor, the internal channel and
// the compiled key words, as start-up leaves them.
class ChannelService {
  public:
    explicit ChannelService(const Events& events) {
        mService = tarnd_test::makeService(mDir.file("missing.conf"), mDir.path());
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, mService->mSockets), 0);
        TarnDebugService::Monitor monitor(mService.get(), String8("monitor"));
        monitor.mEnabled = true;
        std::vector<android::KeywordMatcher::Entry> entries;
        for (const EventRow& row : events) {
            TarnDebugService::Event event(mService.get(), String8(row.name.c_str()));
            for (const std::string& k : row.keyWords) event.mKeyWords.add(String8(k.c_str()));
            monitor.mEvents.add(event);
            entries.push_back({row.name, row.keyWords});
        }
        mService->mMonitors.add(monitor);
        mService->mKeywordMatcher.reset(new android::KeywordMatcher());
        mService->mKeywordMatcher->build(entries);
    }

    TarnDebugService* get() const { return mService.get(); }

    std::string drain() const {
        std::string bytes;
        char buf[4096];
        for (;;) {
            ssize_t n = recv(mService->mSockets[1], buf, sizeof(buf), MSG_DONTWAIT);
            if (n <= 0) break;
            bytes.append(buf, static_cast<size_t>(n));
        }
        return bytes;
    }

  private:
    TempDir mDir;
    sp<TarnDebugService> mService;
};

std::string sendLine(const std::string& name) { return "Send msg from channel 1: " + name; }

// The detector's own lines; records injected under the daemon's tag are captured too.
std::vector<std::string> sendLines(const LogCapture& log) {
    std::vector<std::string> lines;
    for (const std::string& msg : log.messages()) {
        if (msg.rfind("Send msg from channel 1: ", 0) == 0) lines.push_back(msg);
    }
    return lines;
}

// The reader starts at the oldest record of the process: every test needs words that no
// earlier test has logged.
std::string fresh(const std::string& stem) {
    static std::atomic<int> counter{0};
    return stem + std::to_string(getpid()) + "x" + std::to_string(counter++);
}

// CPU time, in milliseconds, of the threads that carry the name (the kernel keeps 15 bytes).
long threadCpuMs(const std::string& name) {
    const std::string comm = name.substr(0, 15);
    long ticks = 0;
    for (const std::string& tid : tarnd_test::listDir("/proc/self/task")) {
        std::string dir = "/proc/self/task/" + tid;
        std::string threadName = tarnd_test::readFile(dir + "/comm");
        if (!threadName.empty() && threadName.back() == '\n') threadName.pop_back();
        if (threadName != comm) continue;
        std::string stat = tarnd_test::readFile(dir + "/stat");
        size_t nameEnd = stat.rfind(')');
        if (nameEnd == std::string::npos) continue;
        std::istringstream fields(stat.substr(nameEnd + 2));
        std::string field;
        // utime and stime are the 12th and 13th fields after the name.
        long utime = 0, stime = 0;
        for (int i = 1; i <= 13 && fields >> field; ++i) {
            if (i == 12) utime = atol(field.c_str());
            if (i == 13) stime = atol(field.c_str());
        }
        ticks += utime + stime;
    }
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
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

class LogcatDetectThreadTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (mThread != nullptr) {
            mThread->requestExit();
            mThread->join();
        }
    }

    void start(TarnDebugService* service) {
        mThread = new LogcatDetectThread(service);
        ASSERT_EQ(mThread->run(kThreadName, 0, 0), android::NO_ERROR);
    }

    // Records are read in order: once this one is sent, every record before it is done.
    void sentinel(LogCapture& log, const std::string& word, const std::string& name) {
        injectLogRecord(LOG_ID_MAIN, kOtherPid, kOtherPid, ANDROID_LOG_INFO, "Sentinel", word);
        ASSERT_TRUE(log.waitFor(sendLine(name)));
    }

    sp<LogcatDetectThread> mThread;
};

TEST_F(LogcatDetectThreadTest, ReaderListCoversTheFourBuffers) {
    ChannelService service(Events{{"gpu_hang", {"hang"}}});
    sp<LogcatDetectThread> thread = new LogcatDetectThread(service.get());
    const char* expected[4] = {"/dev/log/main", "/dev/log/system", "/dev/log/events",
                               "/dev/log/radio"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_STREQ(thread->mLogPaths[i], expected[i]);
        EXPECT_NE(thread->mLoggers[i], nullptr);
    }
    EXPECT_NE(thread->mLoggerList, nullptr);
    EXPECT_EQ(thread->mService, service.get());
    EXPECT_EQ(thread->mStartTime, log_time(log_time::EPOCH));
}

TEST_F(LogcatDetectThreadTest, MatchesMessagesOfOtherProcesses) {
    const std::string early = fresh("early"), hang = fresh("hang"), ring = fresh("ring");
    const std::string own = fresh("own"), tagged = fresh("tagged"), tagOnly = fresh("tagonly");
    const std::string crash = fresh("crash"), done = fresh("done");
    ChannelService service(Events{{"early_ev", {early}},
                                  {"hang_ev", {hang}},
                                  {"ring_ev", {ring}},
                                  {"own_ev", {own}},
                                  {"tag_ev", {tagged, tagOnly}},
                                  {"crash_ev", {crash}},
                                  {"done_ev", {done}}});
    LogCapture log;
    // Logged before the thread exists: the reader starts at the oldest record.
    injectLogRecord(LOG_ID_MAIN, kOtherPid, 1, ANDROID_LOG_INFO, "kgsl", "x " + early);
    start(service.get());

    injectLogRecord(LOG_ID_SYSTEM, kOtherPid, 2, ANDROID_LOG_VERBOSE, "Sys", hang + " seen");
    // Two events in one record: event order, not text order; each name once.
    injectLogRecord(LOG_ID_EVENTS, kOtherPid, 3, ANDROID_LOG_FATAL, "Ev", ring + hang + ring);
    // The own process: skipped whatever the tag.
    __android_log_print(ANDROID_LOG_ERROR, "SomeOtherTag", "%s", own.c_str());
    injectLogRecord(LOG_ID_RADIO, getpid(), 4, ANDROID_LOG_INFO, "Radio", own);
    // The daemon's tag from another process: skipped; a longer tag is not.
    injectLogRecord(LOG_ID_MAIN, kOtherPid, 5, ANDROID_LOG_INFO, "TarnDebugService", tagged);
    injectLogRecord(LOG_ID_RADIO, kOtherPid, 6, ANDROID_LOG_INFO, "TarnDebugServiceX", tagged);
    // Only the message is searched.
    injectLogRecord(LOG_ID_MAIN, kOtherPid, 7, ANDROID_LOG_INFO, tagOnly, "plain message");
    // A buffer the reader list does not hold.
    injectLogRecord(LOG_ID_CRASH, kOtherPid, 8, ANDROID_LOG_INFO, "Crash", crash);
    // Case matters.
    std::string upper = hang;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    injectLogRecord(LOG_ID_MAIN, kOtherPid, 9, ANDROID_LOG_INFO, "Up", upper);
    sentinel(log, done, "done_ev");

    EXPECT_EQ(service.drain(), "early_ev\nhang_ev\nhang_ev\nring_ev\ntag_ev\ndone_ev\n");
    std::vector<std::string> expected = {sendLine("early_ev"), sendLine("hang_ev"),
                                         sendLine("hang_ev"),  sendLine("ring_ev"),
                                         sendLine("tag_ev"),   sendLine("done_ev")};
    EXPECT_EQ(sendLines(log), expected);
}

TEST_F(LogcatDetectThreadTest, OwnSendLinesDoNotFeedBack) {
    const std::string word = fresh("loop");
    ChannelService service(Events{{word, {word}}});
    LogCapture log;
    start(service.get());
    // The "Send msg" line names the event, whose name is its own key word.
    injectLogRecord(LOG_ID_MAIN, kOtherPid, 1, ANDROID_LOG_WARN, "Other", word);
    ASSERT_TRUE(log.waitFor(sendLine(word)));
    injectLogRecord(LOG_ID_MAIN, kOtherPid, 1, ANDROID_LOG_WARN, "Other", "again " + word);
    ASSERT_TRUE(log.waitFor(sendLine(word), 2));
    EXPECT_EQ(service.drain(), word + "\n" + word + "\n");
    EXPECT_EQ(log.count(sendLine(word)), 2u);
}

TEST_F(LogcatDetectThreadTest, RequestExitWakesBlockedRead) {
    ChannelService service(Events{{"gpu_hang", {fresh("hang")}}});
    start(service.get());
    ASSERT_TRUE(waitForBlockedReader());
    mThread->requestExit();
    mThread->join();
    EXPECT_FALSE(mThread->isRunning());
}

TEST_F(LogcatDetectThreadTest, ServiceDestructionStopsThread) {
    sp<LogcatDetectThread> thread;
    {
        ChannelService service(Events{{"gpu_hang", {fresh("hang")}}});
        thread = new LogcatDetectThread(service.get());
        service.get()->mLogcatThread = thread;
        ASSERT_EQ(thread->run(kThreadName, 0, 0), android::NO_ERROR);
        ASSERT_TRUE(waitForBlockedReader());
    }  // the service goes: its destructor stops the workers
    EXPECT_FALSE(thread->isRunning());
}

// A reader list whose buffers could not be opened fails every read at once: the thread must pause
// between reads instead of spinning, report the failure once, and still stop on request.
TEST_F(LogcatDetectThreadTest, UnusableReaderListDoesNotSpin) {
    ChannelService service(Events{{"gpu_hang", {fresh("hang")}}});
    LogCapture log;
    mThread = new LogcatDetectThread(service.get());
    android_logger_list_free(mThread->mLoggerList);
    mThread->mLoggerList = android_logger_list_alloc_time(0, log_time::EPOCH, 0);
    ASSERT_EQ(mThread->run(kThreadName, 0, 0), android::NO_ERROR);
    const std::string failure = "Failed to read log buffers: Invalid argument";
    ASSERT_TRUE(log.waitFor(failure));

    const long before = threadCpuMs(kThreadName);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the measuring window
    const long spent = threadCpuMs(kThreadName) - before;
    EXPECT_LT(spent, 200) << "CPU milliseconds in one second of failing reads";
    EXPECT_TRUE(mThread->isRunning());

    mThread->requestExit();
    mThread->join();
    EXPECT_EQ(log.count(failure), 1u);
    for (const tarnd_host::LogLine& line : log.lines()) {
        if (line.msg == failure) {
            EXPECT_EQ(line.prio, ANDROID_LOG_ERROR);
        }
    }
    EXPECT_EQ(service.drain(), "");
}

}  // namespace
