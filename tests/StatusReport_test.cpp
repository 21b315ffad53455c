#include <gtest/gtest.h>
#include <log/log.h>
#include <string.h>
#include <tarnd_host/LogStore.h>

#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::NO_ERROR;
using android::sp;
using android::String8;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;

namespace {

using Handler = TarnDebugService::Handler;
using Event = TarnDebugService::Event;

const char* const kWorkedExample =
        "// dump area and limits\n"
        "global.log_dump_path=@DUMP@\n"
        "global.max_dump_count=5\n"
        "global.min_free_space=256\n"
        "handler.dmesg.dump=dmesg > dmesg.txt\n"
        "handler.dmesg.on=1\n"
        "handler.dmesg.level=1\n"
        "handler.state.dump=cat\n"
        "handler.state.dpara=/sys/kernel/debug/state > state.txt\n"
        "handler.state.on=1\n"
        "ghandler.logcat.dump=logcat -d -f logcat.txt\n"
        "ghandler.logcat.on=1\n"
        "ghandler.logcat.level=0\n"
        "event.hang.key_word=GPU HANG\n"
        "event.hang.uevent=hang\n"
        "event.hang.policy=once\n"
        "event.hang.handler.dmesg.level=0\n"
        "evtgroup.gpu.event=hang\n"
        "monitor.main.enable=@ENABLE@\n"
        "monitor.main.level=1\n"
        "monitor.main.evtgroup=gpu\n";

std::string workedExample(const std::string& dumpPath, bool enabled) {
    std::string text = kWorkedExample;
    text.replace(text.find("@DUMP@"), 6, dumpPath);
    text.replace(text.find("@ENABLE@"), 8, enabled ? "1" : "0");
    return text;
}

// The report of the worked example as a device would log it; trailing blanks are part of it.
const char* const kWorkedReport =
        "Config File Path: /system/vendor/etc/tarndebug.conf\n"
        "Log Dump Path: /data/debuglogs\n"
        "Additional Config Path: \n"
        "Enable Logcat Grep: 1\n"
        "Enable Kmsg Grep: 1\n"
        "MaxEventsDumped: 5\n"
        "MaxLogSize: 1024MB\n"
        "MinFreeSpace: 256MB\n"
        "Global handlers:\n"
        "    Name: logcat\n"
        "    Level: 0\n"
        "    Dump cmd: logcat -d -f logcat.txt\n"
        "    Enabled: 1\n"
        "Monitor: main, Enabled: 1, Level: 1\n"
        "    Event: hang, Policy: 0, Dump 0 times\n"
        "    Uevent hints: hang, \n"
        "    Key words: GPU HANG, \n"
        "    Handlers: \n"
        "        Name: dmesg\n"
        "        Level: 0\n"
        "        Dump cmd: dmesg > dmesg.txt\n"
        "        Enabled: 1\n";

// The eight setting lines of a service left at its defaults.
std::string defaultSettings(const std::string& configPath) {
    return "Config File Path: " + configPath +
           "\n"
           "Log Dump Path: \n"
           "Additional Config Path: \n"
           "Enable Logcat Grep: 1\n"
           "Enable Kmsg Grep: 1\n"
           "MaxEventsDumped: 10\n"
           "MaxLogSize: 1024MB\n"
           "MinFreeSpace: 512MB\n";
}

class StatusReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mService = tarnd_test::makeService(mDir.file("missing.conf"), mDir.path());
        ASSERT_EQ(mService->mStopped, 1);
    }

    TempDir mDir;
    sp<TarnDebugService> mService;
};

TEST_F(StatusReportTest, WorkedExampleByteForByte) {
    std::string config = mDir.file("tarndebug.conf");
    tarnd_test::writeFile(config, workedExample(mDir.file("debuglogs"), true));
    ASSERT_EQ(mService->parseConfig(config.c_str()), NO_ERROR);
    // The report shows the paths as a device has them.
    mService->mConfigPath = "/system/vendor/etc/tarndebug.conf";
    mService->mLogDumpPath = String8("/data/debuglogs");
    EXPECT_EQ(std::string(mService->dumpStatus().string()), kWorkedReport);
}

