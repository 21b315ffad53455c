#include "events/MonitorThread.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "base/UniqueFd.h"
#include "service/TarnDebugService.h"

using android::MonitorThread;
using android::sp;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;

namespace {

// Test processes running side by side all see every uevent: values unique to this one.
std::string token(const std::string& what) {
    static int counter = 0;
    return "tok" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" + what;
}

std::string uevent(std::initializer_list<std::string> strings) {
    std::string out;
    for (const std::string& s : strings) out += s + '\0';
    return out;
}

// To the uevent multicast group, as the kernel sends (needs CAP_NET_ADMIN).
void sendUevent(const std::string& bytes) {
    android::UniqueFd fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    struct sockaddr_nl dst = {};
    dst.nl_family = AF_NETLINK;
    dst.nl_groups = 1;
    ASSERT_EQ(sendto(fd.get(), bytes.data(), bytes.size(), 0,
                     reinterpret_cast<struct sockaddr*>(&dst), sizeof(dst)),
              static_cast<ssize_t>(bytes.size()))
            << strerror(errno);
}

// Lines of receives and dumps, the dump directory's time stamp cut off; uevents of other
// processes left out.
std::vector<std::string> eventLines(const LogCapture& log) {
    const std::string ours = "Receive uevent: tok" + std::to_string(getpid()) + "_";
    std::vector<std::string> out;
    for (const std::string& m : log.messages()) {
        if (m.rfind("Dump event ", 0) == 0) out.push_back(m.substr(0, m.size() - 16));
        if (m.rfind("Receive internal", 0) == 0 || m.rfind("Receive uevent, ", 0) == 0 ||
            m.rfind(ours, 0) == 0) {
            out.push_back(m);
        }
    }
    return out;
}

// Started from a configuration with no log detectors and no free-space floor, dumping under
// dir/dumps.
sp<TarnDebugService> startService(const TempDir& dir, const std::string& lines) {
    tarnd_test::writeFile(dir.file("tarndebug.conf"),
                          "global.log_dump_path=" + dir.file("dumps") +
                                  "\nglobal.min_free_space=0\nglobal.logcat_grep=0\n"
                                  "global.kmsg_grep=0\n" +
                                  lines);
    return tarnd_test::makeService(dir.file("tarndebug.conf"), dir.path());
}

TEST(MonitorThreadTest, EighteenChannelBytesGiveTwoDumps) {
    TempDir dir;
    LogCapture log;
    sp<TarnDebugService> service =
            startService(dir,
                         "event.gpu_hang.policy=1\nevent.vpu_hang.policy=1\nmonitor.main.enable=1\n"
                         "monitor.main.event=gpu_hang\nmonitor.main.event=vpu_hang\n");
    ASSERT_EQ(service->mStopped, 0);
    EXPECT_EQ(tarnd_test::threadsNamedSoon("TARND Monitor"), 1);
    // The channel's first bytes in one write: one receive takes all 18.
    ASSERT_EQ(write(service->mSockets[0].get(), "gpu_hang\nvpu_hang\n", 18), 18);
    ASSERT_TRUE(log.waitFor("Filelist: ", 2));  // no handlers: an empty list
    const std::string dumps = dir.file("dumps");
    EXPECT_EQ(eventLines(log), (std::vector<std::string>{
                                       "Dump event gpu_hang to " + dumps + "/gpu_hang_",
                                       "Receive internal event: vpu_hang, curSize: 9, mMsgSize: 18",
                                       "Dump event vpu_hang to " + dumps + "/vpu_hang_"}));
    EXPECT_EQ(tarnd_test::listDir(dumps).size(), 2u);
}

// A pipe in place of the channel fails every receive: logged once, rested on rather than spun
// on, and the uevent side is served meanwhile. A negative count is never a length.
TEST(MonitorThreadTest, FailingReceiveNeitherSpinsNorHoldsUpUevents) {
    TempDir dir;
    sp<TarnDebugService> service = startService(dir, "");  // no monitor: nothing started
    sp<MonitorThread> thread = new MonitorThread(service.get());
    int dgram[2], fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, dgram), 0);
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    android::UniqueFd uevents(dgram[0]), kernel(dgram[1]), pipeIn(fds[0]), pipeOut(fds[1]);
    ASSERT_EQ(write(pipeOut.get(), "x", 1), 1);
    thread->mPollFds[0] = {uevents.get(), POLLIN, 0};
    thread->mPollFds[1] = {pipeIn.get(), POLLIN, 0};

    LogCapture log;
    memcpy(thread->mMsgBuf, "gpu_hang\n", 9);
    thread->mMsgSize = -1;
    thread->handleMessage(true);
    thread->handleMessage(false);
    auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(thread->threadLoop());
    EXPECT_GT(thread->mRetryAt[1], before);
    thread->mRetryAt[1] = before;  // the channel fails again in the next pass: no new line
    const std::string value = token("v"), bytes = uevent({"change@/x", "TARND_EVENT=" + value});
    ASSERT_EQ(send(kernel.get(), bytes.data(), bytes.size(), 0),
              static_cast<ssize_t>(bytes.size()));
    EXPECT_TRUE(thread->threadLoop());
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"error recv from internal channel, -1: " +
                                                                std::string(strerror(ENOTSOCK)),
                                                        "Receive uevent: " + value}));
    // An exit request ends a pause that nothing else would end for an hour.
    thread->mRetryAt[1] = std::chrono::steady_clock::now() + std::chrono::hours(1);
    thread->requestExit();
    EXPECT_TRUE(thread->threadLoop());
}

