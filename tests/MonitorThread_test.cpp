#include "events/MonitorThread.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/netlink.h>
#include <poll.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>

#include "TestSupport.h"
#include "base/UniqueFd.h"
#include "tools/UeventMessage.h"

using namespace android;
using namespace android::tarnd;
using tarnd_host::LogCapture;
using Strings = std::vector<std::string>;

// Test processes running side by side all see every uevent: "~" stands for a prefix unique to
// this one. In the uevents sent, '|' stands for a zero byte.
static std::string ours(const std::string& text) {
    return tarnd_test::replaceAll(text, "~", "tok" + std::to_string(getpid()) + "_");
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
    const int on = 1;  // the sender's credentials, which decide whether the uevent is believed
    ASSERT_EQ(setsockopt(uevents.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)), 0);
    thread->mPollFds[0] = {uevents.get(), POLLIN, 0};
    thread->mPollFds[1] = {pipeIn.get(), POLLIN, 0};
    LogCapture log;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(thread->threadLoop());
    EXPECT_GT(thread->mRetryAt[1], before);
    thread->mRetryAt[1] = before;  // the channel fails again in the next pass: no new line
    ASSERT_EQ(send(kernel.get(), "change@/x\0TARND_EVENT=gpu_hang", 30, 0), 30);
    EXPECT_TRUE(thread->threadLoop());
    EXPECT_EQ(log.messages(),
              Strings({"error recv from internal channel, -1: " + std::string(strerror(ENOTSOCK)),
                       tarnd_test::isRoot() ? "Receive uevent: gpu_hang"
                                            : "Dropped 1 uevents from untrusted senders, last "
                                              "from uid " +
                                                      std::to_string(getuid())}));
    thread->mRetryAt[1] = std::chrono::steady_clock::now() + std::chrono::hours(1);
    thread->requestExit();
    EXPECT_TRUE(thread->threadLoop());
}

// A uevent socket refused at start is logged once and tried again later, quietly, until it works.
TEST(MonitorThreadTest, RefusedUeventSocketIsTriedAgain) {
    tarnd_test::ChannelService idle({});
    sp<MonitorThread> thread = new MonitorThread(idle.service.get());
    thread->mUeventProtocol = -1;
    LogCapture log;
    EXPECT_EQ(thread->readyToRun(), android::NO_ERROR);
    thread->mRetryAt[0] = std::chrono::steady_clock::now();
    thread->requestExit();  // the pass ends at once after its attempt
    EXPECT_TRUE(thread->threadLoop());
    thread->mUeventProtocol = NETLINK_KOBJECT_UEVENT;
    thread->mRetryAt[0] = std::chrono::steady_clock::now();
    EXPECT_TRUE(thread->threadLoop());
    EXPECT_EQ(log.messages(),
              Strings({"failed to create uevent socket, " + std::to_string(EPROTONOSUPPORT),
                       "uevent socket works again after 2 failed attempts"}));
}

// Names received at once are dumped each, the second logged with its place in the receive.
TEST(MonitorThreadTest, ChannelNamesRaiseEvents) {
    tarnd_test::ChannelService idle({});
    idle.service->mMinFreeSpace = 0;  // refused for their names only
    sp<MonitorThread> thread = new MonitorThread(idle.service.get());
    thread->mMsgSize = 18;
    memcpy(thread->mMsgBuf, "gpu_hang\nvpu_hang\n", 18);
    LogCapture log;
    thread->handleMessage(true);
    EXPECT_TRUE(
            tarnd_test::matches("*|W:Invalid event received, gpu_hang|Receive internal event: "
                                "vpu_hang, curSize: 9, mMsgSize: 18|*|W:Invalid event "
                                "received, vpu_hang",
                                tarnd_test::logText(log)))
            << tarnd_test::logText(log);
}

