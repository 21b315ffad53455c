#include <android/log.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::String8;
using tarnd_host::LogCapture;
using Handler = android::TarnDebugService::Handler;
using Event = android::TarnDebugService::Event;
using tarnd_test::logText;
using tarnd_test::makeHandler;

namespace {

// Command lines that fail as a shell that cannot start, without running.
std::set<std::string> gFailing;

int failListed(const android::tarnd::ShellCommand& command) {
    if (gFailing.count(command.line) != 0) return -1;
    return android::tarnd::runShellCommand(command);
}

Event makeEvent(const std::vector<Handler>& handlers) {
    return tarnd_test::makeEvent("gpu_hang", handlers);
}

// Each test runs in a fresh directory, where the commands write their relative files.
class HandlerCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(getcwd(mSavedDir, sizeof(mSavedDir)), nullptr);
        mService = tarnd_test::makeService(mDir.file("missing.conf"), mDir.path());
        mService->mRunCommand = failListed;
        ASSERT_EQ(chdir(mDir.path().c_str()), 0);
    }
    void TearDown() override {
        gFailing.clear();
        ASSERT_EQ(chdir(mSavedDir), 0);
    }
    std::string read(const char* name) { return tarnd_test::readFile(mDir.file(name)); }

    tarnd_test::TempDir mDir;
    android::sp<android::TarnDebugService> mService;
    char mSavedDir[PATH_MAX];
};

// A command and its parameters, the lines run ("|" between, "!" before a line logged after a run;
// none: no command) and the file out.
struct CommandCase {
    const char* label;
    const char* cmd;
    std::vector<std::string> paras;
    const char* runs;
    const char* out;
};

const CommandCase kCommands[] = {
        {"NoCommand", "", {"a > out", "b > out", "c > out"}, "", ""},
        {"NoParameters", "echo bare > out", {}, "echo bare > out", "bare\n"},
        {"OneLineEach",
         "echo",
         {"p1 >> out", "p2 >> out", "p3 >> out"},
         "echo p1 >> out|echo p2 >> out|echo p3 >> out",
         "p1\np2\np3\n"},
        {"ParameterKeptWhole", "echo", {"'a, b  c' > out"}, "echo 'a, b  c' > out", "a, b  c\n"},
        {"ExitStatusIgnored",
         "echo x >> out; exit",
         {"1", "2"},
         "echo x >> out; exit 1|!Command exited with status 1: echo x >> out; exit 1|"
         "echo x >> out; exit 2|!Command exited with status 2: echo x >> out; exit 2",
         "x\nx\n"},
};

class RunCommandTest : public HandlerCommandsTest,
                       public ::testing::WithParamInterface<std::tuple<CommandCase, bool>> {};

TEST_P(RunCommandTest, OneLinePerParameterExitStatusIgnored) {
    const CommandCase& c = std::get<0>(GetParam());
    bool enable = std::get<1>(GetParam());
    Handler handler = makeHandler("h", 0, enable ? "" : c.cmd, enable ? c.cmd : "", c.paras);
    (enable ? handler.mDumpParas : handler.mEnableParas).clear();
    mService->mGlobalHandlers.add(handler);
    LogCapture log;
    EXPECT_EQ(enable ? mService->enableHandlers() : (mService->dumpGlobalHandlers(0), 0), 0);

    std::string verb = enable ? "Enable cmd: " : "Dump cmd: ";
    std::string runs =
            *c.runs == '\0' ? (enable ? "No enable cmd for h" : "No dump cmd for h")
                            : verb + std::regex_replace(c.runs, std::regex("\\|(?!!)"), "|" + verb);
    runs = std::regex_replace(runs, std::regex("\\|!"), "|");
    EXPECT_EQ(logText(log), enable ? "Enable global handlers|" + runs + "|Enable monitor" : runs);
    EXPECT_EQ(read("out"), c.out);
}

INSTANTIATE_TEST_SUITE_P(Rows, RunCommandTest,
                         ::testing::Combine(::testing::ValuesIn(kCommands), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).label) +
                                    (std::get<1>(info.param) ? "Enable" : "Dump");
                         });

