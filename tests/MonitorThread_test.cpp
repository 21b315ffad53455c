#include "events/MonitorThread.h"

#include <binder/Parcel.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "events/ChannelReader.h"
#include "service/TarnDebugService.h"

using android::MonitorThread;
using android::sp;
using android::String16;
using android::String8;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using tarnd_host::LogLine;
using tarnd_test::TempDir;

namespace {

constexpr auto kLongWait = std::chrono::seconds(120);

/// Closes its descriptor when it goes.
class Fd {
  public:
    explicit Fd(int fd = -1) : mFd(fd) {}
    ~Fd() {
        if (mFd >= 0) close(mFd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return mFd; }

  private:
    int mFd;
};

// Values unique to this process, so that test processes running side by side, which all see
// every uevent, never act on one another's.
std::string token(const std::string& what) {
    static std::atomic<int> counter{0};
    return "tok" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" + what;
}

// Strings joined with their zero bytes, as the kernel sends them.
std::string uevent(std::initializer_list<std::string> strings) {
    std::string out;
    for (const std::string& s : strings) {
        out += s;
        out.push_back('\0');
    }
    return out;
}

std::string tarndUevent(const std::string& value) {
    return uevent({"change@/devices/virtual/tarnd_test", "ACTION=change",
                   "DEVPATH=/devices/virtual/tarnd_test", "SUBSYSTEM=tarnd_test",
                   "TARND_EVENT=" + value});
}

// Sends one datagram to the uevent multicast group, as the kernel would.
void sendUevent(const std::string& bytes) {
    Fd fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    ASSERT_GE(fd.get(), 0) << strerror(errno);
    struct sockaddr_nl dst;
    memset(&dst, 0, sizeof(dst));
    dst.nl_family = AF_NETLINK;
    dst.nl_groups = 1;
    ssize_t sent = sendto(fd.get(), bytes.data(), bytes.size(), 0,
                          reinterpret_cast<struct sockaddr*>(&dst), sizeof(dst));
    ASSERT_EQ(sent, static_cast<ssize_t>(bytes.size())) << strerror(errno);
}

size_t countPrefix(const std::vector<LogLine>& lines, const std::string& prefix) {
    size_t n = 0;
    for (const LogLine& l : lines) n += l.msg.compare(0, prefix.size(), prefix) == 0;
    return n;
}

size_t countPrefix(const LogCapture& log, const std::string& prefix) {
    return countPrefix(log.lines(), prefix);
}

bool waitForPrefix(const LogCapture& log, const std::string& prefix, size_t n = 1,
                   std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return log.waitUntil(
            [&](const std::vector<LogLine>& lines) { return countPrefix(lines, prefix) >= n; },
            timeout);
}

// Index of the first line with the prefix, or -1.
ssize_t indexOf(const LogCapture& log, const std::string& prefix) {
    std::vector<LogLine> lines = log.lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].msg.compare(0, prefix.size(), prefix) == 0) return static_cast<ssize_t>(i);
    }
    return -1;
}

void writeAll(int fd, const std::string& bytes) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    ASSERT_EQ(n, static_cast<ssize_t>(bytes.size())) << strerror(errno);
}

// A service whose start-up found no monitor; each test gives it records, a channel and a
// monitor thread by hand, so that only the monitor thread and the dump procedure are at work.
class MonitorThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tarnd_test::writeFile(mDir.file("empty.conf"), "");
        mService = tarnd_test::makeService(mDir.file("empty.conf"), mDir.path());
        ASSERT_EQ(mService->mStopped, 1);
        mDumps = mDir.file("dumps");
        ASSERT_EQ(mkdir(mDumps.c_str(), 0755), 0);
        mService->mLogDumpPath = String8(mDumps.c_str());
        mService->mMinFreeSpace = 0;
    }

    void addEvent(const std::string& name, std::initializer_list<std::string> hints = {}) {
        TarnDebugService::Event event(mService.get(), String8(name.c_str()));
        for (const std::string& hint : hints) event.mUeventHints.add(String8(hint.c_str()));
        mService->mEvents.add(event);
    }

    // Takes copies of the named events, as the configuration does.
    void addMonitor(const std::string& name, bool enabled,
                    std::initializer_list<std::string> events) {
        TarnDebugService::Monitor monitor(mService.get(), String8(name.c_str()));
        monitor.mEnabled = enabled;
        monitor.mLevel = 1;
        for (const std::string& e : events) {
            ssize_t i = TarnDebugService::findByName(mService->mEvents, e.c_str());
            ASSERT_GE(i, 0) << e;
            monitor.mEvents.add(mService->mEvents[static_cast<size_t>(i)]);
        }
        mService->mMonitors.add(monitor);
    }

    // Start-up's last steps: the channel, the monitor thread, running.
    void startMonitor() {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, mService->mSockets), 0);
        mService->mMonitorThread = new MonitorThread(mService.get());
        mService->mMonitorThread->run("TARND Monitor", 0, 0);
        mService->mStopped = 0;
    }

    // The thread has bound its uevent socket once it has read the channel.
    void waitReady() {
        std::string a = token("pa"), b = token("pb");
        LogCapture log;
        writeAll(mService->mSockets[0], a + "\n" + b + "\n");
        ASSERT_TRUE(waitForPrefix(log, "Receive internal event: " + b + ", "));
        // And done with them, so that nothing of the probe reaches a later capture.
        ASSERT_TRUE(log.waitFor("Invalid event received, " + b));
    }

    // Dump directories of the event: its name and a 16-character time stamp.
    std::vector<std::string> dumpDirs(const std::string& event) {
        std::vector<std::string> out;
        for (const std::string& name : tarnd_test::listDir(mDumps)) {
            if (name.size() == event.size() + 16 &&
                name.compare(0, event.size() + 1, event + "_") == 0) {
                out.push_back(name);
            }
        }
        return out;
    }

    TempDir mDir;
    std::string mDumps;
    sp<TarnDebugService> mService;
};