TEST(MonitorThreadUeventTest, DumpsOnceAcrossMonitorsAndNothingForDisabledOnes) {
    if (!tarnd_test::hasNetAdmin()) GTEST_SKIP() << "sending a uevent needs CAP_NET_ADMIN";
    const std::string hit = token("hit"), off = token("off"), end = token("end");
    TempDir dir;
    sp<TarnDebugService> service = startService(
            dir, "event.gpu_hang.uevent=" + token("other") + "\nevent.gpu_hang.uevent=" + hit +
                         "\nevent.off.uevent=" + off + "\nevent.end.uevent=" + end +
                         "\nmonitor.a.enable=1\nmonitor.a.event=gpu_hang\nmonitor.a.event=end\n"
                         "monitor.b.enable=1\nmonitor.b.event=gpu_hang\n"
                         "monitor.c.enable=0\nmonitor.c.event=gpu_hang\nmonitor.c.event=off\n");
    ASSERT_EQ(service->mStopped, 0);
    LogCapture log;
    // The channel is read once the uevent socket is bound.
    service->sendEvent(android::String8("probe"));
    ASSERT_TRUE(log.waitFor("Invalid event received, probe"));
    for (const std::string& value : {hit, off, end}) {
        sendUevent(
                uevent({"change@/devices/virtual/tarnd", "ACTION=change", "TARND_EVENT=" + value}));
    }
    // Datagrams arrive in order: once the last is dumped, the others are done.
    ASSERT_TRUE(log.waitFor("Receive uevent, dump log for event: end"));
    const std::string dumps = dir.file("dumps");
    EXPECT_EQ(eventLines(log),
              (std::vector<std::string>{
                      "Receive uevent: " + hit, "Dump event gpu_hang to " + dumps + "/gpu_hang_",
                      "Receive uevent, dump log for event: gpu_hang", "Receive uevent: " + off,
                      "Receive uevent: " + end, "Dump event end to " + dumps + "/end_",
                      "Receive uevent, dump log for event: end"}));
    EXPECT_EQ(tarnd_test::listDir(dumps).size(), 2u);
}

