#include <gtest/gtest.h>
#include <log/log.h>
#include <tarnd_host/LogStore.h>

#include <functional>
#include <string>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::String8;
using android::TarnDebugService;

namespace {

// The eight setting lines at their defaults, for a file shown as /etc/t.conf.
const std::string kDefaults =
        "Config File Path: /etc/t.conf\nLog Dump Path: \nAdditional Config Path: \n"
        "Enable Logcat Grep: 1\nEnable Kmsg Grep: 1\nMaxEventsDumped: 10\nMaxLogSize: 1024MB\n"
        "MinFreeSpace: 512MB\n";

TEST(StatusReportTest, ReportOfEachConfiguration) {
    tarnd_test::TempDir dir;
    const struct {
        std::string config, report;
        std::function<void(TarnDebugService&)> edit = nullptr;  // applied after the parse
    } rows[] = {
            // The worked example with its paths as a device has them; blanks at line ends too.
            {tarnd_test::workedExampleConfig(dir.file("debuglogs")),
             "Config File Path: /system/vendor/etc/tarndebug.conf\nLog Dump Path: /data/debuglogs\n"
             "Additional Config Path: \nEnable Logcat Grep: 1\nEnable Kmsg Grep: 1\n"
             "MaxEventsDumped: 5\nMaxLogSize: 1024MB\nMinFreeSpace: 256MB\nGlobal handlers:\n"
             "    Name: logcat\n    Level: 0\n    Dump cmd: logcat -d -f logcat.txt\n    Enabled: "
             "1\n"
             "Monitor: main, Enabled: 1, Level: 1\n    Event: hang, Policy: 0, Dump 0 times\n"
             "    Uevent hints: hang, \n    Key words: GPU HANG, \n    Handlers: \n"
             "        Name: dmesg\n        Level: 0\n        Dump cmd: dmesg > dmesg.txt\n"
             "        Enabled: 1\n",
             [](TarnDebugService& s) {
                 s.mConfigPath = "/system/vendor/etc/tarndebug.conf";
                 s.mLogDumpPath = String8("/data/debuglogs");
             }},
            // Handlers, events and groups show only through monitors.
            {"handler.h.on=1\nevent.e.uevent=u\nevtgroup.g.event=e\nghandler.g.dpara=d0\n"
             "ghandler.g.init=i\nghandler.g.epara=e0\nghandler.g.dump=d\nghandler.g.epara=e1\n",
             kDefaults + "Global handlers:\n    Name: g\n    Level: 100\n    Enable cmd: i\n"
                         "    Enable Para 0: e0\n    Enable Para 1: e1\n    Dump cmd: d\n"
                         "    Dump Para 0: d0\n    Enabled: 0\n"},
            // Limits, the interval and matches appear only where a line set them.
            {"global.command_timeout=5\nhandler.h.dump=d\nhandler.k.timeout=0\nevent.e.policy=x\n"
             "event.e.interval=10\nevent.e.uevent=u1\nevent.e.uevent=u2\nevent.e.match=A=1\n"
             "event.e.key_word=K, L\nevent.e.handler.h.level=2\nevent.e.handler.k.on=1\n"
             "monitor.m.level=3\nmonitor.n.enable=1\nmonitor.n.event=e\n",
             kDefaults +
                     "Command timeout: 5 s\nMonitor: m, Enabled: 0, Level: 3\n"
                     "Monitor: n, Enabled: 1, Level: 100\n    Event: e, Policy: 1, Dump 0 times\n"
                     "    Interval: 10 s\n    Uevent hints: u1, u2, \n    Uevent matches: A=1, \n"
                     "    Key words: K, L, \n    Handlers: \n        Name: h\n        Level: 2\n"
                     "        Dump cmd: d\n        Enabled: 0\n        Name: k\n"
                     "        Level: 100\n        Timeout: 0 s\n        Enabled: 1\n"},
            // Dumps made so far: the last line, without a newline of its own.
            {"", kDefaults + "History events:    hang hang_1    oops oops_2",
             [](TarnDebugService& s) {
                 s.mHistory.add(TarnDebugService::HistoryEntry(String8("hang"), String8("hang_1")));
                 s.mHistory.add(TarnDebugService::HistoryEntry(String8("oops"), String8("oops_2")));
             }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.config.substr(0, 80));
        auto service = tarnd_test::makeService(dir.file("missing.conf"), dir.path());
        service->mConfigPath = "/etc/t.conf";
        tarnd_test::writeFile(dir.file("t.conf"), row.config);
        EXPECT_EQ(service->parseConfig(dir.file("t.conf").c_str()), android::NO_ERROR);
        if (row.edit) row.edit(*service);
        EXPECT_EQ(std::string(service->dumpStatus().string()), row.report);
    }
}

// Start-up logs the report one DEBUG message per line between two hyphen lines, blanks at line
// ends kept.
TEST(StatusReportTest, StartupLogsTheReportLineByLine) {
    tarnd_test::TempDir dir;
    tarnd_test::writeFile(dir.file("t.conf"),
                          "ghandler.g.dump=d\nevent.e.uevent=u\nmonitor.m.event=e\n");
    tarnd_host::LogCapture log;
    auto service = tarnd_test::makeService(dir.file("t.conf"), dir.path());
    std::string logged, hyphens(44, '-');
    for (const tarnd_host::LogLine& line : log.lines()) {
        logged += (line.prio == ANDROID_LOG_DEBUG ? "" : "!") + line.msg + "\n";
    }
    EXPECT_EQ(logged, "Start parsing config\nParsing config succeed, start dump config...\n" +
                              hyphens + "\n" + service->dumpStatus().string() + hyphens +
                              "\nNo monitor is enabled\n");
    EXPECT_EQ(log.count("    Uevent hints: u, "), 1u);
}

}  // namespace