TEST_F(StatusReportTest, EmptyConfigurationGivesEightSettingLines) {
    std::string config = mDir.file("empty.conf");
    tarnd_test::writeFile(config, "// nothing set\n");
    ASSERT_EQ(mService->parseConfig(config.c_str()), NO_ERROR);
    EXPECT_EQ(std::string(mService->dumpStatus().string()),
              defaultSettings(mDir.file("missing.conf")));
}

TEST_F(StatusReportTest, ChangedSettings) {
    mService->mConfigPath = "/etc/t.conf";
    mService->mLogDumpPath = String8("/data/x y");
    mService->mAdditionalConfPath = String8("/etc/extra.conf");
    mService->mLogcatGrep = false;
    mService->mKmsgGrep = false;
    mService->mMaxDumpCount = -1;
    mService->mMaxDumpSpace = 0;
    mService->mMinFreeSpace = 2048;
    mService->mUseAdditionalConf = true;
    EXPECT_EQ(std::string(mService->dumpStatus().string()),
              "Config File Path: /etc/t.conf\n"
              "Log Dump Path: /data/x y\n"
              "Additional Config Path: /etc/extra.conf\n"
              "Enable Logcat Grep: 0\n"
              "Enable Kmsg Grep: 0\n"
              "MaxEventsDumped: -1\n"
              "MaxLogSize: 0MB\n"
              "MinFreeSpace: 2048MB\n");
}

Handler makeHandler(const char* name, int32_t level, bool enabled, const char* init,
                    std::vector<const char*> eparas, const char* dump,
                    std::vector<const char*> dparas) {
    Handler h(nullptr, String8(name));
    h.mLevel = level;
    h.mEnabled = enabled;
    h.mEnableCmd = String8(init);
    h.mDumpCmd = String8(dump);
    for (const char* p : eparas) h.mEnableParas.add(String8(p));
    for (const char* p : dparas) h.mDumpParas.add(String8(p));
    return h;
}

Event makeEvent(const char* name, int32_t policy, int32_t count, std::vector<const char*> hints,
                std::vector<const char*> keyWords, std::vector<Handler> handlers) {
    Event e(nullptr, String8(name));
    e.mPolicy = policy;
    e.mDumpCount = count;
    for (const char* h : hints) e.mUeventHints.add(String8(h));
    for (const char* k : keyWords) e.mKeyWords.add(String8(k));
    for (const Handler& h : handlers) e.mHandlers.add(h);
    return e;
}

/// One handler block: the record, the level, the text.
struct HandlerCase {
    const char* name;
    Handler handler;
    int level;
    std::string text;
};

class DescribeHandlerTest : public StatusReportTest,
                            public ::testing::WithParamInterface<HandlerCase> {};

TEST_P(DescribeHandlerTest, Block) {
    const HandlerCase& c = GetParam();
    EXPECT_EQ(std::string(mService->describeHandler(c.handler, c.level).string()), c.text);
}

INSTANTIATE_TEST_SUITE_P(
        Blocks, DescribeHandlerTest,
        ::testing::Values(
                HandlerCase{"NameAndLevelOnly", makeHandler("h", 100, true, "", {}, "", {}), 0,
                            "Name: h\nLevel: 100\n"},
                HandlerCase{"EverythingIndented",
                            makeHandler("h", -3, false, "echo 1 > /sys/x", {"a", "b c"}, "cat",
                                        {"/d > d.txt"}),
                            1,
                            "    Name: h\n"
                            "    Level: -3\n"
                            "    Enable cmd: echo 1 > /sys/x\n"
                            "    Enable Para 0: a\n"
                            "    Enable Para 1: b c\n"
                            "    Dump cmd: cat\n"
                            "    Dump Para 0: /d > d.txt\n"},
                HandlerCase{"ParametersWithoutCommands",
                            makeHandler("h", 1, false, "", {"e"}, "", {"d0", "d1"}), 0,
                            "Name: h\nLevel: 1\nEnable Para 0: e\nDump Para 0: d0\nDump Para 1: "
                            "d1\n"},
                HandlerCase{"NegativeLevelIndentsNothing",
                            makeHandler("h", 0, false, "i", {}, "", {}), -2,
                            "Name: h\nLevel: 0\nEnable cmd: i\n"},
                HandlerCase{"TwoLevels", makeHandler("h", 0, false, "", {}, "d", {}), 2,
                            "        Name: h\n        Level: 0\n        Dump cmd: d\n"},
                HandlerCase{"FormatCharactersPrintedAsText",
                            makeHandler("%s%d", 0, false, "printf %s", {}, "", {}), 0,
                            "Name: %s%d\nLevel: 0\nEnable cmd: printf %s\n"}),
        [](const ::testing::TestParamInfo<HandlerCase>& info) { return info.param.name; });