TEST_F(MonitorThreadTest, EighteenChannelBytesGiveTwoDumps) {
    addEvent("gpu_hang");
    addEvent("vpu_hang");
    addMonitor("main", true, {"gpu_hang", "vpu_hang"});
    LogCapture log;
    startMonitor();
    // The channel's first bytes, so that one receive returns exactly these 18.
    writeAll(mService->mSockets[0], "gpu_hang\nvpu_hang\n");
    ASSERT_TRUE(waitForPrefix(log, "Filelist: ", 2));

    EXPECT_EQ(log.count("Receive internal event: vpu_hang, curSize: 9, mMsgSize: 18"), 1u);
    EXPECT_EQ(countPrefix(log, "Receive internal event: "), 1u);
    ssize_t gpu = indexOf(log, "Dump event gpu_hang to " + mDumps + "/gpu_hang_");
    ssize_t vpu = indexOf(log, "Dump event vpu_hang to " + mDumps + "/vpu_hang_");
    ASSERT_GE(gpu, 0);
    ASSERT_GE(vpu, 0);
    EXPECT_LT(gpu, vpu);
    EXPECT_LT(gpu, indexOf(log, "Receive internal event: vpu_hang"));
    EXPECT_EQ(dumpDirs("gpu_hang").size(), 1u);
    EXPECT_EQ(dumpDirs("vpu_hang").size(), 1u);
}

TEST_F(MonitorThreadTest, NameSplitAcrossReceivesIsJoined) {
    addEvent("gpu_hang");
    addEvent("vpu_hang");
    addMonitor("main", true, {"gpu_hang", "vpu_hang"});
    startMonitor();
    LogCapture log;
    // The first receive ends inside gpu_hang: the probe line shows it has been handled.
    writeAll(mService->mSockets[0], "pa\npb\ngpu_");
    ASSERT_TRUE(waitForPrefix(log, "Receive internal event: pb, curSize: 3, mMsgSize: 10"));
    writeAll(mService->mSockets[0], "hang\nvpu");
    // The file list closes a dump.
    ASSERT_TRUE(waitForPrefix(log, "Filelist: ", 1));
    EXPECT_EQ(countPrefix(log, "Dump event gpu_hang to "), 1u);
    // A bare name waits for its newline.
    writeAll(mService->mSockets[0], "_hang");
    writeAll(mService->mSockets[0], "\n");
    ASSERT_TRUE(waitForPrefix(log, "Filelist: ", 2));
    EXPECT_EQ(countPrefix(log, "Dump event vpu_hang to "), 1u);

    EXPECT_EQ(dumpDirs("gpu_hang").size(), 1u);
    EXPECT_EQ(dumpDirs("vpu_hang").size(), 1u);
    EXPECT_EQ(log.count("Invalid event received, gpu_"), 0u);
    EXPECT_EQ(log.count("Invalid event received, hang"), 0u);
    EXPECT_EQ(log.count("Invalid event received, vpu"), 0u);
    EXPECT_EQ(log.count("Invalid event received, _hang"), 0u);
    EXPECT_EQ(countPrefix(log, "Invalid event received, "), 2u);  // pa and pb
}

