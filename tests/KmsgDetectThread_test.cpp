#include "detectors/KmsgDetectThread.h"

#include <gtest/gtest.h>
#include <log/log.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "detectors/KeywordMatcher.h"

namespace {

using android::KmsgDetectThread;
using android::sp;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using Strings = std::vector<std::string>;

constexpr const char* kThreadName = "TARND Kmsg Detect";
using Events = std::vector<android::KeywordMatcher::Entry>;

using tarnd_test::ChannelService;

std::string sendLine(const std::string& name) { return "Send msg from channel 1: " + name; }

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

TEST(KmsgDetectThreadTest, FifoRecordsEachAloneThenServiceDestructionStops) {
    ChannelService s(Events{
            {"gpu_hang", {"gpu hang"}}, {"seq_ev", {"4242"}}, {"tail", {"end-of-a-full-buffer"}}});
    const std::pair<std::string, Strings> records[] = {
            {"6,4241,5000,-;kgsl: gpu hang detected\n", {"gpu_hang"}},
            {"3,4242,5001,-;nothing here\n", {"seq_ev"}},
            {"6,4243,5004,-;gpu hang", {"gpu_hang"}},
            {"6,4244,5005,-;first\n SUBSYSTEM=gpu hang\n", {"gpu_hang"}},
            {"6,4245,5008,-;gpu h", {}},  // a key word split over two records matches neither
            {"ang\n", {}},
            {std::string(4095 - 20, 'a') + "end-of-a-full-buffer", {"tail"}},  // fills the buffer
            {"6,4246,5009,-;gpu hang\n", {"gpu_hang"}},
            {"6,4247,6000,-;end-of-a-full-buffer\n", {"tail"}},
    };
    const std::string path = s.dir.file("kmsg");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    LogCapture log;
    sp<KmsgDetectThread> thread = new KmsgDetectThread(s.service.get(), path.c_str());
    s.service->mKmsgThread = thread;
    ASSERT_EQ(thread->run(kThreadName, 0, 0), android::NO_ERROR);
    const File writer(fopen(path.c_str(), "we"), fclose);  // waits for the reader
    ASSERT_NE(writer, nullptr);
    const int fd = fileno(writer.get());

    std::string bytes;
    Strings lines;
    for (const auto& [record, expected] : records) {
        ASSERT_EQ(write(fd, record.data(), record.size()), ssize_t(record.size()));
        // Drained before the next write, so that each record is a read of its own.
        int pending = 1;
        for (int i = 0; i < 10000 && ioctl(fd, FIONREAD, &pending) == 0 && pending; ++i) {
            usleep(1000);
        }
        for (const std::string& name : expected) {
            bytes += name + "\n";
            lines.push_back(sendLine(name));
        }
    }
    ASSERT_TRUE(log.waitFor(sendLine("tail"), 2));  // records are handled in order
    EXPECT_EQ(s.drain(), bytes);
    EXPECT_EQ(log.messages(), lines);
    // The writer stays open and silent: the thread waits on the device when the service goes.
    s.service.clear();
    EXPECT_FALSE(thread->isRunning());
}

// A file at its end reads 0 bytes at once, again and again: pause, report once, stop on request.
TEST(KmsgDetectThreadTest, FileThatEndsDoesNotSpin) {
    ChannelService s(Events{{"gpu_hang", {"hang"}}});
    const std::string path = s.dir.file("kmsg");
    tarnd_test::writeFile(path, "6,1,1,-;gpu hang in a file\n");
    LogCapture log;
    sp<KmsgDetectThread> thread = new KmsgDetectThread(s.service.get(), path.c_str());
    s.service->mKmsgThread = thread;
    ASSERT_EQ(thread->run(kThreadName, 0, 0), android::NO_ERROR);
    const std::string failure = "Failed to read " + path + ": end of file";
    ASSERT_TRUE(log.waitFor(failure));
    const std::clock_t before = std::clock();  // the process's CPU time: only the detector runs
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT((std::clock() - before) * 1000 / CLOCKS_PER_SEC, 200) << "CPU ms in one second";
    EXPECT_TRUE(thread->isRunning());
    EXPECT_EQ(s.drain(), "gpu_hang\n");
    s.service.clear();
    EXPECT_FALSE(thread->isRunning());
    EXPECT_EQ(log.messages(), Strings({sendLine("gpu_hang"), failure}));
    EXPECT_EQ(log.lines().back().prio, ANDROID_LOG_ERROR);
}

// Records the sequence numbers skip were overwritten unread: reported at once, then at most
// every 10 s with the sum; the first record, a piece without prefix and a step back count nothing.
TEST(KmsgDetectThreadTest, SkippedSequenceNumbersReported) {
    ChannelService s(Events{{"gpu_hang", {"gpu hang"}}});
    sp<KmsgDetectThread> thread = new KmsgDetectThread(s.service.get(), "/nonexistent");
    const std::pair<int, const char*> records[] = {
            {0, "6,500,1,-;start\n"}, {0, "6,501,1,-;x\n"},  {1, "6,505,1,-;gpu hang\n"},
            {2, "6,507,1,-;x\n"},     {3, "no prefix\n"},    {5, "6,520,1,-;x\n"},
            {6, "6,400,1,-;x\n"},     {11, "6,402,1,-;x\n"}, {12, "6,404,1,-;x\n"}};
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    for (const auto& [second, record] : records) {
        thread->handleRecord(record, start + std::chrono::seconds(second));
    }
    const std::string lost = " kernel log records were overwritten before they were read";
    EXPECT_EQ(log.messages(), Strings({"3" + lost, sendLine("gpu_hang"), "14" + lost}));
    EXPECT_EQ(log.lines()[0].prio, ANDROID_LOG_WARN);
    EXPECT_EQ(s.drain(), "gpu_hang\n");
}

void writeKmsg(const std::string& text) {
    const File kmsg(fopen("/dev/kmsg", "we"), fclose);
    ASSERT_NE(kmsg, nullptr);
    ASSERT_EQ(write(fileno(kmsg.get()), text.data(), text.size()), ssize_t(text.size()));
}

TEST(KmsgDetectThreadTest, RealDeviceEndToEnd) {
    if (!tarnd_test::isRoot()) GTEST_SKIP() << "writing to /dev/kmsg needs root";
    if (access("/dev/kmsg", R_OK | W_OK) != 0) GTEST_SKIP() << "no readable, writable /dev/kmsg";
    std::random_device random;
    const std::string before = "tk" + std::to_string(random()) + "b";
    const std::string after = "tk" + std::to_string(random()) + "a";
    ChannelService s(Events{{"before_ev", {before}}, {"after_ev", {after}}});
    LogCapture log;
    writeKmsg("<6>tarnd-test: " + before + "\n");  // already in the kernel's buffer: read too
    sp<KmsgDetectThread> thread = new KmsgDetectThread(s.service.get(), "/dev/kmsg");
    s.service->mKmsgThread = thread;
    ASSERT_EQ(thread->run(kThreadName, 0, 0), android::NO_ERROR);
    ASSERT_TRUE(log.waitFor(sendLine("before_ev")));
    writeKmsg("<6>tarnd-test: " + after + "\n");
    ASSERT_TRUE(log.waitFor(sendLine("after_ev")));
    EXPECT_EQ(s.drain(), "before_ev\nafter_ev\n");
    EXPECT_EQ(log.messages(), Strings({sendLine("before_ev"), sendLine("after_ev")}));
}

}  // namespace