// A failed run stops the handler's remaining parameters; enabling and the global dump go on with
// the next handler, an event's dump describes the handler and stops.
TEST_F(HandlerCommandsTest, FailureStopsOnlyWhatItShould) {
    Handler a = makeHandler("A", 0, "echo A", "echo A", {"1 >> order", "2 >> order", "3 >> order"});
    Handler b = makeHandler("B", 0, "echo B >> order", "echo B >> order");
    mService->mGlobalHandlers.add(a);
    mService->mGlobalHandlers.add(b);
    Event event = makeEvent({a, b});
    android::TarnDebugService::Monitor monitor(nullptr, String8("m"));
    monitor.mEnabled = true;
    monitor.mEvents.add(event);
    mService->mMonitors.add(monitor);
    gFailing = {"echo A 2 >> order"};
    const std::string enableAB =
            "Enable cmd: echo A 1 >> order|Enable cmd: echo A 2 >> order|"
            "E:Enable handler failed, echo A 2 >> order|"
            "E:Enable handler failed, cmd: echo A|Enable cmd: echo B >> order";
    LogCapture enable;
    EXPECT_EQ(mService->enableHandlers(), 0);
    EXPECT_EQ(logText(enable),
              "Enable global handlers|" + enableAB + "|Enable monitor|" + enableAB);
    LogCapture global;
    mService->dumpGlobalHandlers(0);
    EXPECT_EQ(logText(global),
              "Dump cmd: echo A 1 >> order|Dump cmd: echo A 2 >> order|"
              "E:Dump handler failed, echo A 2 >> order|Dump cmd: echo B >> order");
    LogCapture dump;
    EXPECT_EQ(mService->dumpHandlers(event, 0), -1);
    EXPECT_EQ(logText(dump),
              "Dump cmd: echo A 1 >> order|Dump cmd: echo A 2 >> order|"
              "E:Dump handler failed, echo A 2 >> order|"
              "E:Dump handler failed for event gpu_hang, handler Name: A\nLevel: 0\n"
              "Enable cmd: echo A\nEnable Para 0: 1 >> order\nEnable Para 1: 2 >> order\n"
              "Enable Para 2: 3 >> order\nDump cmd: echo A\nDump Para 0: 1 >> order\n"
              "Dump Para 1: 2 >> order\nDump Para 2: 3 >> order\n");
    EXPECT_EQ(read("order"), "A 1\nB\nA 1\nB\nA 1\nB\nA 1\n");
}

// Start-up runs the enable commands before any worker starts: global handlers whatever their
// level (g at the default 100), an event's enabled handlers up to its monitor's level (equal
// included), once for every place they occur, and only through enabled monitors.
TEST_F(HandlerCommandsTest, StartEnablesBySelection) {
    std::string config = mDir.file("tarndebug.conf");
    tarnd_test::writeFile(
            config,
            "global.log_dump_path=" + mDir.file("dumps") +
                    "\nglobal.logcat_grep=0\nglobal.kmsg_grep=0\n"
                    "ghandler.g.init=echo g >> order\nghandler.g.on=1\n"
                    "handler.at.init=echo at >> order\nhandler.at.on=1\nhandler.at.level=1\n"
                    "handler.up.init=echo up >> order\nhandler.up.on=1\nhandler.up.level=2\n"
                    "handler.off.init=echo off >> order\n"
                    "event.e.handler.at.on=1\nevent.e.handler.up.on=1\nevent.e.handler.off.level="
                    "0\n"
                    "event.f.handler.at.on=1\n"
                    "monitor.m.enable=1\nmonitor.m.level=1\nmonitor.m.event=e\nmonitor.m.event=f\n"
                    "monitor.x.level=100\nmonitor.x.event=e\n");
    LogCapture log;
    {
        android::sp<android::TarnDebugService> service =
                tarnd_test::makeService(config, mDir.path());
        EXPECT_EQ(read("order"), "g\nat\nat\n");
    }
    // Nothing else in between: the workers start only after these lines.
    EXPECT_NE(logText(log).find(
                      "|Start enable handlers|Enable global handlers|Enable cmd: echo g >> order|"
                      "Enable monitor|Enable cmd: echo at >> order|Enable cmd: echo at >> order|"
                      "Finish enable handlers|"),
              std::string::npos);
    EXPECT_TRUE(log.contains("TARN debug service started"));
}

// Each run gets the handler's own limit where a line set one, else the service's (60 by
// default); a hung enable command is stopped and start-up goes on.
TEST_F(HandlerCommandsTest, LimitsAndHungEnableCommand) {
    // Service limit (-1: as it is), handler limit (-1: none), the limit a run gets.
    const std::tuple<int32_t, int32_t, int32_t> rows[] = {{-1, -1, 60}, {5, -1, 5}, {5, 0, 0},
                                                          {-1, 2, 2},   {0, 3, 3},  {0, -1, 0}};
    for (const auto& [global, own, expected] : rows) {
        Handler handler = makeHandler("h", 0, "true");
        std::tie(handler.mTimeoutSet, handler.mTimeout) = std::make_tuple(own >= 0, own);
        if (global >= 0) mService->mCommandTimeout = global;  // the first row sees the default
        std::vector<int32_t> limits;
        mService->mRunCommand = [&limits](const android::tarnd::ShellCommand& command) {
            limits.push_back(command.timeoutSeconds);
            return 0;
        };
        Event event = makeEvent({handler});
        mService->dumpHandlers(event, 0);
        EXPECT_EQ(limits, std::vector<int32_t>{expected}) << global << " " << own;
    }
    std::string hang = "sleep 600." + std::to_string(getpid()), config = mDir.file("t.conf");
    tarnd_test::writeFile(config, "global.log_dump_path=" + mDir.file("dumps") +
                                          "\nglobal.logcat_grep=0\nglobal.kmsg_grep=0\n"
                                          "global.command_timeout=1\nghandler.g.init=" +
                                          hang +
                                          "\nghandler.g.on=1\nevent.e.uevent=e\n"
                                          "monitor.m.enable=1\nmonitor.m.event=e\n");
    LogCapture log;
    android::sp<android::TarnDebugService> service = tarnd_test::makeService(config, mDir.path());
    EXPECT_TRUE(log.contains("Command timed out after 1 s, stopped: " + hang));
    EXPECT_TRUE(log.contains("TARN debug service started"));
    EXPECT_FALSE(tarnd_test::processRunning(hang));
}

}  // namespace