TEST_F(MonitorThreadTest, UnknownAndOverlongNames) {
    addEvent("gpu_hang");
    addMonitor("main", true, {"gpu_hang"});
    startMonitor();
    LogCapture log;
    std::string overlong(android::ChannelReader::kMaxNameLength + 1, 'x');
    writeAll(mService->mSockets[0], "\n\nno_such_event\n" + overlong + "\n\ngpu_hang\n");
    ASSERT_TRUE(waitForPrefix(log, "Dump event gpu_hang to "));
    EXPECT_EQ(log.count("Drop internal event name longer than 1024 bytes"), 1u);
    EXPECT_EQ(log.count("Invalid event received, no_such_event"), 1u);
    EXPECT_EQ(countPrefix(log, "Invalid event received, "), 1u);
    // Every name, valid or not, is measured before it is looked up.
    EXPECT_EQ(countPrefix(log, "free="), 2u);
}

// Long enough that the bytes waiting in the channel exceed one receive, so that receives end
// inside names.
std::string writerName(int thread, int i) {
    std::string name = "w" + std::to_string(thread) + "_n" + std::to_string(i) + "_";
    return name + std::string(100 - name.size(), 'x');
}

// Writers as in the daemon: binder calls and detector-style writes of a name and its newline,
// all at once and without a lock. Every name reaches the dump procedure exactly once, whole.
TEST_F(MonitorThreadTest, ManyWritersAtOnce) {
    constexpr int kThreads = 8;
    constexpr int kNames = 500;
    constexpr int kKnownEvery = 125;  // every so often a configured event, which is dumped
    addEvent("known");
    addMonitor("main", true, {"known"});
    startMonitor();
    waitReady();

    tarnd_host::LogStore::instance().setEcho(false);
    LogCapture log;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([this, t] {
            for (int i = 0; i < kNames; ++i) {
                std::string name = i % kKnownEvery == 0 ? "known" : writerName(t, i);
                if (t % 2 == 0) {
                    android::Parcel data, reply;
                    data.writeInterfaceToken(String16("quorl.kez.tarnd"));
                    data.writeString16(String16(name.c_str()));
                    mService->transact(1, data, &reply);
                } else {
                    name.push_back('\n');
                    ssize_t n = write(mService->mSockets[0], name.data(), name.size());
                    (void)n;
                }
            }
        });
    }
    for (std::thread& w : writers) w.join();
    constexpr size_t kTotal = kThreads * kNames;
    bool done = waitForPrefix(log, "free=", kTotal, kLongWait);
    tarnd_host::LogStore::instance().setEcho(true);
    ASSERT_TRUE(done) << countPrefix(log, "free=") << " of " << kTotal;

    std::map<std::string, int> invalid;
    for (const LogLine& l : log.lines()) {
        const std::string prefix = "Invalid event received, ";
        if (l.msg.compare(0, prefix.size(), prefix) == 0) ++invalid[l.msg.substr(prefix.size())];
    }
    constexpr size_t kKnown = kThreads * (kNames / kKnownEvery);
    EXPECT_EQ(invalid.size(), kTotal - kKnown);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kNames; ++i) {
            if (i % kKnownEvery == 0) continue;
            std::string name = writerName(t, i);
            EXPECT_EQ(invalid[name], 1) << name;
            invalid.erase(name);
        }
    }
    // Whatever is left was never sent: a merged or split name.
    for (const auto& entry : invalid) ADD_FAILURE() << "unexpected name " << entry.first;
    EXPECT_EQ(countPrefix(log, "Dump event known to "), kKnown);
    EXPECT_EQ(log.count("Drop internal event name longer than 1024 bytes"), 0u);
    // The largest receive: a full one is where names get cut and carried over.
    int largest = 0;
    for (const LogLine& l : log.lines()) {
        size_t at = l.msg.find(", mMsgSize: ");
        if (at != std::string::npos) largest = std::max(largest, atoi(l.msg.c_str() + at + 12));
    }
    RecordProperty("largest_receive", largest);
}

TEST_F(MonitorThreadTest, DestroyingTheServiceEndsTheThread) {
    std::vector<int> fdsBefore = tarnd_test::openFds();
    addEvent("gpu_hang");
    addMonitor("main", true, {"gpu_hang"});
    startMonitor();
    waitReady();
    sp<MonitorThread> thread = mService->mMonitorThread;
    EXPECT_TRUE(thread->isRunning());
    LogCapture log;
    mService.clear();
    EXPECT_FALSE(thread->isRunning());
    thread.clear();
    // The closed channel ends the loop, unless the exit request is seen first, between two
    // passes.
    EXPECT_LE(log.count("error recv from monitor thread, 0"), 1u);
    // The channel and the uevent socket are gone with the objects.
    EXPECT_EQ(tarnd_test::openFds(), fdsBefore);
}