// Drivers' own uevents raise events by their variables, which reach the dump commands only
// through the environment.
TEST(MonitorThreadUeventTest, DriverUeventsRaiseMatchingEvents) {
    if (!tarnd_test::isRoot()) GTEST_SKIP() << "sending a uevent needs root (CAP_NET_ADMIN)";
    const std::string tok = "TOK=" + token("m"), both = token("both"), end = token("end");
    TempDir dir;
    sp<TarnDebugService> service = startService(
            dir,
            "handler.env.dump=printf '%s|%s' \"$TARND_UEVENT_DEVPATH\" \"$TARND_UEVENT_X\" "
            "> env.txt\nhandler.env.on=1\n"
            "event.drm.match=SUBSYSTEM=drm\nevent.drm.match=ERROR=1\nevent.drm.match=" +
                    tok +
                    "\nevent.core.match=ACTION=add\nevent.core.match=SUBSYSTEM=devcoredump\n"
                    "event.core.match=" +
                    tok +
                    "\nevent.core.handler.env.on=1\n"
                    "event.pre.match=NAME=gpu*\nevent.pre.match=" +
                    tok +
                    "\n"
                    "event.both.uevent=" +
                    both + "\nevent.both.match=" + tok +
                    "_b\n"
                    "event.off.match=" +
                    tok + "_off\nevent.end.uevent=" + end +
                    "\n"
                    "monitor.a.enable=1\nmonitor.a.event=drm\nmonitor.a.event=core\n"
                    "monitor.a.event=pre\nmonitor.a.event=both\nmonitor.a.event=end\n"
                    "monitor.b.enable=0\nmonitor.b.event=off\n");
    ASSERT_EQ(service->mStopped, 0);
    LogCapture log;
    service->sendEvent(android::String8("probe"));
    ASSERT_TRUE(log.waitFor("Invalid event received, probe"));
    const std::string core = "/devices/virtual/devcoredump/devcd1";
    for (const std::string& bytes :
         {uevent({"change@/card0", "SUBSYSTEM=drm", "ERROR=1", tok}),
          uevent({"change@/card0", "SUBSYSTEM=drm", tok}),
          uevent({"add@" + core, "SUBSYSTEM=devcoredump", tok,
                  "X=$(touch " + dir.file("pwned") + ")"}),
          uevent({"change@/x", "NAME=gpu0", tok}),
          uevent({"change@/x", "TARND_EVENT=" + both, tok + "_b"}),
          uevent({"change@/x", tok + "_off"}), uevent({"change@/x", "TARND_EVENT=" + end})}) {
        sendUevent(bytes);
    }
    ASSERT_TRUE(log.waitFor("Receive uevent, dump log for event: end"));
    std::vector<std::string> lines;
    for (const std::string& m : log.messages()) {
        if (m.rfind("Uevent ", 0) == 0 || m.rfind("Receive uevent, ", 0) == 0) lines.push_back(m);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"Uevent change@/card0 matches event drm",
                                               "Uevent add@" + core + " matches event core",
                                               "Uevent change@/x matches event pre",
                                               "Receive uevent, dump log for event: both",
                                               "Receive uevent, dump log for event: end"}));
    std::vector<std::string> dumps = tarnd_test::listDir(dir.file("dumps"));
    ASSERT_EQ(dumps.size(), 5u);
    const std::string coreDump = dumps[1];
    ASSERT_EQ(coreDump.rfind("core_", 0), 0u) << coreDump;
    EXPECT_EQ(tarnd_test::readFile(dir.file("dumps/" + coreDump + "/env.txt")),
              core + "|$(touch " + dir.file("pwned") + ")");
    EXPECT_FALSE(tarnd_test::exists(dir.file("pwned")));
}

// Ordinary uevents while nobody reads: the buffer asked for keeps all; the kernel's smallest
// loses most, and the loss is logged.
TEST(MonitorThreadUeventTest, BurstWhileTheReaderIsBlocked) {
    if (!tarnd_test::hasNetAdmin()) GTEST_SKIP() << "sending a uevent needs CAP_NET_ADMIN";
    TempDir dir;
    sp<TarnDebugService> service = startService(dir, "");  // no monitor: nothing started
    const std::string overrun =
            "uevent socket overrun, uevents were lost (" + std::string(strerror(ENOBUFS)) + ")";
    auto burst = [&](int count, int forcedRcvBuf) {
        LogCapture log;
        sp<MonitorThread> thread = new MonitorThread(service.get());
        EXPECT_EQ(thread->readyToRun(), android::NO_ERROR);
        if (forcedRcvBuf > 0) {
            setsockopt(thread->mUeventSocket.get(), SOL_SOCKET, SO_RCVBUFFORCE, &forcedRcvBuf,
                       sizeof(forcedRcvBuf));
        }
        const std::string value = token("burst"), dev = "/devices/platform/soc/gpu/tarnd_burst";
        for (int i = 0; i < count; ++i) {
            sendUevent(uevent({"change@" + dev, "ACTION=change", "DEVPATH=" + dev,
                               "SUBSYSTEM=platform", "SEQNUM=" + std::to_string(100000 + i),
                               "TARND_EVENT=" + value}));
        }
        for (struct pollfd p = {thread->mUeventSocket.get(), POLLIN, 0}; poll(&p, 1, 0) > 0;) {
            thread->threadLoop();
        }
        return std::make_pair(log.count("Receive uevent: " + value), log.count(overrun));
    };
    // Enough to overflow the smallest buffer; every listener of the group gets these too.
    auto asked = burst(1000, 0), smallest = burst(100, 256);
    EXPECT_EQ(asked, std::make_pair(size_t{1000}, size_t{0}));
    EXPECT_LT(smallest.first, 100u);
    EXPECT_GE(smallest.second, 1u);
}

}  // namespace
