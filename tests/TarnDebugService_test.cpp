#include "service/TarnDebugService.h"

#include <gtest/gtest.h>
#include <log/log.h>
#include <stdio.h>
#include <sys/socket.h>
#include <tarnd_host/LogStore.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "events/MonitorThread.h"

using android::sp;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;

TEST(TarnDebugServiceTest, MissingConfigLeavesIdleService) {
    TempDir dir;
    LogCapture log;
    std::string config = dir.file("missing.conf");
    sp<TarnDebugService> service = tarnd_test::makeService(config, dir.path());
    EXPECT_EQ(service->mStopped, 1);
    std::vector<std::string> expected = {"Start parsing config",
                                         "Failed to open config file " + config,
                                         "Failed to parse config file"};
    EXPECT_EQ(log.messages(), expected);
    EXPECT_EQ(service->mMonitorThread, nullptr);
    EXPECT_EQ(service->mSockets[0].get(), -1);
    EXPECT_EQ(service->sendEvent(android::String8("gpu_hang")), android::INVALID_OPERATION);
}

TEST(TarnDebugServiceTest, DestroyingNeverStartedServiceClosesNothingItDidNotOpen) {
    TempDir dir;
    std::vector<int> fdsBefore = tarnd_test::openFds();
    int threadsBefore = tarnd_test::threadCount();
    LogCapture log;
    { sp<TarnDebugService> service = tarnd_test::makeService(dir.file("none.conf"), dir.path()); }
    EXPECT_FALSE(log.contains("TARN debug service stopped"));
    EXPECT_EQ(tarnd_test::openFds(), fdsBefore);
    EXPECT_EQ(tarnd_test::threadCount(), threadsBefore);
}

TEST(TarnDebugServiceTest, SecondStartOnRunningServiceOnlyWarns) {
    TempDir dir;
    sp<TarnDebugService> service = tarnd_test::makeService(dir.file("none.conf"), dir.path());
    // Running as far as the flag goes; the second start must not parse again.
    service->mStopped = 0;
    LogCapture log;
    EXPECT_EQ(service->start(), android::NO_ERROR);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].prio, ANDROID_LOG_WARN);
    EXPECT_EQ(lines[0].msg, "TarnDebugService already started");
    service->mStopped = 1;
}

namespace {

// A configuration with one enabled monitor; the switches pick the detectors.
std::string runningConfig(const TempDir& dir, bool logcat, bool kmsg) {
    std::string text = "global.log_dump_path=" + dir.file("dumps") + "\n" +
                       "global.logcat_grep=" + (logcat ? "1" : "0") + "\n" +
                       "global.kmsg_grep=" + (kmsg ? "1" : "0") + "\n" +
                       "handler.note.dump=echo dumped > note.txt\n"
                       "handler.note.on=1\n"
                       "event.gpu_hang.uevent=gpu_hang\n"
                       "event.gpu_hang.handler.note.level=0\n"
                       "monitor.main.enable=1\n"
                       "monitor.main.event=gpu_hang\n";
    std::string path = dir.file("tarndebug.conf");
    tarnd_test::writeFile(path, text);
    return path;
}

}  // namespace

struct WorkerCase {
    const char* label;
    bool logcat;
    bool kmsg;
    std::vector<std::string> threads;  // the service's own threads while it runs
};

class ServiceWorkersTest : public ::testing::TestWithParam<WorkerCase> {};

TEST_P(ServiceWorkersTest, StartsTheWorkersItShouldAndJoinsThemWhenDestroyed) {
    const WorkerCase& c = GetParam();
    TempDir dir;
    std::vector<int> fdsBefore = tarnd_test::openFds();
    LogCapture log;
    {
        sp<TarnDebugService> service =
                tarnd_test::makeService(runningConfig(dir, c.logcat, c.kmsg), dir.path());
        ASSERT_EQ(service->mStopped, 0);
        EXPECT_TRUE(log.contains("TARN debug service started"));
        EXPECT_EQ(service->mLogcatThread != nullptr, c.logcat);
        EXPECT_EQ(service->mKmsgThread != nullptr, c.kmsg);
        EXPECT_NE(service->mLogGCThread, nullptr);
        EXPECT_NE(service->mMonitorThread, nullptr);
        for (const std::string& name : c.threads) {
            // The kmsg detector ends on its own here: the test path does not exist.
            if (name == "TARND Kmsg Dete") continue;
            EXPECT_EQ(tarnd_test::threadsNamedSoon(name), 1) << name;
        }
        EXPECT_EQ(service->sendEvent(android::String8("gpu_hang")), android::NO_ERROR);
        // The monitor thread runs the dump of a name sent through the binder method.
        EXPECT_TRUE(log.waitUntil([](const std::vector<tarnd_host::LogLine>& lines) {
            for (auto& l : lines) {
                if (l.msg.rfind("Dump event gpu_hang to ", 0) == 0) return true;
            }
            return false;
        }));
    }
    EXPECT_TRUE(log.contains("TARN debug service stopped"));
    for (const std::string& name : c.threads) EXPECT_TRUE(tarnd_test::threadGone(name)) << name;
    EXPECT_EQ(tarnd_test::openFds(), fdsBefore);
}

