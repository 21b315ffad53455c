#include "events/MonitorThread.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>

#include <algorithm>

#include "TestSupport.h"
#include "base/UniqueFd.h"
#include "tools/UeventMessage.h"

using namespace android;
using namespace std::string_literals;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;

// Test processes running side by side all see every uevent: "~" stands for a prefix unique to
// this one. In the uevents sent, '|' stands for a zero byte.
static std::string ours(std::string text) {
    for (size_t at; (at = text.find('~')) != std::string::npos;) {
        text.replace(at, 1, "tok" + std::to_string(getpid()) + "_");
    }
    return text;
}

// Receives, matches and dumps (the dump directory left out); uevents of other processes left out.
static std::vector<std::string> eventLines(const LogCapture& log) {
    std::vector<std::string> out;
    for (const std::string& m : log.messages()) {
        for (const std::string& start : {"Dump event "s, "Receive internal"s, "Receive uevent, "s,
                                         "Uevent "s, ours("Receive uevent: ~")}) {
            if (m.rfind(start, 0) == 0) out.push_back(m.substr(0, m.find(" to ")));
        }
    }
    return out;
}

// A pipe in place of the channel fails every receive: logged once, rested on rather than spun
// on, and the uevent side is served meanwhile. An exit request ends a pause that nothing else
// would end for an hour.
TEST(MonitorThreadTest, FailingReceiveNeitherSpinsNorHoldsUpUevents) {
    tarnd_test::ChannelService idle({});
    sp<MonitorThread> thread = new MonitorThread(idle.service.get());
    int dgram[2], fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, dgram) | pipe2(fds, O_CLOEXEC), 0);
    UniqueFd uevents(dgram[0]), kernel(dgram[1]), pipeIn(fds[0]), pipeOut(fds[1]);
    ASSERT_EQ(write(pipeOut.get(), "x", 1), 1);
    thread->mPollFds[0] = {uevents.get(), POLLIN, 0};
    thread->mPollFds[1] = {pipeIn.get(), POLLIN, 0};
    LogCapture log;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(thread->threadLoop());
    EXPECT_GT(thread->mRetryAt[1], before);
    thread->mRetryAt[1] = before;  // the channel fails again in the next pass: no new line
    ASSERT_EQ(send(kernel.get(), "change@/x\0TARND_EVENT=gpu_hang", 30, 0), 30);
    EXPECT_TRUE(thread->threadLoop());
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"error recv from internal channel, -1: " +
                                                                std::string(strerror(ENOTSOCK)),
                                                        "Receive uevent: gpu_hang"}));
    thread->mRetryAt[1] = std::chrono::steady_clock::now() + std::chrono::hours(1);
    thread->requestExit();
    EXPECT_TRUE(thread->threadLoop());
}

