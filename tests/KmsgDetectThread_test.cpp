#include "detectors/KmsgDetectThread.h"

#include <gtest/gtest.h>
#include <log/log.h>
#include <sys/ioctl.h>

#include <random>

#include "TestSupport.h"
#include "base/UniqueFd.h"
#include "detectors/KmsgPosition.h"
#include "service/ThreadName.h"

using android::sp;
using android::tarnd::kKmsgThreadName;
using android::tarnd::KmsgDetectThread;
using Strings = std::vector<std::string>;

static std::string sent(const std::string& name) { return "Send msg from channel 1: " + name; }

// Whether the writer closes its end after the records.
const std::pair<const char*, bool> kFifoRows[] = {{"WriterStaysSilent", false},
                                                  {"WriterCloses", true}};

class KmsgDetectThreadFifoTest : public ::testing::TestWithParam<std::pair<const char*, bool>> {};

// Each write is a read of its own: the record's prefix and continuation lines are matched too, a
// key word split over two records matches neither, and one that fills the buffer still matches at
// its end. Then the device stays silent (the thread waits in poll) or ends (reads of 0 bytes at
// once: reported once, paused, no busy core); either way the service's destruction stops it.
TEST_P(KmsgDetectThreadFifoTest, Records) {
    const std::string records[] = {
            "6,4241,1,-;gpu hang\n", "3,4242,1,-;x\n", "6,4243,1,-;a\n B=gpu hang\n",
            "6,4244,1,-;gpu h",      "ang\n",          std::string(4091, 'a') + "@end"};
    tarnd_test::ChannelService s(
            {{"gpu_hang", {"gpu hang"}}, {"seq", {"4242"}}, {"tail", {"@end"}}});
    const std::string path = s.dir.file("kmsg");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    tarnd_host::LogCapture log;
    sp<KmsgDetectThread> thread = new KmsgDetectThread(s.service.get(), path.c_str());
    s.service->mKmsgThread = thread;
    ASSERT_EQ(thread->run(kKmsgThreadName, 0, 0), android::NO_ERROR);
    android::tarnd::UniqueFd writer(
            open(path.c_str(), O_WRONLY | O_CLOEXEC));  // waits for the reader
    for (const std::string& record : records) {
        ASSERT_EQ(write(writer.get(), record.data(), record.size()), ssize_t(record.size()));
        int pending = 1;  // drained before the next write
        while (ioctl(writer.get(), FIONREAD, &pending) == 0 && pending > 0) usleep(1000);
    }
    Strings lines = {sent("gpu_hang"), sent("seq"), sent("gpu_hang"), sent("tail")};
    ASSERT_TRUE(log.waitFor(lines.back()));  // records are handled in order
    if (GetParam().second) {
        writer.reset();
        lines.push_back("Failed to read " + path + ": end of file");
        ASSERT_TRUE(log.waitFor(lines.back()));
        EXPECT_LT(tarnd_test::cpuMsInASecond(), 200);
        EXPECT_EQ(log.lines().back().prio, ANDROID_LOG_ERROR);
    }
    EXPECT_EQ(s.drain(), "gpu_hang\nseq\ngpu_hang\ntail\n");
    EXPECT_EQ(log.messages(), lines);
    EXPECT_TRUE(thread->isRunning());
    s.service.clear();
    EXPECT_FALSE(thread->isRunning());
}
TARND_NAMED_ROWS(KmsgDetectThreadFifoTest, kFifoRows);

// Records the sequence numbers skip were overwritten unread: reported at once, then at most
// every 10 s with the sum; the first record, a piece without prefix and a step back count nothing.
TEST(KmsgDetectThreadTest, SkippedSequenceNumbersReportedAtOnceThenSummed) {
    tarnd_test::ChannelService s(
            std::vector<android::tarnd::KeywordMatcher::Entry>{{"gpu_hang", {"gpu hang"}}});
    sp<KmsgDetectThread> thread = new KmsgDetectThread(s.service.get(), "/nonexistent");
    tarnd_host::LogCapture log;
    const auto t0 = std::chrono::steady_clock::now();
    // Seconds after the first record, and the record.
    for (const auto& [at, record] :
         std::vector<std::pair<int, const char*>>{{0, "6,500,1,-;start\n"},
                                                  {0, "6,501,1,-;x\n"},
                                                  {1, "6,505,1,-;gpu hang\n"},
                                                  {2, "6,507,1,-;x\n"},
                                                  {3, "no prefix\n"},
                                                  {5, "6,520,1,-;x\n"},
                                                  {6, "6,400,1,-;x\n"},
                                                  {11, "6,402,1,-;x\n"},
                                                  {12, "6,404,1,-;x\n"}})
        thread->handleRecord(record, t0 + std::chrono::seconds(at));
    const std::string lost = " kernel log records were overwritten before they were read";
    EXPECT_EQ(log.messages(), Strings({"3" + lost, sent("gpu_hang"), "14" + lost}));
    EXPECT_EQ(log.lines()[0].prio, ANDROID_LOG_WARN);
    EXPECT_EQ(s.drain(), "gpu_hang\n");
}

// The first start of a boot reads the records already in the kernel's buffer, then those written
// while it runs; a restart in the same boot goes on after the last record handled, and a kept
// position of another boot is no position: the whole buffer is read again.
TEST(KmsgDetectThreadTest, RealDeviceReadsOnAfterARestartOfTheSameBoot) {
    android::tarnd::UniqueFd kmsg(open("/dev/kmsg", O_RDWR | O_CLOEXEC));
    if (!tarnd_test::isRoot() || !kmsg.ok()) GTEST_SKIP() << "needs root and a writable /dev/kmsg";
    const std::string word = "tk" + std::to_string(std::random_device()());
    tarnd_test::ChannelService s({{"before", {word + "b"}}, {"after", {word + "a"}}});
    s.service->mLogDumpPath = android::String8(s.dir.path().c_str());
    const std::string position = s.dir.file(".kmsg_position");
    auto record = [&](char which) {
        const std::string text = "<6>tarnd-test: " + word + which + "\n";
        ASSERT_EQ(write(kmsg.get(), text.data(), text.size()), ssize_t(text.size()));
    };
    // Before the start: "b" is written, nothing is done, or the kept position's boot is changed;
    // "a" is written once it runs. Then what the run sends: every "a" so far after a new boot.
    const std::pair<char, std::string> runs[] = {
            {'b', "before\nafter\n"}, {' ', "after\n"}, {'x', "before\nafter\nafter\nafter\n"}};
    for (const auto& [step, sends] : runs) {
        SCOPED_TRACE(std::string(1, step));
        if (step == 'b') record('b');
        if (step == 'x') {
            const std::string kept = tarnd_test::readFile(position);
            ASSERT_EQ(kept.substr(0, kept.find(' ')), android::tarnd::currentBootId());
            tarnd_test::writeFile(position, "another-boot" + kept.substr(kept.find(' ')));
        }
        tarnd_host::LogCapture log;
        sp<KmsgDetectThread> thread = new KmsgDetectThread(s.service.get(), "/dev/kmsg");
        ASSERT_EQ(thread->run(kKmsgThreadName, 0, 0), android::NO_ERROR);
        record('a');
        ASSERT_TRUE(log.waitFor(sent("after"), step == 'x' ? 3 : 1));
        thread->requestExit();  // wakes the poll; keeps the position
        thread->join();
        EXPECT_EQ(s.drain(), sends);
    }
}