TEST_F(MonitorThreadTest, ReadyToRunBindsTheUeventSocket) {
    std::vector<int> fdsBefore = tarnd_test::openFds();
    LogCapture log;
    sp<MonitorThread> first = new MonitorThread(mService.get());
    ASSERT_EQ(first->readyToRun(), android::NO_ERROR);
    ASSERT_GE(first->mUeventSocket, 0);

    struct sockaddr_nl addr;
    socklen_t len = sizeof(addr);
    ASSERT_EQ(getsockname(first->mUeventSocket, reinterpret_cast<struct sockaddr*>(&addr), &len),
              0);
    EXPECT_EQ(len, 12u);
    EXPECT_EQ(addr.nl_family, AF_NETLINK);
    uint32_t portId = static_cast<uint32_t>(pthread_self()) | static_cast<uint32_t>(getpid());
    EXPECT_EQ(addr.nl_pid, portId);
    EXPECT_EQ(first->mPollFds[0].fd, first->mUeventSocket);
    EXPECT_EQ(first->mPollFds[0].events, POLLIN);
    EXPECT_EQ(first->mPollFds[1].fd, mService->mSockets[1]);
    EXPECT_EQ(first->mPollFds[1].events, POLLIN);

    int rcvbuf = 0;
    len = sizeof(rcvbuf);
    ASSERT_EQ(getsockopt(first->mUeventSocket, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len), 0);
    if (tarnd_test::isRoot()) {
        EXPECT_GE(rcvbuf, MonitorThread::kUeventRcvBuf);
        EXPECT_EQ(log.count("setsockopt failed: -1"), 0u);
    } else {
        EXPECT_EQ(log.count("setsockopt failed: -1"), 1u);
    }

    // The same thread and process give the same port id: the kernel chooses another.
    sp<MonitorThread> second = new MonitorThread(mService.get());
    ASSERT_EQ(second->readyToRun(), android::NO_ERROR);
    len = sizeof(addr);
    ASSERT_EQ(getsockname(second->mUeventSocket, reinterpret_cast<struct sockaddr*>(&addr), &len),
              0);
    EXPECT_NE(addr.nl_pid, portId);
    EXPECT_EQ(log.count("uevent port id " + std::to_string(portId) +
                        " in use, letting the kernel choose one"),
              1u);

    first.clear();
    second.clear();
    EXPECT_EQ(tarnd_test::openFds(), fdsBefore);
}

TEST_F(MonitorThreadTest, ReadyToRunFailsWithoutDescriptors) {
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The lowest free descriptor: with the limit there, no new one can be had.
    int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowest, 0);
    close(lowest);
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    LogCapture log;
    sp<MonitorThread> thread = new MonitorThread(mService.get());
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    android::status_t status = thread->readyToRun();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(status, -110);
    EXPECT_EQ(thread->mUeventSocket, -1);
    EXPECT_EQ(log.messages(), std::vector<std::string>{"failed to create uevent socket, " +
                                                       std::to_string(EMFILE)});
}

TEST_F(MonitorThreadTest, ReceiveErrorsAreLoggedOncePerStreak) {
    sp<MonitorThread> thread = new MonitorThread(mService.get());
    LogCapture log;
    const std::string notSocket =
            "error recv from internal channel, -1: " + std::string(strerror(ENOTSOCK));
    struct Step {
        int source;
        int err;  // 0: a receive that worked
        int pause;
        std::vector<std::string> logged;
    };
    const std::vector<Step> steps = {
            {1, ENOTSOCK, 10, {notSocket}},
            {1, ENOTSOCK, 20, {}},
            {1, ENOTSOCK, 40, {}},
            {1, EAGAIN, 0, {}},
            {1, EINTR, 0, {}},
            {1, ENOTSOCK, 80, {}},
            {1, ENOTSOCK, 160, {}},
            {1, ENOTSOCK, 320, {}},
            {1, ENOTSOCK, 640, {}},
            {1, ENOTSOCK, 1280, {}},
            {1, ENOTSOCK, 2000, {}},
            {1, ENOTSOCK, 2000, {}},
            {0,
             ENOBUFS,
             0,
             {"uevent socket overrun, uevents were lost (" + std::string(strerror(ENOBUFS)) + ")"}},
            {0,
             ENOBUFS,
             0,
             {"uevent socket overrun, uevents were lost (" + std::string(strerror(ENOBUFS)) + ")"}},
            {1,
             ECONNRESET,
             10,
             {"error recv from internal channel, -1: " + std::string(strerror(ECONNRESET))}},
            {1, 0, 0, {"internal channel works again after 1 failed attempts"}},
            {1, 0, 0, {}},
            {0, EBADF, 10, {"error recv from uevent socket, -1: " + std::string(strerror(EBADF))}},
            {2, EINVAL, 10, {"error poll in monitor thread, " + std::string(strerror(EINVAL))}},
            {0, 0, 0, {"uevent socket works again after 1 failed attempts"}},
            {2, 0, 0, {"poll works again after 1 failed attempts"}},
    };
    size_t seen = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        if (s.err == 0) {
            thread->noteReceiveSuccess(s.source);
        } else {
            EXPECT_EQ(thread->noteReceiveError(s.source, s.err), s.pause) << "step " << i;
        }
        std::vector<std::string> all = log.messages();
        std::vector<std::string> added(all.begin() + seen, all.end());
        EXPECT_EQ(added, s.logged) << "step " << i;
        seen = all.size();
    }
}