INSTANTIATE_TEST_SUITE_P(
        Detectors, ServiceWorkersTest,
        ::testing::Values(WorkerCase{"Both",
                                     true,
                                     true,
                                     {"TARND LogGC", "TARND Logcat De", "TARND Kmsg Dete",
                                      "TARND Monitor"}},
                          WorkerCase{"None", false, false, {"TARND LogGC", "TARND Monitor"}},
                          WorkerCase{"LogcatOnly",
                                     true,
                                     false,
                                     {"TARND LogGC", "TARND Logcat De", "TARND Monitor"}}),
        [](const auto& info) { return std::string(info.param.label); });

TEST(TarnDebugServiceTest, AllMonitorsDisabledStopsAfterReport) {
    TempDir dir;
    std::string path = dir.file("tarndebug.conf");
    tarnd_test::writeFile(path, "handler.setup.init=touch " + dir.file("enabled") +
                                        "\nhandler.setup.on=1\n"
                                        "event.e.handler.setup.level=0\n"
                                        "monitor.m.enable=0\nmonitor.m.event=e\n");
    LogCapture log;
    sp<TarnDebugService> service = tarnd_test::makeService(path, dir.path());
    std::vector<std::string> messages = log.messages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[messages.size() - 2], "--------------------------------------------");
    EXPECT_EQ(messages.back(), "No monitor is enabled");
    EXPECT_TRUE(log.contains("Monitor: m, Enabled: 0, Level: 100"));
    EXPECT_FALSE(tarnd_test::exists(dir.file("enabled")));
    EXPECT_EQ(service->mMonitorThread, nullptr);
    EXPECT_EQ(service->mSockets[0].get(), -1);
    EXPECT_EQ(service->sendEvent(android::String8("e")), android::INVALID_OPERATION);
}

// Destroyed while thousands of names wait behind a 50 ms handler and a writer waits on the full
// channel: the dump under way ends, every other name is dropped with one line, the writer gets
// an error at once. The same when the uevent socket never opened.
class PromptDestructionTest : public ::testing::TestWithParam<bool> {};

TEST_P(PromptDestructionTest, QueuedNamesDroppedAndWritersReleased) {
    TempDir dir;
    const std::string config = dir.file("slow.conf");
    tarnd_test::writeFile(config, "global.log_dump_path=" + dir.file("dumps") +
                                          "\nglobal.min_free_space=0\nglobal.logcat_grep=0\n"
                                          "global.kmsg_grep=0\nhandler.slow.dump=sleep 0.05\n"
                                          "handler.slow.on=1\nevent.e.handler.slow.level=0\n"
                                          "monitor.m.enable=1\nmonitor.m.event=e\n");
    sp<TarnDebugService> service = tarnd_test::makeService(dir.file("none.conf"), dir.path());
    service->mConfigPath = config.c_str();
    service->mMonitorThread = new android::MonitorThread(service.get());  // start() keeps it
    if (GetParam()) service->mMonitorThread->mUeventProtocol = -1;
    tarnd_host::LogStore::instance().setEcho(false);
    LogCapture log;
    ASSERT_EQ(service->start(), android::NO_ERROR);
    ASSERT_EQ(service->mMonitorThread->run("TARND Monitor", 0, 0), android::NO_ERROR);
    // Names in batches: one small write per name would fill the channel after a few hundred.
    android::UniqueFd out(dup(service->mSockets[0].get()));
    std::string batch;
    for (int i = 0; i < 1000; ++i) batch += "e\n";
    std::atomic<long> bytes{0};
    std::thread writer([&] {
        ssize_t n;
        while ((n = send(out.get(), batch.data(), batch.size(), MSG_NOSIGNAL)) > 0) {
            bytes += n;
            if (static_cast<size_t>(n) < batch.size()) break;  // cut inside a name
        }
    });
    while (bytes < 6000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(log.waitFor("Global handler dump start"));

    const auto before = std::chrono::steady_clock::now();
    service.clear();
    const auto took = std::chrono::steady_clock::now() - before;
    writer.join();
    tarnd_host::LogStore::instance().setEcho(true);
    RecordProperty("destroy_ms",
                   std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
    EXPECT_LT(took, std::chrono::seconds(10));
    long dumps = 0, dropped = 0, dropLines = 0;
    for (const std::string& m : log.messages()) {
        dumps += m.rfind("Dump event e to ", 0) == 0;
        dropLines += sscanf(m.c_str(), "Dropped %ld queued events at shut-down", &dropped);
    }
    EXPECT_EQ(dropLines, 1);
    EXPECT_EQ(dumps + dropped, bytes / 2);
    EXPECT_GE(dropped, 3000 - dumps);
    EXPECT_EQ(log.contains("failed to create uevent socket, " + std::to_string(EPROTONOSUPPORT)),
              GetParam());
}

INSTANTIATE_TEST_SUITE_P(UeventSocket, PromptDestructionTest, ::testing::Bool());