/// One event block.
struct EventCase {
    const char* name;
    Event event;
    int level;
    std::string text;
};

class DescribeEventTest : public StatusReportTest,
                          public ::testing::WithParamInterface<EventCase> {};

TEST_P(DescribeEventTest, Block) {
    const EventCase& c = GetParam();
    EXPECT_EQ(std::string(mService->describeEvent(c.event, c.level).string()), c.text);
}

INSTANTIATE_TEST_SUITE_P(
        Blocks, DescribeEventTest,
        ::testing::Values(EventCase{"EmptyEventFourLines", makeEvent("e", 1, 0, {}, {}, {}), 0,
                                    "Event: e, Policy: 1, Dump 0 times\n"
                                    "Uevent hints: \n"
                                    "Key words: \n"
                                    "Handlers: \n"},
                          EventCase{"EmptyEventIndented", makeEvent("e", 1, 0, {}, {}, {}), 1,
                                    "    Event: e, Policy: 1, Dump 0 times\n"
                                    "    Uevent hints: \n"
                                    "    Key words: \n"
                                    "    Handlers: \n"},
                          EventCase{
                                  "Full",
                                  makeEvent("gpu_hang", 0, 3, {"hang", "reset"}, {"GPU HANG, ring"},
                                            {makeHandler("h1", 1, true, "", {}, "d", {}),
                                             makeHandler("h2", 100, false, "", {}, "", {"p"})}),
                                  1,
                                  "    Event: gpu_hang, Policy: 0, Dump 3 times\n"
                                  "    Uevent hints: hang, reset, \n"
                                  "    Key words: GPU HANG, ring, \n"
                                  "    Handlers: \n"
                                  "        Name: h1\n"
                                  "        Level: 1\n"
                                  "        Dump cmd: d\n"
                                  "        Enabled: 1\n"
                                  "        Name: h2\n"
                                  "        Level: 100\n"
                                  "        Dump Para 0: p\n"
                                  "        Enabled: 0\n"}),
        [](const ::testing::TestParamInfo<EventCase>& info) { return info.param.name; });

/// The records of a service and the report after its eight setting lines.
struct ReportCase {
    const char* name;
    std::function<void(TarnDebugService&)> setUp;
    std::string tail;
};

class DumpStatusTest : public StatusReportTest, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(DumpStatusTest, Report) {
    const ReportCase& c = GetParam();
    mService->mConfigPath = "/etc/t.conf";
    c.setUp(*mService);
    EXPECT_EQ(std::string(mService->dumpStatus().string()),
              defaultSettings("/etc/t.conf") + c.tail);
}