TEST_F(MonitorThreadTest, HandleMessageNeverUsesANegativeCount) {
    addEvent("gpu_hang", {"gpu_hang"});
    addMonitor("main", true, {"gpu_hang"});
    sp<MonitorThread> thread = new MonitorThread(mService.get());
    LogCapture log;
    std::string bytes = "gpu_hang\n";
    memcpy(thread->mMsgBuf, bytes.data(), bytes.size());
    for (int32_t count : {-1, -110, 0}) {
        thread->mMsgSize = count;
        thread->handleMessage(true);
        thread->handleMessage(false);
    }
    EXPECT_TRUE(log.messages().empty());
    thread->mMsgSize = static_cast<int32_t>(bytes.size());
    thread->handleMessage(true);
    EXPECT_EQ(countPrefix(log, "Dump event gpu_hang to "), 1u);
}

// The loop driven by hand, with a local datagram socket in place of the uevent socket: the
// datagrams that the kernel's group cannot carry, and the end of the channel.
TEST_F(MonitorThreadTest, DrivenLoopWithDatagramsOfAnySize) {
    std::string value = token("gpu_hang");
    addEvent("gpu_hang", {value});
    addMonitor("main", true, {"gpu_hang"});
    sp<MonitorThread> thread = new MonitorThread(mService.get());
    ASSERT_EQ(thread->readyToRun(), android::NO_ERROR);
    int dgram[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, dgram), 0);
    Fd uevents(dgram[0]), kernel(dgram[1]);
    int stream[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stream), 0);
    Fd channel(stream[0]);
    int writer = stream[1];
    thread->mPollFds[0].fd = uevents.get();
    thread->mPollFds[1].fd = channel.get();
    auto datagram = [&](const std::string& bytes) {
        ASSERT_EQ(send(kernel.get(), bytes.data(), bytes.size(), 0),
                  static_cast<ssize_t>(bytes.size()));
    };
    size_t kept = MonitorThread::kMsgBufSize - 1;

    LogCapture log;
    // An empty datagram is no uevent, and no reason to stop.
    datagram("");
    EXPECT_TRUE(thread->threadLoop());
    EXPECT_TRUE(log.messages().empty());

    datagram(tarndUevent(value));
    EXPECT_TRUE(thread->threadLoop());
    EXPECT_EQ(log.count("Receive uevent: " + value), 1u);
    EXPECT_EQ(log.count("Receive uevent, dump log for event: gpu_hang"), 1u);

    // Longer than the buffer: the string past the cut is not seen, one before it is.
    std::string head = uevent({"change@/x", "TARND_EVENT=" + value});
    std::string past = head + std::string(kept - head.size(), 'p') + "TARND_EVENT=late";
    past.push_back('\0');
    datagram(past);
    EXPECT_TRUE(thread->threadLoop());
    std::string cut = "uevent of " + std::to_string(past.size()) + " bytes cut to " +
                      std::to_string(kept) + " bytes";
    EXPECT_EQ(log.count(cut), 1u);
    EXPECT_EQ(log.count("Receive uevent: " + value), 2u);
    EXPECT_EQ(log.count("Receive uevent: late"), 0u);

    // The closed channel ends the loop.
    close(writer);
    EXPECT_FALSE(thread->threadLoop());
    EXPECT_EQ(log.count("error recv from monitor thread, 0"), 1u);
    EXPECT_EQ(countPrefix(log, "Dump event gpu_hang to "), 2u);
}

