#include <gtest/gtest.h>
#include <log/log.h>
#include <tarnd_host/LogStore.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::NO_ERROR;
using android::sp;
using android::String8;
using android::TarnDebugService;

namespace {

// The report of the worked example as a device would log it; trailing blanks are part of it.
const char* const kWorkedReport =
        "Config File Path: /system/vendor/etc/tarndebug.conf\nLog Dump Path: /data/debuglogs\n"
        "Additional Config Path: \nEnable Logcat Grep: 1\nEnable Kmsg Grep: 1\n"
        "MaxEventsDumped: 5\nMaxLogSize: 1024MB\nMinFreeSpace: 256MB\n"
        "Global handlers:\n"
        "    Name: logcat\n    Level: 0\n    Dump cmd: logcat -d -f logcat.txt\n    Enabled: 1\n"
        "Monitor: main, Enabled: 1, Level: 1\n"
        "    Event: hang, Policy: 0, Dump 0 times\n"
        "    Uevent hints: hang, \n"
        "    Key words: GPU HANG, \n"
        "    Handlers: \n"
        "        Name: dmesg\n        Level: 0\n        Dump cmd: dmesg > dmesg.txt\n"
        "        Enabled: 1\n";

class StatusReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mService = tarnd_test::makeService(mDir.file("missing.conf"), mDir.path());
        ASSERT_EQ(mService->mStopped, 1);
        mService->mConfigPath = "/etc/t.conf";
    }

    std::string report(const std::string& config) {
        tarnd_test::writeFile(mDir.file("t.conf"), config);
        EXPECT_EQ(mService->parseConfig(mDir.file("t.conf").c_str()), NO_ERROR);
        return mService->dumpStatus().string();
    }

    tarnd_test::TempDir mDir;
    sp<TarnDebugService> mService;
};

TEST_F(StatusReportTest, WorkedExampleByteForByte) {
    report(tarnd_test::workedExampleConfig(mDir.file("debuglogs")));
    // The report shows the paths as a device has them.
    mService->mConfigPath = "/system/vendor/etc/tarndebug.conf";
    mService->mLogDumpPath = String8("/data/debuglogs");
    EXPECT_EQ(std::string(mService->dumpStatus().string()), kWorkedReport);
}

// The eight setting lines at their defaults, then what a configuration adds after them.
TEST_F(StatusReportTest, Blocks) {
    const std::string defaults =
            "Config File Path: /etc/t.conf\nLog Dump Path: \nAdditional Config Path: \n"
            "Enable Logcat Grep: 1\nEnable Kmsg Grep: 1\nMaxEventsDumped: 10\n"
            "MaxLogSize: 1024MB\nMinFreeSpace: 512MB\n";
    const std::pair<const char*, const char*> cases[] = {
            {"// nothing set\n", ""},
            // Handlers, events and groups show only through monitors.
            {"handler.h.on=1\nevent.e.uevent=u\nevtgroup.g.event=e\n", ""},
            {"monitor.m.level=3\nmonitor.n.enable=1\n",
             "Monitor: m, Enabled: 0, Level: 3\nMonitor: n, Enabled: 1, Level: 100\n"},
            {"event.e.policy=x\nmonitor.m.event=e\n",
             "Monitor: m, Enabled: 0, Level: 100\n    Event: e, Policy: 1, Dump 0 times\n"
             "    Uevent hints: \n    Key words: \n    Handlers: \n"},
            {"ghandler.g.dpara=d0\nghandler.g.init=i\nghandler.g.epara=e0\nghandler.g.dump=d\n"
             "ghandler.g.epara=e1\nghandler.h.level=-3\n",
             "Global handlers:\n    Name: g\n    Level: 100\n    Enable cmd: i\n"
             "    Enable Para 0: e0\n    Enable Para 1: e1\n    Dump cmd: d\n    Dump Para 0: d0\n"
             "    Enabled: 0\n    Name: h\n    Level: -3\n    Enabled: 0\n"},
            {"handler.a.on=1\nhandler.b.dpara=p\nevent.e.uevent=u1\nevent.e.uevent=u2\n"
             "event.e.key_word=K, L\nevent.e.handler.a.level=2\nevent.e.handler.b.epara=q\n"
             "monitor.m.event=e\n",
             "Monitor: m, Enabled: 0, Level: 100\n    Event: e, Policy: 1, Dump 0 times\n"
             "    Uevent hints: u1, u2, \n    Key words: K, L, \n    Handlers: \n"
             "        Name: a\n        Level: 2\n        Enabled: 1\n"
             "        Name: b\n        Level: 100\n        Enable Para 0: q\n"
             "        Dump Para 0: p\n        Enabled: 0\n"},
    };
    for (const auto& [config, tail] : cases) {
        SCOPED_TRACE(config);
        SetUp();
        EXPECT_EQ(report(config), defaults + tail);
    }
}

// Dumps made so far: the last line, without a newline of its own.
TEST_F(StatusReportTest, HistoryIsTheLastLine) {
    std::string before = report("monitor.m.level=1\n");
    mService->mHistory.add(TarnDebugService::HistoryEntry(String8("hang"), String8("hang_1")));
    mService->mHistory.add(TarnDebugService::HistoryEntry(String8("oops"), String8("oops_2")));
    EXPECT_EQ(std::string(mService->dumpStatus().string()),
              before + "History events:    hang hang_1    oops oops_2");
}

// The limits and the interval appear only where a line set them, each after its block's head.
TEST_F(StatusReportTest, LimitsOnlyWhereSet) {
    std::string text =
            report("global.command_timeout=5\nhandler.h.dump=d\nhandler.k.timeout=0\n"
                   "event.e.interval=10\nevent.e.handler.h.timeout=2\nevent.e.handler.k.on=1\n"
                   "monitor.m.event=e\n");
    for (const char* part : {"MinFreeSpace: 512MB\nCommand timeout: 5 s\nMonitor",
                             "Dump 0 times\n    Interval: 10 s\n    Uevent",
                             "Name: h\n        Level: 100\n        Timeout: 2 s\n        Dump",
                             "Name: k\n        Level: 100\n        Timeout: 0 s\n        Enabled"})
        EXPECT_NE(text.find(part), std::string::npos) << part;
}

// Start-up logs the report one DEBUG message per line between two hyphen lines, blanks at line
// ends kept.
TEST(StatusReportStartupTest, ReportLoggedLineByLine) {
    tarnd_test::TempDir dir;
    tarnd_test::writeFile(dir.file("t.conf"),
                          "ghandler.g.dump=d\nevent.e.uevent=u\nmonitor.m.event=e\n");
    tarnd_host::LogCapture log;
    sp<TarnDebugService> service = tarnd_test::makeService(dir.file("t.conf"), dir.path());
    std::string logged;
    for (const std::string& message : log.messages()) logged += message + "\n";
    const std::string hyphens(44, '-');
    EXPECT_EQ(logged, "Start parsing config\nParsing config succeed, start dump config...\n" +
                              hyphens + "\n" + service->dumpStatus().string() + hyphens +
                              "\nNo monitor is enabled\n");
    EXPECT_EQ(log.count("    Uevent hints: u, "), 1u);
    for (const tarnd_host::LogLine& line : log.lines()) EXPECT_EQ(line.prio, ANDROID_LOG_DEBUG);
}

}  // namespace