// Names written to the channel at once are dumped each, the second logged with its place in the
// receive. Drivers' own uevents raise the events they match (those of enabled monitors), and
// their variables reach the dump commands only through the environment. A uevent that names and
// matches an event dumps it once. Which values raise what is the uevent fuzzer's part.
TEST(MonitorThreadTest, ChannelNamesAndUeventsRaiseEvents) {
    TempDir dir;
    const std::string core = "/devices/virtual/devcoredump/devcd1", dumps = dir.file("dumps");
    LogCapture log;
    // No log detectors and no free-space floor.
    const std::string config = ours(
            "global.min_free_space=0\nglobal.logcat_grep=0\nglobal.kmsg_grep=0\nhandler.env.on=1\n"
            "handler.env.dump=printf %s \"$TARND_UEVENT_DEVPATH|$TARND_UEVENT_X\" > env.txt\n"
            "event.gpu_hang.policy=1\nevent.vpu_hang.policy=1\nevent.end.uevent=~end\n"
            "event.both.uevent=~both\nevent.both.match=TOK=~b\nevent.off.match=TOK=~off\n"
            "event.drm.match=SUBSYSTEM=drm\nevent.drm.match=ERROR=1\nevent.drm.match=TOK=~\n"
            "event.core.match=ACTION=add\nevent.core.match=SUBSYSTEM=devcoredump\n"
            "event.core.match=TOK=~\nevent.core.handler.env.on=1\nevent.pre.match=NAME=gpu*\n"
            "event.pre.match=TOK=~\nmonitor.a.enable=1\nmonitor.a.event=gpu_hang\n"
            "monitor.a.event=vpu_hang\nmonitor.a.event=drm\nmonitor.a.event=core\n"
            "monitor.a.event=pre\nmonitor.a.event=both\nmonitor.a.event=end\n"
            "monitor.c.enable=0\nmonitor.c.event=off\n");
    tarnd_test::writeFile(dir.file("c.conf"), "global.log_dump_path=" + dumps + "\n" + config);
    sp<TarnDebugService> service = tarnd_test::makeService(dir.file("c.conf"), dir.path());
    ASSERT_EQ(service->mStopped, 0);
    // The channel's first bytes in one write: one receive takes all 18. The channel is read once
    // the uevent socket is bound.
    ASSERT_EQ(write(service->mSockets[0].get(), "gpu_hang\nvpu_hang\n", 18), 18);
    ASSERT_TRUE(log.waitFor("Filelist: ", 2));  // no handlers: an empty list
    EXPECT_EQ(eventLines(log), (std::vector<std::string>{
                                       "Dump event gpu_hang",
                                       "Receive internal event: vpu_hang, curSize: 9, mMsgSize: 18",
                                       "Dump event vpu_hang"}));
    if (!tarnd_test::hasNetAdmin()) GTEST_SKIP() << "sending a uevent needs CAP_NET_ADMIN";
    LogCapture uevents;
    for (const std::string& text : std::vector<std::string>{
                 "change@/card0|SUBSYSTEM=drm|ERROR=1|TOK=~", "change@/card0|SUBSYSTEM=drm|TOK=~",
                 "add@" + core + "|SUBSYSTEM=devcoredump|TOK=~|X=$(touch " + dir.file("p") + ")",
                 "change@/x|NAME=gpu0|TOK=~", "change@/x|TARND_EVENT=~both|TOK=~b",
                 "change@/x|TOK=~off", "change@/x|TARND_EVENT=~end"}) {
        std::string bytes = ours(text + "|");
        std::replace(bytes.begin(), bytes.end(), '|', '\0');
        ASSERT_EQ(tarnd_trigger::sendUeventMessage(bytes), 0) << text;
    }
    // Datagrams arrive in order: once the last is dumped, the others are done.
    ASSERT_TRUE(log.waitFor("Receive uevent, dump log for event: end"));
    EXPECT_EQ(eventLines(uevents),
              (std::vector<std::string>{
                      "Uevent change@/card0 matches event drm", "Dump event drm",
                      "Uevent add@" + core + " matches event core", "Dump event core",
                      "Uevent change@/x matches event pre", "Dump event pre",
                      ours("Receive uevent: ~both"), "Dump event both",
                      "Receive uevent, dump log for event: both", ours("Receive uevent: ~end"),
                      "Dump event end", "Receive uevent, dump log for event: end"}));
    const std::vector<std::string> made = tarnd_test::listDir(dumps);
    ASSERT_EQ(made.size(), 7u);
    EXPECT_EQ(tarnd_test::readFile(dumps + "/" + made[1] + "/env.txt"),
              core + "|$(touch " + dir.file("p") + ")");
    EXPECT_FALSE(tarnd_test::exists(dir.file("p")));
}

// Ordinary uevents while nobody reads: the buffer asked for keeps all; the kernel's smallest
// loses most, and the loss is logged. Enough to overflow the smallest buffer; every listener of
// the group gets these too.
TEST(MonitorThreadUeventTest, BurstWhileTheReaderIsBlocked) {
    if (!tarnd_test::hasNetAdmin()) GTEST_SKIP() << "sending a uevent needs CAP_NET_ADMIN";
    tarnd_test::ChannelService idle({});
    const std::string overrun =
            "uevent socket overrun, uevents were lost (" + std::string(strerror(ENOBUFS)) + ")";
    auto burst = [&](int count, int rcvBuf) {
        LogCapture log;
        sp<MonitorThread> thread = new MonitorThread(idle.service.get());
        EXPECT_EQ(thread->readyToRun(), NO_ERROR);
        if (rcvBuf > 0)
            setsockopt(thread->mUeventSocket.get(), SOL_SOCKET, SO_RCVBUFFORCE, &rcvBuf,
                       sizeof(rcvBuf));
        const std::string value = ours("~burst" + std::to_string(count));
        for (int i = 0; i < count; ++i) {
            tarnd_trigger::sendUeventMessage(tarnd_trigger::buildCustomUevent(
                    "change", "/devices/platform/soc/gpu/b",
                    {"SUBSYSTEM=platform", "TARND_EVENT=" + value}, i));
        }
        for (pollfd p = {thread->mUeventSocket.get(), POLLIN, 0}; poll(&p, 1, 0) > 0;)
            thread->threadLoop();
        return std::make_pair(log.count("Receive uevent: " + value), log.count(overrun));
    };
    const auto asked = burst(1000, 0), smallest = burst(100, 256);
    EXPECT_EQ(asked, std::make_pair(size_t{1000}, size_t{0}));
    EXPECT_LT(smallest.first, 100u);
    EXPECT_GE(smallest.second, 1u);
}