// A source whose receives keep failing rests between attempts, and the other is served
// meanwhile.
TEST_F(MonitorThreadTest, FailingChannelDoesNotHoldUpUevents) {
    std::string value = token("gpu_hang");
    addEvent("gpu_hang", {value});
    addMonitor("main", true, {"gpu_hang"});
    sp<MonitorThread> thread = new MonitorThread(mService.get());
    ASSERT_EQ(thread->readyToRun(), android::NO_ERROR);
    int dgram[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, dgram), 0);
    Fd uevents(dgram[0]), kernel(dgram[1]);
    // A pipe in place of the channel: always readable, and every receive on it fails.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    Fd pipeIn(fds[0]), pipeOut(fds[1]);
    writeAll(pipeOut.get(), "x");
    thread->mPollFds[0].fd = uevents.get();
    thread->mPollFds[1].fd = pipeIn.get();

    LogCapture log;
    const std::string error =
            "error recv from internal channel, -1: " + std::string(strerror(ENOTSOCK));
    auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(thread->threadLoop());
    EXPECT_EQ(log.messages(), std::vector<std::string>{error});
    EXPECT_GT(thread->mRetryAt[1], before);
    for (int i = 0; i < 3; ++i) {
        std::string bytes = tarndUevent(value);
        ASSERT_EQ(send(kernel.get(), bytes.data(), bytes.size(), 0),
                  static_cast<ssize_t>(bytes.size()));
        EXPECT_TRUE(thread->threadLoop());
    }
    EXPECT_EQ(log.count("Receive uevent, dump log for event: gpu_hang"), 3u);
    // One line for the streak, however often the channel has been tried again meanwhile.
    EXPECT_EQ(log.count(error), 1u);
    EXPECT_GE(thread->mErrorCount[1], 1);

    // An exit request ends a wait that nothing else would end for an hour.
    thread->mRetryAt[1] = std::chrono::steady_clock::now() + std::chrono::hours(1);
    thread->requestExit();
    EXPECT_TRUE(thread->threadLoop());
    EXPECT_EQ(log.count(error), 1u);
}

// The uevent side needs to send into the kernel's uevent group, which takes CAP_NET_ADMIN.
class MonitorThreadUeventTest : public MonitorThreadTest {
  protected:
    void SetUp() override {
        if (!tarnd_test::isRoot()) GTEST_SKIP() << "sending a uevent needs root (CAP_NET_ADMIN)";
        MonitorThreadTest::SetUp();
    }
};

TEST_F(MonitorThreadUeventTest, DumpsOnceWhenTwoMonitorsHoldTheEvent) {
    std::string value = token("gpu_hang");
    std::string marker = token("marker");
    addEvent("gpu_hang", {"other", value});
    addEvent("marker", {marker});
    addMonitor("first", true, {"gpu_hang", "marker"});
    addMonitor("second", true, {"gpu_hang"});
    addMonitor("off", false, {"gpu_hang"});
    startMonitor();
    waitReady();
    LogCapture log;
    sendUevent(tarndUevent(value));
    // Datagrams are received in order: once the marker is dumped, the first one is done.
    sendUevent(tarndUevent(marker));
    ASSERT_TRUE(waitForPrefix(log, "Receive uevent, dump log for event: marker"));

    EXPECT_EQ(log.count("Receive uevent: " + value), 1u);
    EXPECT_EQ(log.count("Receive uevent, dump log for event: gpu_hang"), 1u);
    EXPECT_EQ(countPrefix(log, "Dump event gpu_hang to " + mDumps + "/gpu_hang_"), 1u);
    EXPECT_EQ(dumpDirs("gpu_hang").size(), 1u);
    EXPECT_LT(indexOf(log, "Dump event gpu_hang to "),
              indexOf(log, "Receive uevent, dump log for event: gpu_hang"));
}

struct UeventCase {
    const char* what;
    std::string event;  // the event whose hint the value matches
    std::string hint;
    std::string datagram;
    bool dumped;
    std::string received;  // value of "Receive uevent: %s", empty for no line
};

