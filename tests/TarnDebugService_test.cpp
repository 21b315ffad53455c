#include "service/TarnDebugService.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <thread>

#include "TestSupport.h"
#include "events/MonitorThread.h"
#include "service/ThreadName.h"

using namespace android;
using namespace android::tarnd;
using namespace android::tarnd;
using tarnd_host::LogCapture;
using tarnd_test::replaceAll, tarnd_test::shownName;

namespace {

// A configuration ("": none) with "@" for the scratch directory, whether the kernel log detector
// starts, and the end of the log text start-up leaves. Once started, the service runs with the
// logcat detector.
using StartRow = std::tuple<const char*, std::string, bool, std::string>;
const std::string kHead = "global.log_dump_path=@/dumps\nevent.e.policy=1\nmonitor.m.event=e\n";
const std::string kOn = kHead + "monitor.m.enable=1\nglobal.logcat_grep=1\nglobal.kmsg_grep=";
const std::string kStarted = "TARN debug service started";
const StartRow kStartRows[] = {
        {"MissingConfiguration", "", false,
         "E:Failed to open config file @/c.conf|E:Failed to parse config file"},
        {"NoMonitorEnabled",
         kHead + "handler.setup.init=touch @/enabled\nhandler.setup.on=1\n"
                 "event.e.handler.setup.level=0\nmonitor.m.enable=0\n",
         false, "|No monitor is enabled"},
        {"BothDetectors", kOn + "1\n", true, kStarted},
        {"LogcatOnly", kOn + "0\n", false, kStarted},
};

class TarnDebugServiceTest : public ::testing::TestWithParam<StartRow> {};

// Start-up runs the workers the configuration asks for (the kernel log detector ends on its own
// here: the test path does not exist) and the monitor dumps a name sent through the binder
// method; destruction joins them all and closes what start-up opened. Without a configuration,
// or with no monitor enabled, start-up stops after its report: nothing runs, no descriptor is
// left open or closed, a handler's enable command does not run, and the service refuses to send.
// A second start on a running service only warns; on a stopped one it stops where the first did.
TEST_P(TarnDebugServiceTest, Start) {
    const auto& [name, config, kmsg, ending] = GetParam();
    const tarnd_test::ScratchDir dir;
    const std::string conf = dir.file("c.conf"), end = replaceAll(ending, "@", dir.path());
    const bool running = ending == kStarted;
    if (!config.empty()) tarnd_test::writeFile(conf, replaceAll(config, "@", dir.path()));
    const std::vector<int> fds = tarnd_test::openFds();
    std::vector<std::string> threads;  // the service's own while it runs
    if (running)
        threads = {shownName(kLogGCThreadName), shownName(kMonitorThreadName),
                   shownName(kLogcatThreadName)};
    // Once running, the collector's first lines may come after the last line of start-up.
    const std::string pattern = "*" + end + (running ? "*" : "");
    LogCapture log;
    {
        sp<TarnDebugService> service = tarnd_test::makeService(conf, dir.path());
        EXPECT_TRUE(tarnd_test::matches(pattern, tarnd_test::logText(log)))
                << tarnd_test::logText(log);
        EXPECT_EQ(service->mKmsgThread != nullptr, kmsg);
        for (const std::string& thread : threads)
            EXPECT_EQ(tarnd_test::threadsNamedSoon(thread), 1) << thread;
        EXPECT_EQ(service->sendEvent(String8("e")), running ? NO_ERROR : INVALID_OPERATION);
        EXPECT_TRUE(!running || log.waitFor("Filelist: "));  // the dump's last line
        // A second start: other processes' uevents may show meanwhile.
        LogCapture again;
        EXPECT_EQ(service->start(), config.empty() ? UNKNOWN_ERROR : NO_ERROR);
        EXPECT_TRUE(tarnd_test::matches(running ? "*W:TarnDebugService already started*" : pattern,
                                        tarnd_test::logText(again)))
                << tarnd_test::logText(again);
        EXPECT_EQ(again.contains("Start parsing config"), !running);
    }
    EXPECT_EQ(log.contains("TARN debug service stopped"), running);
    threads.push_back(shownName(kKmsgThreadName));
    for (const std::string& thread : threads) EXPECT_TRUE(tarnd_test::threadGone(thread)) << thread;
    EXPECT_EQ(tarnd_test::openFds(), fds);
    EXPECT_FALSE(tarnd_test::exists(dir.file("enabled")));
}
TARND_NAMED_ROWS(TarnDebugServiceTest, kStartRows);

// Destroyed while thousands of names wait behind a 50 ms handler and a writer waits on the full
// channel: the dump under way ends, every other name is dropped with one line, the writer gets
// an error at once. The same when the uevent socket never opened. The writer sends names in
// batches (one small write per name would fill the channel after a few hundred) and stops at a
// cut inside a name.
TEST(TarnDebugServiceDestructionTest, PromptWhileNamesWait) {
    const std::string kSlow =
            "global.min_free_space=0\nglobal.logcat_grep=0\nglobal.kmsg_grep=0\nmonitor.m.enable="
            "1\n"
            "handler.slow.dump=sleep 0.05\nhandler.slow.on=1\nevent.e.handler.slow.level=0\n"
            "monitor.m.event=e\n";
    for (bool noUeventSocket : {false, true}) {
        SCOPED_TRACE(noUeventSocket ? "without uevent socket" : "with uevent socket");
        tarnd_test::ScratchDir dir;
        const std::string config = dir.file("slow.conf");
        tarnd_test::writeFile(config, "global.log_dump_path=" + dir.file("dumps") + "\n" + kSlow);
        sp<TarnDebugService> service = tarnd_test::makeService(dir.file("none.conf"), dir.path());
        service->mConfigPath = config.c_str();
        service->mMonitorThread = new MonitorThread(service.get());  // start() keeps it
        if (noUeventSocket) service->mMonitorThread->mUeventProtocol = -1;
        tarnd_host::LogStore::instance().setEcho(false);
        LogCapture log;
        ASSERT_EQ(service->start(), NO_ERROR);
        ASSERT_EQ(service->mMonitorThread->run(kMonitorThreadName, 0, 0), NO_ERROR);
        UniqueFd out(dup(service->mSockets[0].get()));
        std::string batch;
        for (int i = 0; i < 1000; ++i) batch += "e\n";
        std::atomic<long> bytes{0};
        std::thread writer([&] {
            for (ssize_t n; (n = send(out.get(), batch.data(), batch.size(), MSG_NOSIGNAL)) > 0 &&
                            (bytes += n) % batch.size() == 0;) {
            }
        });
        while (bytes < 6000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(log.waitFor("Global handler dump start"));
        service.clear();
        writer.join();
        tarnd_host::LogStore::instance().setEcho(true);
        long dumps = 0, dropped = 0, dropLines = 0;
        for (const std::string& m : log.messages()) {
            dumps += m.rfind("Dump event e to ", 0) == 0;
            dropLines += sscanf(m.c_str(), "Dropped %ld queued events at shut-down", &dropped);
        }
        EXPECT_EQ(dropLines, 1);
        EXPECT_EQ(dumps + dropped, bytes / 2);
        EXPECT_GE(dropped, 3000 - dumps);
        EXPECT_EQ(noUeventSocket, log.contains("failed to create uevent socket, " +
                                               std::to_string(EPROTONOSUPPORT)));
    }
}

}  // namespace