// A driver's own uevent raises the event it matches, and its variables reach the dump commands
// only through the environment; a named one raises its event, once however many monitors hold
// it, and not from a disabled monitor. Which values match what is the uevent fuzzer's part.
TEST(MonitorThreadTest, UeventsRaiseEvents) {
    if (!tarnd_test::hasNetAdmin()) GTEST_SKIP() << "sending a uevent needs CAP_NET_ADMIN";
    tarnd_test::ScratchDir dir;
    const std::string core = "/devices/virtual/devcoredump/devcd1", dumps = dir.file("dumps");
    // No log detectors and no free-space floor.
    tarnd_test::writeFile(
            dir.file("c.conf"),
            ours("global.log_dump_path=" + dumps +
                 "\nglobal.min_free_space=0\nglobal.logcat_grep=0\nglobal.kmsg_grep=0\n"
                 "handler.env.on=1\nhandler.env.dump=printf %s \"$TARND_UEVENT_DEVPATH|"
                 "$TARND_UEVENT_X\" > env.txt\nevent.end.uevent=~end\nevent.off.uevent=~end\n"
                 "event.last.uevent=~last\nevent.core.match=SUBSYSTEM=devcoredump\n"
                 "event.core.match=TOK=~\nevent.core.handler.env.on=1\nevent.drm.match=ERROR=1\n"
                 "event.drm.match=TOK=~\nevent.drm.match=DEVNAME=dri/card*\nevent.both.uevent=~b\n"
                 "event.both.match=TOK=~b\nmonitor.a.enable=1\nmonitor.a.event=drm\n"
                 "monitor.a.event=both\nmonitor.a.event=core\nmonitor.a.event=end\n"
                 "monitor.a.event=last\nmonitor.b.enable=1\nmonitor.b.event=end\n"
                 "monitor.c.enable=0\nmonitor.c.event=off\n"));
    LogCapture log;
    sp<TarnDebugService> service = tarnd_test::makeService(dir.file("c.conf"), dir.path());
    // The monitor reads the channel only once its uevent socket is bound.
    ASSERT_EQ(service->sendEvent(String8("ready")), NO_ERROR);
    ASSERT_TRUE(log.waitFor("Invalid event received, ready"));
    // A partial match raises nothing; end is held by two monitors; a hint and a match in one
    // uevent give one dump.
    for (std::string bytes : {"add@" + core + "|SUBSYSTEM=devcoredump|TOK=~|X=$(touch p)|",
                              std::string("change@/c|ERROR=1|DEVNAME=dri/card0|TOK=~|"),
                              std::string("change@/c|DEVNAME=dri/card0|TOK=~|"),
                              std::string("change@/x|TARND_EVENT=~end|"),
                              std::string("change@/x|TARND_EVENT=~b|TOK=~b|"),
                              std::string("change@/x|TARND_EVENT=~last|")}) {
        std::replace(bytes.begin(), bytes.end(), '|', '\0');
        ASSERT_EQ(tarnd_trigger::sendUeventMessage(ours(bytes)), 0);
    }
    // Datagrams are handled in order: once the last one's event is dumped, every dump before it
    // is over, a second one of any event too.
    ASSERT_TRUE(log.waitFor("Receive uevent, dump log for event: last"));
    EXPECT_EQ(log.count("Uevent add@" + core + " matches event core"), 1u);
    EXPECT_EQ(log.count("Uevent change@/c matches event drm"), 1u);
    EXPECT_EQ(log.count("Receive uevent, dump log for event: end"), 1u);
    EXPECT_EQ(log.count("Receive uevent, dump log for event: both"), 1u);
    EXPECT_FALSE(
            tarnd_test::matches("*|Dump event both *|Dump event both *", tarnd_test::logText(log)));
    const Strings made = tarnd_test::listDir(dumps);  // both, core, drm, end, last
    ASSERT_EQ(made.size(), 5u);
    EXPECT_EQ(tarnd_test::readFile(dumps + "/" + made[1] + "/env.txt"), core + "|$(touch p)");
    EXPECT_FALSE(tarnd_test::exists(dumps + "/" + made[1] + "/p"));
}