TEST_F(MonitorThreadUeventTest, MatchingTable) {
    std::string t = token("");
    std::string long200 = t + std::string(200 - t.size(), 'v');
    std::string filler = "FILLER=" + std::string(1500, 'f');
    const std::vector<UeventCase> cases = {
            {"plain", "plain", t + "plain", tarndUevent(t + "plain"), true, t + "plain"},
            {"substring key", "substring", t + "foo",
             uevent({"change@/x", "XTARND_EVENTX=" + t + "foo"}), true, t + "foo"},
            {"value cut to 127", "cut", long200.substr(0, 127),
             uevent({"change@/x", "TARND_EVENT=" + long200}), true, long200.substr(0, 127)},
            {"late in a long uevent", "late", t + "late",
             uevent({"change@/devices/" + std::string(200, 'd'), filler, filler,
                     "TARND_EVENT=" + t + "late"}),
             true, t + "late"},
            {"not zero-terminated", "unterminated", t + "unterminated",
             std::string("change@/x") + '\0' + "TARND_EVENT=" + t + "unterminated", true,
             t + "unterminated"},
            {"hint is the whole value", "whole", t + "whole", tarndUevent(t + "whole_suffix"),
             false, t + "whole_suffix"},
            {"hint is case-sensitive", "cased", t + "cased", tarndUevent(t + "CASED"), false,
             t + "CASED"},
            {"only a disabled monitor", "disabled", t + "disabled", tarndUevent(t + "disabled"),
             false, t + "disabled"},
            {"not in any monitor", "orphan", t + "orphan", tarndUevent(t + "orphan"), false,
             t + "orphan"},
            {"no key", "nokey", t + "nokey", uevent({"change@/x", "OTHER=" + t + "nokey"}), false,
             ""},
            {"empty value", "empty", t + "empty", uevent({"change@/x", "TARND_EVENT="}), false, ""},
            {"after an empty string", "hidden", t + "hidden",
             uevent({"change@/x", "", "TARND_EVENT=" + t + "hidden"}), false, ""},

    };
    std::string marker = token("marker");
    addEvent("marker", {marker});
    for (const UeventCase& c : cases) addEvent(c.event, {c.hint});
    addMonitor("main", true,
               {"marker", "plain", "substring", "cut", "late", "unterminated", "whole", "cased",
                "nokey", "empty", "hidden"});
    addMonitor("off", false, {"disabled"});
    startMonitor();
    waitReady();

    LogCapture log;
    for (const UeventCase& c : cases) sendUevent(c.datagram);
    sendUevent(tarndUevent(marker));
    ASSERT_TRUE(waitForPrefix(log, "Receive uevent, dump log for event: marker"));

    for (const UeventCase& c : cases) {
        size_t dumps = countPrefix(log, "Dump event " + c.event + " to ");
        EXPECT_EQ(dumps, c.dumped ? 1u : 0u) << c.what;
        EXPECT_EQ(log.count("Receive uevent, dump log for event: " + c.event), c.dumped ? 1u : 0u)
                << c.what;
        EXPECT_EQ(dumpDirs(c.event).size(), c.dumped ? 1u : 0u) << c.what;
        if (!c.received.empty()) {
            EXPECT_EQ(log.count("Receive uevent: " + c.received), 1u) << c.what;
        }
    }
    // Nothing of ours was seen but the lines above.
    size_t ours = countPrefix(log, "Receive uevent: " + t);
    EXPECT_EQ(ours, 9u);
}

// A receive that keeps failing must neither stop the thread nor keep it spinning.
TEST_F(MonitorThreadUeventTest, PersistentReceiveErrorDoesNotStopTheLoop) {
    std::string marker = token("marker");
    addEvent("marker", {marker});
    addMonitor("main", true, {"marker"});
    // A pipe in place of the channel: always readable, and every receive on it fails.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    mService->mSockets[0] = fds[1];
    mService->mSockets[1] = fds[0];
    writeAll(fds[1], "x");
    LogCapture log;
    sp<MonitorThread> thread = new MonitorThread(mService.get());
    mService->mMonitorThread = thread;
    thread->run("TARND Monitor", 0, 0);
    const std::string error =
            "error recv from internal channel, -1: " + std::string(strerror(ENOTSOCK));
    ASSERT_TRUE(log.waitFor(error));
    sendUevent(tarndUevent(marker));
    ASSERT_TRUE(waitForPrefix(log, "Receive uevent, dump log for event: marker"));
    EXPECT_EQ(log.count(error), 1u);

    // The destructor wakes the pause and joins the thread.
    mService.clear();
    // A spinning loop would have failed hundreds of thousands of times by now; the growing
    // pause allows a handful.
    EXPECT_GE(thread->mErrorCount[1], 1);
    EXPECT_LT(thread->mErrorCount[1], 100);
}

