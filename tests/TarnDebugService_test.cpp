#include "service/TarnDebugService.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <thread>

#include "TestSupport.h"
#include "events/MonitorThread.h"

using namespace android;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;

// Start-up runs the workers the configuration asks for (the kernel log detector ends on its own
// here: the test path does not exist) and the monitor dumps a name sent through the binder
// method; destruction joins them all and closes what start-up opened. Without a configuration,
// or with no monitor enabled, start-up stops after its report: nothing runs, no descriptor is
// left open or closed, a handler's enable command does not run, and the service refuses to send.
// A second start on a service running as far as the flag goes only warns.
TEST(TarnDebugServiceTest, StartsWhatTheConfigurationAsksForAndJoinsIt) {
    TempDir dir;
    const std::string off =
            "handler.setup.init=touch " + dir.file("enabled") +
            "\nhandler.setup.on=1\nevent.e.handler.setup.level=0\nmonitor.m.enable=0\n";
    const std::string on = "monitor.m.enable=1\nglobal.logcat_grep=";
    const struct {
        const char* label;
        std::string config;  // after the dump path and the monitor's event; first none: no file
        bool logcat, kmsg, running;
        std::string ending;  // of the log text start-up leaves
    } rows[] = {
            {"missing", "", 0, 0, 0,
             "Start parsing config|E:Failed to open config file " + dir.file("c.conf") +
                     "|E:Failed to parse config file"},
            {"no monitor enabled", off, 0, 0, 0,
             "|--------------------------------------------|No monitor is enabled"},
            {"both detectors", on + "1\nglobal.kmsg_grep=1\n", 1, 1, 1,
             "TARN debug service started"},
            {"no detector", on + "0\nglobal.kmsg_grep=0\n", 0, 0, 1, "TARN debug service started"},
            {"logcat only", on + "1\nglobal.kmsg_grep=0\n", 1, 0, 1, "TARN debug service started"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        if (!row.config.empty())
            tarnd_test::writeFile(dir.file("c.conf"), "global.log_dump_path=" + dir.file("dumps") +
                                                              "\nevent.e.policy=1\n" + row.config +
                                                              "monitor.m.event=e\n");
        const std::vector<int> fds = tarnd_test::openFds();
        std::vector<std::string> threads;  // of the service's own while it runs
        if (row.running) threads = {"TARND LogGC", "TARND Monitor"};
        if (row.logcat) threads.push_back("TARND Logcat De");
        LogCapture log;
        {
            sp<TarnDebugService> service = tarnd_test::makeService(dir.file("c.conf"), dir.path());
            EXPECT_THAT(tarnd_test::logText(log), testing::EndsWith(row.ending));
            EXPECT_EQ(service->mStopped, row.running ? 0 : 1);
            EXPECT_EQ(service->mLogcatThread != nullptr, row.logcat);
            EXPECT_EQ(service->mKmsgThread != nullptr, row.kmsg);
            EXPECT_EQ(service->mLogGCThread != nullptr && service->mMonitorThread != nullptr,
                      row.running);
            EXPECT_EQ(service->mSockets[0].get() >= 0, row.running);
            for (const std::string& name : threads)
                EXPECT_EQ(tarnd_test::threadsNamedSoon(name), 1);
            EXPECT_EQ(service->sendEvent(String8("e")), row.running ? NO_ERROR : INVALID_OPERATION);
            EXPECT_TRUE(!row.running || log.waitFor("Filelist: "));  // the dump's last line
            const int stopped = service->mStopped;
            service->mStopped = 0;
            LogCapture again;
            EXPECT_EQ(service->start(), NO_ERROR);
            EXPECT_EQ(tarnd_test::logText(again), "W:TarnDebugService already started");
            service->mStopped = stopped;
        }
        EXPECT_EQ(log.contains("TARN debug service stopped"), row.running);
        threads.push_back("TARND Kmsg Dete");
        for (const std::string& name : threads) EXPECT_TRUE(tarnd_test::threadGone(name)) << name;
        EXPECT_EQ(tarnd_test::openFds(), fds);
    }
    EXPECT_FALSE(tarnd_test::exists(dir.file("enabled")));
}

// Destroyed while thousands of names wait behind a 50 ms handler and a writer waits on the full
// channel: the dump under way ends, every other name is dropped with one line, the writer gets
// an error at once. The same when the uevent socket never opened. The writer sends names in
// batches (one small write per name would fill the channel after a few hundred) and stops at a
// cut inside a name.
TEST(TarnDebugServiceTest, PromptDestructionDropsQueuedNamesAndReleasesWriters) {
    const std::string kSlow =
            "global.min_free_space=0\nglobal.logcat_grep=0\nglobal.kmsg_grep=0\nmonitor.m.enable="
            "1\n"
            "handler.slow.dump=sleep 0.05\nhandler.slow.on=1\nevent.e.handler.slow.level=0\n"
            "monitor.m.event=e\n";
    for (bool noUeventSocket : {false, true}) {
        SCOPED_TRACE(noUeventSocket ? "without uevent socket" : "with uevent socket");
        TempDir dir;
        const std::string config = dir.file("slow.conf");
        tarnd_test::writeFile(config, "global.log_dump_path=" + dir.file("dumps") + "\n" + kSlow);
        sp<TarnDebugService> service = tarnd_test::makeService(dir.file("none.conf"), dir.path());
        service->mConfigPath = config.c_str();
        service->mMonitorThread = new MonitorThread(service.get());  // start() keeps it
        if (noUeventSocket) service->mMonitorThread->mUeventProtocol = -1;
        tarnd_host::LogStore::instance().setEcho(false);
        LogCapture log;
        ASSERT_EQ(service->start(), NO_ERROR);
        ASSERT_EQ(service->mMonitorThread->run("TARND Monitor", 0, 0), NO_ERROR);
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