// Uevents are believed only from the kernel and from root. The kernel's own comes from writing
// to a device's uevent file; a sender that keeps CAP_NET_ADMIN under another uid is dropped before
// its uevent is read, and the drop is reported.
TEST(MonitorThreadUeventTest, OnlyTheKernelAndRootAreBelieved) {
    const char* lo = "/sys/class/net/lo/uevent";
    if (!tarnd_test::isRoot() || access(lo, W_OK) != 0) {
        GTEST_SKIP() << "needs root, CAP_NET_ADMIN and a writable " << lo;
    }
    tarnd_test::ChannelService s({});
    s.service->mMinFreeSpace = INT32_MAX;  // a dump stops at the space check
    TarnDebugService::Event kernel(nullptr, String8("kernel"));
    // Letters and digits only: the kernel takes no other value from the file.
    const std::string token = "k" + std::to_string(getpid());
    kernel.mMatches.add(String8(("SYNTH_ARG_TOK=" + token).c_str()));
    TarnDebugService::Monitor monitor(nullptr, String8("m"));
    monitor.mEnabled = true;
    monitor.mEvents.add(kernel);
    s.service->mMonitors.add(monitor);
    sp<MonitorThread> thread = new MonitorThread(s.service.get());
    LogCapture log;
    ASSERT_EQ(thread->readyToRun(), NO_ERROR);
    // Root's, then one from uid 65534 that kept CAP_NET_ADMIN, then the kernel's own.
    ASSERT_EQ(tarnd_trigger::sendUeventMessage(tarnd_trigger::buildUeventMessage(ours("~root"), 1)),
              0);
    const std::string user = tarnd_trigger::buildUeventMessage(ours("~user"), 2);
    pid_t child = fork();
    if (child == 0) {
        __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] = {};
        bool ok = prctl(PR_SET_KEEPCAPS, 1) == 0 && setresgid(65534, 65534, 65534) == 0 &&
                  setresuid(65534, 65534, 65534) == 0 && syscall(SYS_capget, &head, caps) == 0;
        caps[0].effective = 1u << CAP_NET_ADMIN;
        ok = ok && syscall(SYS_capset, &head, caps) == 0;
        _exit(ok && tarnd_trigger::sendUeventMessage(user) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0) << "the sender under uid 65534 could not send";
    tarnd_test::writeFile(lo, "change 2b1e5f3c-8d4a-4e6b-9c7d-0a1b2c3d4e5f TOK=" + token);
    const std::string matched = "Uevent change@/devices/virtual/net/lo matches event kernel";
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         !log.contains(matched) && std::chrono::steady_clock::now() < end;) {
        pollfd p = {thread->mUeventSocket.get(), POLLIN, 0};
        if (poll(&p, 1, 100) > 0) thread->threadLoop();
    }
    EXPECT_TRUE(log.contains(matched));
    EXPECT_TRUE(log.contains("Receive uevent: " + ours("~root")));
    EXPECT_FALSE(log.contains("Receive uevent: " + ours("~user")));
    EXPECT_TRUE(log.contains("Dropped 1 uevents from untrusted senders, last from uid 65534"));
}

// Ordinary uevents while nobody reads: the buffer asked for keeps all; the kernel's smallest
// loses most, and the loss is logged. Every listener of the group gets these too.
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
            setsockopt(thread->mUeventSocket.get(), SOL_SOCKET, SO_RCVBUFFORCE, &rcvBuf, 4);
        const std::string value = ours("~burst" + std::to_string(count));
        for (int i = 0; i < count; ++i)
            tarnd_trigger::sendUeventMessage(tarnd_trigger::buildCustomUevent(
                    "change", "/b", {"SUBSYSTEM=platform", "TARND_EVENT=" + value}, i));
        for (pollfd p = {thread->mUeventSocket.get(), POLLIN, 0}; poll(&p, 1, 0) > 0;)
            thread->threadLoop();
        return std::make_pair(log.count("Receive uevent: " + value), log.count(overrun));
    };
    // Other processes' bursts fill the buffer too: an overrun of the large one is tried again.
    auto large = burst(1000, 0);
    for (int i = 0; i < 2 && large.second > 0; ++i) large = burst(1000, 0);
    EXPECT_EQ(large, std::make_pair(size_t{1000}, size_t{0}));
    const auto smallest = burst(100, 256);
    EXPECT_LT(smallest.first, 100u);
    EXPECT_GE(smallest.second, 1u);
}
