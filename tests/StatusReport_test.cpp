#include <gtest/gtest.h>
#include <log/log.h>

#include <string>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::String8;
using android::tarnd::TarnDebugService;

namespace {

// The worked example with its paths as a device has them: every byte, blanks at line ends too.
TEST(StatusReportTest, WorkedExampleReportIsExact) {
    tarnd_test::ScratchDir dir;
    auto service = tarnd_test::makeService("/system/vendor/etc/tarndebug.conf", dir.path());
    tarnd_test::writeFile(dir.file("t.conf"), tarnd_test::workedExampleConfig(dir.file("d")));
    ASSERT_EQ(service->parseConfig(dir.file("t.conf").c_str()), android::NO_ERROR);
    service->mLogDumpPath = String8("/data/debuglogs");
    EXPECT_EQ(
            std::string(service->dumpStatus().string()),
            "Config File Path: /system/vendor/etc/tarndebug.conf\nLog Dump Path: /data/debuglogs\n"
            "Additional Config Path: \nEnable Logcat Grep: 1\nEnable Kmsg Grep: 1\n"
            "MaxEventsDumped: 5\nMaxLogSize: 1024MB\nMinFreeSpace: 256MB\nGlobal handlers:\n"
            "    Name: logcat\n    Level: 0\n    Dump cmd: logcat -d -f logcat.txt\n"
            "    Enabled: 1\nMonitor: main, Enabled: 1, Level: 1\n"
            "    Event: hang, Policy: 0, Dump 0 times\n    Uevent hints: hang, \n"
            "    Key words: GPU HANG, \n    Handlers: \n        Name: dmesg\n        Level: 0\n"
            "        Dump cmd: dmesg > dmesg.txt\n        Enabled: 1\n");
}

// Start-up logs the report one DEBUG message per line between two hyphen lines, blanks at line
// ends kept. Handlers, events and groups show only through monitors; limits, the interval and
// matches only where a line set them; the dumps made so far last, without a newline of their own.
TEST(StatusReportTest, StartupLogsTheReportOfWhatIsMonitoredOrSet) {
    tarnd_test::ScratchDir dir;
    tarnd_test::writeFile(
            dir.file("t.conf"),
            "global.command_timeout=5\nhandler.h.dump=d\nhandler.h.timeout=0\nevent.e.policy=x\n"
            "event.e.interval=10\nevent.e.uevent=u1\nevent.e.uevent=u2\nevent.e.match=A=1\n"
            "event.e.key_word=K, L\nevent.e.handler.h.level=2\nmonitor.m.level=3\n"
            "monitor.m.event=e\nevtgroup.g.event=e\nghandler.g.dpara=d0\nghandler.g.init=i\n"
            "ghandler.g.epara=e0\nghandler.g.dump=d\nghandler.g.epara=e1\n");
    tarnd_host::LogCapture log;
    auto service = tarnd_test::makeService(dir.file("t.conf"), dir.path());
    std::string logged, hyphens(44, '-'), report = service->dumpStatus().string();
    for (const tarnd_host::LogLine& line : log.lines())
        logged += (line.prio == ANDROID_LOG_DEBUG ? "" : "!") + line.msg + "\n";
    EXPECT_EQ(logged, "Start parsing config\nParsing config succeed, start dump config...\n" +
                              hyphens + "\n" + report + hyphens + "\nNo monitor is enabled\n");
    service->mHistory.add(TarnDebugService::HistoryEntry(String8("hang"), String8("hang_1")));
    service->mHistory.add(TarnDebugService::HistoryEntry(String8("oops"), String8("oops_2")));
    report = service->dumpStatus().string();
    EXPECT_EQ(report.substr(report.find("MinFreeSpace")),
              "MinFreeSpace: 512MB\nCommand timeout: 5 s\nGlobal handlers:\n    Name: g\n"
              "    Level: 100\n    Enable cmd: i\n    Enable Para 0: e0\n    Enable Para 1: e1\n"
              "    Dump cmd: d\n    Dump Para 0: d0\n    Enabled: 0\n"
              "Monitor: m, Enabled: 0, Level: 3\n    Event: e, Policy: 1, Dump 0 times\n"
              "    Interval: 10 s\n    Uevent hints: u1, u2, \n    Uevent matches: A=1, \n"
              "    Key words: K, L, \n    Handlers: \n        Name: h\n        Level: 2\n"
              "        Timeout: 0 s\n        Dump cmd: d\n        Enabled: 0\n"
              "History events:    hang hang_1    oops oops_2");
}

}  // namespace
