#include "detectors/KmsgDetectThread.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <log/log.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <tarnd_host/LogStore.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "detectors/KeywordMatcher.h"

namespace {

using android::KmsgDetectThread;
using android::sp;
using android::String8;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;

constexpr const char* kThreadName = "TARND Kmsg Detect";

struct EventRow {
    std::string name;
    std::vector<std::string> keyWords;
};
using Events = std::vector<EventRow>;

// An idle service (no configuration file) given one enabled monitor, the internal channel and
// the compiled key words, as start-up leaves them.
class ChannelService {
  public:
    explicit ChannelService(const std::vector<EventRow>& events) {
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
    sp<TarnDebugService>& holder() { return mService; }

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

// Waits until the reader has taken everything out of the FIFO, so that the next write is a read
// of its own.
bool waitDrained(int fd) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        int pending = 0;
        if (ioctl(fd, FIONREAD, &pending) != 0) return false;
        if (pending == 0) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void writeAll(int fd, const std::string& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
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

std::string freshToken() {
    std::random_device seed;
    std::mt19937_64 rng(seed());
    char token[32];
    snprintf(token, sizeof(token), "tk%016llx", static_cast<unsigned long long>(rng()));
    return token;
}

class FifoDevice {
  public:
    FifoDevice() : mPath(mDir.file("kmsg")) { EXPECT_EQ(mkfifo(mPath.c_str(), 0600), 0); }
    ~FifoDevice() { closeWriter(); }

    const char* path() const { return mPath.c_str(); }
    // Blocks until the detector has opened the reading end.
    void openWriter() { mWriter = open(mPath.c_str(), O_WRONLY | O_CLOEXEC); }
    void closeWriter() {
        if (mWriter >= 0) close(mWriter);
        mWriter = -1;
    }
    // One record, read by the detector on its own.
    void record(const std::string& bytes) {
        writeAll(mWriter, bytes);
        ASSERT_TRUE(waitDrained(mWriter));
    }

  private:
    TempDir mDir;
    std::string mPath;
    int mWriter = -1;
};

struct RecordCase {
    const char* title;
    std::string record;
    std::vector<std::string> expected;
};

TEST(KmsgDetectThreadTest, MatchesEachRecordAlone) {
    ChannelService service({{"gpu_hang", {"gpu hang"}},
                            {"seq_ev", {"4242"}},
                            {"ring_ev", {"ring", "stall"}},
                            {"bin_ev", {"\xfe\xff"}},
                            {"tail_ev", {"TAILWORD"}},
                            {"sentinel", {"sentinel-record"}}});
    std::string longRecord(4095 - 8, 'a');
    longRecord += "TAILWORD";
    const std::vector<RecordCase> records = {
            {"plain record", "6,100,5000,-;kgsl: gpu hang detected\n", {"gpu_hang"}},
            {"key word in the header", "3,4242,5001,-;nothing here\n", {"seq_ev"}},
            {"two events, event order",
             "4,101,5002,-;ring stall after gpu hang\n",
             {"gpu_hang", "ring_ev"}},
            {"two key words of one event", "6,102,5003,-;ring ring stall\n", {"ring_ev"}},
            {"no newline at the end", "6,103,5004,-;gpu hang", {"gpu_hang"}},
            {"continuation line", "6,104,5005,-;first\n SUBSYSTEM=gpu hang\n", {"gpu_hang"}},
            {"binary bytes", std::string("6,105,5006,-;\x01\x02\xfe\xff\x80\n"), {"bin_ev"}},
            {"case differs", "6,106,5007,-;GPU HANG\n", {}},
            {"first half of a key word", "6,107,5008,-;gpu h", {}},
            {"second half of a key word", "ang\n", {}},
            {"key word in the last byte of a full buffer", longRecord, {"tail_ev"}},
            {"same record again sends again", "6,108,5009,-;gpu hang\n", {"gpu_hang"}},
    };

    FifoDevice device;
    LogCapture log;
    sp<KmsgDetectThread> thread = new KmsgDetectThread(service.get(), device.path());
    ASSERT_EQ(thread->run(kThreadName, 0, 0), android::NO_ERROR);
    device.openWriter();

    std::string expectedBytes;
    std::vector<std::string> expectedLines;
    for (const RecordCase& c : records) {
        SCOPED_TRACE(c.title);
        device.record(c.record);
        for (const std::string& name : c.expected) {
            expectedBytes += name + "\n";
            expectedLines.push_back(sendLine(name));
        }
    }
    // Records are handled in order: once the sentinel is sent, every record before it is done.
    device.record("6,200,6000,-;sentinel-record\n");
    expectedBytes += "sentinel\n";
    expectedLines.push_back(sendLine("sentinel"));
    ASSERT_TRUE(log.waitFor(sendLine("sentinel")));

    EXPECT_EQ(service.drain(), expectedBytes);
    EXPECT_EQ(log.messages(), expectedLines);

    thread->requestExit();
    thread->join();
    EXPECT_FALSE(thread->isRunning());
}

TEST(KmsgDetectThreadTest, OpenFailureEndsThreadSilently) {
    ChannelService service(Events{{"gpu_hang", {"hang"}}});
    TempDir dir;
    std::string missing = dir.file("no-such-device");
    LogCapture log;
    sp<KmsgDetectThread> thread = new KmsgDetectThread(service.get(), missing.c_str());
    EXPECT_EQ(thread->mFd, -1);
    ASSERT_EQ(thread->run(kThreadName, 0, 0), android::NO_ERROR);
    EXPECT_EQ(thread->join(), android::UNKNOWN_ERROR);
    EXPECT_LT(thread->mFd, 0);
    EXPECT_TRUE(log.messages().empty());
}

TEST(KmsgDetectThreadTest, RequestExitWakesBlockedRead) {
    ChannelService service(Events{{"gpu_hang", {"hang"}}});
    FifoDevice device;
    LogCapture log;
    sp<KmsgDetectThread> thread = new KmsgDetectThread(service.get(), device.path());
    ASSERT_EQ(thread->run(kThreadName, 0, 0), android::NO_ERROR);
    device.openWriter();
    device.record("6,1,1,-;hang\n");
    ASSERT_TRUE(log.waitFor(sendLine("gpu_hang")));
    // The writer stays open and silent: the thread waits for the next record.
    thread->requestExit();
    thread->join();
    EXPECT_FALSE(thread->isRunning());
    EXPECT_EQ(log.messages(), std::vector<std::string>{sendLine("gpu_hang")});
}

TEST(KmsgDetectThreadTest, ServiceDestructionStopsThread) {
    FifoDevice device;
    sp<KmsgDetectThread> thread;
    {
        ChannelService service(Events{{"gpu_hang", {"hang"}}});
        thread = new KmsgDetectThread(service.get(), device.path());
        service.get()->mKmsgThread = thread;
        ASSERT_EQ(thread->run(kThreadName, 0, 0), android::NO_ERROR);
        device.openWriter();
        EXPECT_TRUE(thread->isRunning());
    }  // the service goes: its destructor stops the workers
    EXPECT_FALSE(thread->isRunning());
}

struct EndCase {
    const char* title;
    bool fifo;  // a FIFO whose writer has gone, else a regular file
};

class KmsgEndOfDataTest : public ::testing::TestWithParam<EndCase> {};

// A stand-in that has no more records reads 0 bytes at once, again and again: the thread must
// pause between reads instead of spinning, report the failure once, and still stop on request.
TEST_P(KmsgEndOfDataTest, DoesNotSpin) {
    ChannelService service(Events{{"gpu_hang", {"hang"}}});
    LogCapture log;
    TempDir dir;
    std::string path = dir.file("kmsg");
    std::unique_ptr<FifoDevice> fifo;
    if (GetParam().fifo) {
        fifo.reset(new FifoDevice());
        path = fifo->path();
    } else {
        tarnd_test::writeFile(path, "6,1,1,-;gpu hang in a file\n");
    }
    sp<KmsgDetectThread> thread = new KmsgDetectThread(service.get(), path.c_str());
    ASSERT_EQ(thread->run(kThreadName, 0, 0), android::NO_ERROR);
    if (fifo) {
        fifo->openWriter();
        fifo->record("6,1,1,-;gpu hang in a fifo\n");
        fifo->closeWriter();
    }
    ASSERT_TRUE(log.waitFor(sendLine("gpu_hang")));
    const std::string failure = std::string("Failed to read ") + path + ": end of file";
    ASSERT_TRUE(log.waitFor(failure));

    const long before = threadCpuMs(kThreadName);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the measuring window
    const long spent = threadCpuMs(kThreadName) - before;
    EXPECT_LT(spent, 200) << "CPU milliseconds in one second of failing reads";
    EXPECT_TRUE(thread->isRunning());

    thread->requestExit();
    thread->join();
    EXPECT_EQ(log.count(failure), 1u);
    for (const tarnd_host::LogLine& line : log.lines()) {
        if (line.msg == failure) {
            EXPECT_EQ(line.prio, ANDROID_LOG_ERROR);
        }
    }
    EXPECT_EQ(service.drain(), "gpu_hang\n");
}

INSTANTIATE_TEST_SUITE_P(Stand_ins, KmsgEndOfDataTest,
                         ::testing::Values(EndCase{"fifo", true}, EndCase{"file", false}),
                         [](const ::testing::TestParamInfo<EndCase>& info) {
                             return std::string(info.param.title);
                         });

// The newline ends the record: without it the kernel keeps it open for a continuation and
// readers do not see it yet.
void writeKmsg(const std::string& text) {
    int fd = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << strerror(errno);
    ssize_t n = write(fd, text.data(), text.size());
    close(fd);
    ASSERT_EQ(n, static_cast<ssize_t>(text.size())) << strerror(errno);
}

TEST(KmsgDetectThreadTest, RealDeviceEndToEnd) {
    if (!tarnd_test::isRoot()) GTEST_SKIP() << "writing to /dev/kmsg needs root";
    if (access("/dev/kmsg", R_OK | W_OK) != 0) GTEST_SKIP() << "no readable, writable /dev/kmsg";
    const std::string before = freshToken();
    const std::string after = freshToken();
    ChannelService service({{"before_ev", {before}}, {"after_ev", {after}}});
    LogCapture log;
    // Already in the kernel's buffer when the detector starts: read too.
    writeKmsg("<6>tarnd-test: " + before + "\n");
    sp<KmsgDetectThread> thread = new KmsgDetectThread(service.get(), "/dev/kmsg");
    ASSERT_EQ(thread->run(kThreadName, 0, 0), android::NO_ERROR);
    ASSERT_TRUE(log.waitFor(sendLine("before_ev")));
    writeKmsg("<6>tarnd-test: " + after + "\n");
    ASSERT_TRUE(log.waitFor(sendLine("after_ev")));
    thread->requestExit();
    thread->join();
    EXPECT_EQ(service.drain(), "before_ev\nafter_ev\n");
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{sendLine("before_ev"), sendLine("after_ev")}));
}

}  // namespace
