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
// A second start on a running service only warns.
TEST(TarnDebugServiceTest, StartsWhatTheConfigurationAsksForAndJoinsIt) {
    tarnd_test::TempDir dir;
    const std::string conf = dir.file("c.conf"), started = "TARN debug service started";
    const std::string head =
            "global.log_dump_path=" + dir.file("dumps") + "\nevent.e.policy=1\nmonitor.m.event=e\n";
    const std::string on = head + "monitor.m.enable=1\nglobal.logcat_grep=1\nglobal.kmsg_grep=";
    // Label; the configuration (none: no file); whether the kernel log detector starts; the end of
    // the log text start-up leaves. Once started, the service runs with the logcat detector.
    const std::tuple<const char*, std::string, bool, std::string> rows[] = {
            {"missing", "", 0,
             "E:Failed to open config file " + conf + "|E:Failed to parse config file"},
            {"no monitor enabled",
             head + "handler.setup.init=touch " + dir.file("enabled") +
                     "\nhandler.setup.on=1\nevent.e.handler.setup.level=0\nmonitor.m.enable=0\n",
             0, "|No monitor is enabled"},
            {"both detectors", on + "1\n", 1, started},
            {"logcat only", on + "0\n", 0, started},
    };
    for (const auto& [label, config, kmsg, ending] : rows) {
        SCOPED_TRACE(label);
        const bool running = ending == started;
        if (!config.empty()) tarnd_test::writeFile(conf, config);
        const std::vector<int> fds = tarnd_test::openFds();
        std::vector<std::string> threads;  // the service's own while it runs
        if (running) threads = {"TARND LogGC", "TARND Monitor", "TARND Logcat"};
        LogCapture log;
        {
            sp<TarnDebugService> service = tarnd_test::makeService(conf, dir.path());
            // Once running, the collector's first lines may come after the last line of start-up.
            const std::string text = tarnd_test::logText(log);
            EXPECT_TRUE(running ? text.find(ending) != std::string::npos
                                : text.size() >= ending.size() &&
                                          text.compare(text.size() - ending.size(), ending.size(),
                                                       ending) == 0)
                    << text;
            EXPECT_EQ(service->mKmsgThread != nullptr, kmsg);
            for (const std::string& name : threads)
                EXPECT_EQ(tarnd_test::threadsNamedSoon(name), 1) << name;
            EXPECT_EQ(service->sendEvent(String8("e")), running ? NO_ERROR : INVALID_OPERATION);
            EXPECT_TRUE(!running || log.waitFor("Filelist: "));  // the dump's last line
            LogCapture again;  // a second start where the first went through
            EXPECT_EQ(running ? service->start() : NO_ERROR, NO_ERROR);
            EXPECT_EQ(tarnd_test::logText(again),
                      running ? "W:TarnDebugService already started" : "");
        }
        EXPECT_EQ(log.contains("TARN debug service stopped"), running);
        threads.push_back("TARND Kmsg");
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