// Measurement of the receive buffer: a burst of ordinary uevents while nobody reads.
TEST_F(MonitorThreadUeventTest, BurstWhileTheReaderIsBlocked) {
    constexpr int kBurst = 1000;
    // Enough to overflow the smallest buffer the kernel gives; every process listening to the
    // group gets these too, so the burst is kept no larger than it has to be.
    constexpr int kSmallBurst = 100;
    struct Result {
        int received = 0;
        size_t overruns = 0;
    };
    auto burst = [&](int count, int forcedRcvBuf) {
        Result result;
        LogCapture log;
        sp<MonitorThread> thread = new MonitorThread(mService.get());
        EXPECT_EQ(thread->readyToRun(), android::NO_ERROR);
        if (forcedRcvBuf > 0) {
            setsockopt(thread->mUeventSocket, SOL_SOCKET, SO_RCVBUFFORCE, &forcedRcvBuf,
                       sizeof(forcedRcvBuf));
        }
        std::string prefix = token("burst");
        Fd sender(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
        struct sockaddr_nl dst;
        memset(&dst, 0, sizeof(dst));
        dst.nl_family = AF_NETLINK;
        dst.nl_groups = 1;
        for (int i = 0; i < count; ++i) {
            std::string dev = "/devices/platform/soc/gpu/tarnd_burst" + std::to_string(i);
            std::string msg = uevent({"change@" + dev, "ACTION=change", "DEVPATH=" + dev,
                                      "SUBSYSTEM=platform", "DRIVER=gpu", "MODALIAS=of:Ngpu",
                                      "SEQNUM=" + std::to_string(100000 + i),
                                      "TARND_EVENT=" + prefix + std::to_string(i)});
            sendto(sender.get(), msg.data(), msg.size(), 0,
                   reinterpret_cast<struct sockaddr*>(&dst), sizeof(dst));
        }
        // Now the reader wakes up and takes whatever the kernel kept.
        for (;;) {
            struct pollfd p = {thread->mUeventSocket, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0) break;
            thread->threadLoop();
        }
        result.received = static_cast<int>(countPrefix(log, "Receive uevent: " + prefix));
        result.overruns = log.count("uevent socket overrun, uevents were lost (" +
                                    std::string(strerror(ENOBUFS)) + ")");
        return result;
    };

    Result asked = burst(kBurst, 0);
    Result old = burst(kSmallBurst, 256);
    printf("uevents kept of a burst of %d with the receive buffer asked for: %d; of %d with 256 "
           "bytes: %d\n",
           kBurst, asked.received, kSmallBurst, old.received);
    RecordProperty("kept_with_1MiB", asked.received);
    RecordProperty("kept_with_256B", old.received);
    EXPECT_EQ(asked.received, kBurst);
    EXPECT_EQ(asked.overruns, 0u);
    EXPECT_LT(old.received, kSmallBurst);
    EXPECT_GE(old.overruns, 1u);
}

// The whole road through start-up: configuration, channel, thread, dumps.
TEST(MonitorThreadStartUpTest, ConfiguredServiceDumpsFromChannelAndUevent) {
    TempDir dir;
    std::string value = token("gpu_hang");
    std::string dumps = dir.file("dumps");
    tarnd_test::writeFile(dir.file("tarndebug.conf"), "global.log_dump_path=" + dumps +
                                                              "\n"
                                                              "global.min_free_space=0\n"
                                                              "global.logcat_grep=0\n"
                                                              "global.kmsg_grep=0\n"
                                                              "event.gpu_hang.uevent=" +
                                                              value +
                                                              "\n"
                                                              "event.vpu_hang.policy=1\n"
                                                              "monitor.main.enable=1\n"
                                                              "monitor.main.event=gpu_hang\n"
                                                              "monitor.main.event=vpu_hang\n");
    LogCapture log;
    sp<TarnDebugService> service = tarnd_test::makeService(dir.file("tarndebug.conf"), dir.path());
    ASSERT_EQ(service->mStopped, 0) << "start-up failed";
    ASSERT_NE(service->mMonitorThread, nullptr);
    ASSERT_GE(service->mSockets[0], 0);
    ASSERT_GE(service->mSockets[1], 0);

    EXPECT_EQ(service->sendEvent(String8("vpu_hang")), android::NO_ERROR);
    ASSERT_TRUE(waitForPrefix(log, "Dump event vpu_hang to " + dumps + "/vpu_hang_"));
    bool named = false;
    for (const std::string& task : tarnd_test::listDir("/proc/self/task")) {
        named = named ||
                tarnd_test::readFile("/proc/self/task/" + task + "/comm") == "TARND Monitor\n";
    }
    EXPECT_TRUE(named);

    if (tarnd_test::isRoot()) {
        sendUevent(tarndUevent(value));
        ASSERT_TRUE(waitForPrefix(log, "Receive uevent, dump log for event: gpu_hang"));
        EXPECT_EQ(countPrefix(log, "Dump event gpu_hang to " + dumps + "/gpu_hang_"), 1u);
    }
    service.clear();
    // The closed channel ends the loop, unless the exit request is seen first, between two
    // passes.
    EXPECT_LE(log.count("error recv from monitor thread, 0"), 1u);
}

}  // namespace