INSTANTIATE_TEST_SUITE_P(
        Lists, DumpStatusTest,
        ::testing::Values(
                ReportCase{"MonitorWithoutEvents",
                           [](TarnDebugService& s) {
                               s.mMonitors.add(TarnDebugService::Monitor(&s, String8("m")));
                           },
                           "Monitor: m, Enabled: 0, Level: 100\n"},
                ReportCase{"MonitorsInOrderEnabledOrNot",
                           [](TarnDebugService& s) {
                               TarnDebugService::Monitor a(&s, String8("a"));
                               a.mEnabled = true;
                               a.mLevel = -1;
                               a.mEvents.add(makeEvent("e", 1, 0, {"u"}, {}, {}));
                               s.mMonitors.add(a);
                               s.mMonitors.add(TarnDebugService::Monitor(&s, String8("b")));
                           },
                           "Monitor: a, Enabled: 1, Level: -1\n"
                           "    Event: e, Policy: 1, Dump 0 times\n"
                           "    Uevent hints: u, \n"
                           "    Key words: \n"
                           "    Handlers: \n"
                           "Monitor: b, Enabled: 0, Level: 100\n"},
                ReportCase{"GlobalHandlers",
                           [](TarnDebugService& s) {
                               s.mGlobalHandlers.add(makeHandler("g1", 0, true, "", {}, "x", {}));
                               s.mGlobalHandlers.add(makeHandler("g2", 5, false, "", {}, "", {}));
                           },
                           "Global handlers:\n"
                           "    Name: g1\n"
                           "    Level: 0\n"
                           "    Dump cmd: x\n"
                           "    Enabled: 1\n"
                           "    Name: g2\n"
                           "    Level: 5\n"
                           "    Enabled: 0\n"},
                // Handlers, events and groups of the service show only through monitors.
                ReportCase{"UnreferencedRecordsNotShown",
                           [](TarnDebugService& s) {
                               s.mHandlers.add(makeHandler("h", 0, true, "", {}, "x", {}));
                               s.mEvents.add(makeEvent("e", 1, 0, {"u"}, {}, {}));
                               s.mEventGroups.add(TarnDebugService::EventGroup(&s, String8("g")));
                           },
                           ""},
                ReportCase{"HistoryIsLastLineWithoutNewline",
                           [](TarnDebugService& s) {
                               s.mMonitors.add(TarnDebugService::Monitor(&s, String8("m")));
                               s.mHistory.add(TarnDebugService::HistoryEntry(
                                       String8("hang"), String8("hang_20240102_030405")));
                               s.mHistory.add(TarnDebugService::HistoryEntry(
                                       String8("oops"), String8("oops_20240102_030500")));
                           },
                           "Monitor: m, Enabled: 0, Level: 100\n"
                           "History events:    hang hang_20240102_030405    oops "
                           "oops_20240102_030500"}),
        [](const ::testing::TestParamInfo<ReportCase>& info) { return info.param.name; });

TEST_F(StatusReportTest, ReportChangesNothing) {
    std::string config = mDir.file("tarndebug.conf");
    tarnd_test::writeFile(config, workedExample(mDir.file("debuglogs"), true));
    ASSERT_EQ(mService->parseConfig(config.c_str()), NO_ERROR);
    String8 first = mService->dumpStatus();
    EXPECT_EQ(std::string(mService->dumpStatus().string()), first.string());
    EXPECT_EQ(mService->mMonitors[0].mEvents[0].mDumpCount, 0);
}

// Start-up logs the report one message per line between the two hyphen lines, blanks at line
// ends kept, and then goes on to the monitor check.
TEST(StatusReportStartupTest, ReportLoggedLineByLine) {
    TempDir dir;
    std::string config = dir.file("tarndebug.conf");
    tarnd_test::writeFile(config, workedExample(dir.file("debuglogs"), false));
    LogCapture log;
    sp<TarnDebugService> service = tarnd_test::makeService(config, dir.path());

    std::string report = kWorkedReport;
    report.replace(report.find("Enabled: 1, Level: 1"), 10, "Enabled: 0");
    report.replace(report.find("/system/vendor/etc/tarndebug.conf"),
                   strlen("/system/vendor/etc/tarndebug.conf"), config);
    report.replace(report.find("/data/debuglogs"), strlen("/data/debuglogs"),
                   dir.file("debuglogs"));
    ASSERT_EQ(std::string(service->dumpStatus().string()), report);

    const std::string hyphens(44, '-');
    std::vector<std::string> expected = {"Start parsing config",
                                         "Parsing config succeed, start dump config...", hyphens};
    size_t start = 0;
    for (size_t end = report.find('\n'); end != std::string::npos;
         start = end + 1, end = report.find('\n', start)) {
        expected.push_back(report.substr(start, end - start));
    }
    expected.push_back(hyphens);
    expected.push_back("No monitor is enabled");
    EXPECT_EQ(log.messages(), expected);
    for (const tarnd_host::LogLine& line : log.lines()) EXPECT_EQ(line.prio, ANDROID_LOG_DEBUG);
    EXPECT_EQ(log.count("    Key words: GPU HANG, "), 1u);
}

}  // namespace
