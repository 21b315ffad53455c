#include <android/log.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::sp;
using android::String8;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;

using Handler = TarnDebugService::Handler;
using Event = TarnDebugService::Event;
using Monitor = TarnDebugService::Monitor;
using Lines = std::vector<std::string>;

namespace {

// Command lines that fail the way a shell that cannot be started fails: nothing runs and system()
// gives -1. Every other line runs through the C library's system().
std::set<std::string>& failingLines() {
    static std::set<std::string>* lines = new std::set<std::string>();
    return *lines;
}

// Makes the given lines fail for the life of the object.
class ScopedFailingLines {
  public:
    explicit ScopedFailingLines(const std::set<std::string>& lines) { failingLines() = lines; }
    ~ScopedFailingLines() { failingLines().clear(); }
};

}  // namespace

// Link seam: the daemon's calls of system() in this test binary come here.
extern "C" int system(const char* command) {
    using SystemFn = int (*)(const char*);
    static SystemFn real = reinterpret_cast<SystemFn>(dlsym(RTLD_NEXT, "system"));
    if (command != nullptr && failingLines().count(command) != 0) return -1;
    return real(command);
}

namespace {

Handler makeHandler(const char* name, int32_t level, bool enabled = true) {
    Handler handler(nullptr, String8(name));
    handler.mLevel = level;
    handler.mEnabled = enabled;
    return handler;
}

void addParas(android::Vector<String8>& list, const std::vector<std::string>& paras) {
    for (const std::string& para : paras) list.add(String8(para.c_str()));
}

Event makeEvent(const char* name, const std::vector<Handler>& handlers) {
    Event event(nullptr, String8(name));
    for (const Handler& handler : handlers) event.mHandlers.add(handler);
    return event;
}

Monitor makeMonitor(const char* name, bool enabled, int32_t level,
                    const std::vector<Event>& events) {
    Monitor monitor(nullptr, String8(name));
    monitor.mEnabled = enabled;
    monitor.mLevel = level;
    for (const Event& event : events) monitor.mEvents.add(event);
    return monitor;
}

// Each test runs in a fresh temporary directory, so commands write relative files there.
class HandlerCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(getcwd(mSavedDir, sizeof(mSavedDir)), nullptr);
        mService = tarnd_test::makeService(mDir.file("missing.conf"), mDir.path());
        ASSERT_EQ(chdir(mDir.path().c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(mSavedDir), 0); }

    std::string read(const char* name) { return tarnd_test::readFile(mDir.file(name)); }

    TempDir mDir;
    sp<TarnDebugService> mService;
    char mSavedDir[PATH_MAX];
};

// One handler's command with its parameters, run once as an enable and once as a dump command.
struct CommandCase {
    const char* label;
    std::string cmd;
    std::vector<std::string> paras;
    Lines runs;              // the command lines logged, in order; empty: the no-command message
    std::string outContent;  // what the runs leave in the file out; empty: no such file
};

const CommandCase kCommandCases[] = {
        {"NoCommandIgnoresParameters", "", {"a > out", "b > out", "c > out"}, {}, ""},
        {"BareCommandRunsAsItStands", "echo bare > out", {}, {"echo bare > out"}, "bare\n"},
        {"OneRunPerParameter",
         "echo run",
         {"p1 >> out", "p2 >> out", "p3 >> out"},
         {"echo run p1 >> out", "echo run p2 >> out", "echo run p3 >> out"},
         "run p1\nrun p2\nrun p3\n"},
        {"ParameterKeptWhole", "echo", {"'a, b  c' > out"}, {"echo 'a, b  c' > out"}, "a, b  c\n"},
        {"NonZeroExitIsNoFailure",
         "echo ran >> out; exit",
         {"1", "2"},
         {"echo ran >> out; exit 1", "echo ran >> out; exit 2"},
         "ran\nran\n"},
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.label; }

class RunCommandTest : public HandlerCommandsTest,
                       public ::testing::WithParamInterface<std::tuple<CommandCase, bool>> {};

TEST_P(RunCommandTest, LogsAndRunsEachLine) {
    const CommandCase& c = std::get<0>(GetParam());
    bool enable = std::get<1>(GetParam());
    Handler handler = makeHandler("h", 0);
    if (enable) {
        handler.mEnableCmd = String8(c.cmd.c_str());
        addParas(handler.mEnableParas, c.paras);
    } else {
        handler.mDumpCmd = String8(c.cmd.c_str());
        addParas(handler.mDumpParas, c.paras);
    }
    mService->mGlobalHandlers.add(handler);

    LogCapture log;
    Lines expected;
    if (c.runs.empty()) expected.push_back(enable ? "No enable cmd for h" : "No dump cmd for h");
    for (const std::string& run : c.runs)
        expected.push_back((enable ? "Enable cmd: " : "Dump cmd: ") + run);
    if (enable) {
        EXPECT_EQ(mService->enableHandlers(), 0);
        expected.insert(expected.begin(), "Enable global handlers");
        expected.push_back("Enable monitor");
    } else {
        mService->dumpGlobalHandlers(0);
    }

    EXPECT_EQ(log.messages(), expected);
    if (c.outContent.empty()) {
        EXPECT_EQ(tarnd_test::listDir(mDir.path()), Lines{});
    } else {
        EXPECT_EQ(read("out"), c.outContent);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, RunCommandTest,
                         ::testing::Combine(::testing::ValuesIn(kCommandCases), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<RunCommandTest::ParamType>& info) {
                             return std::string(std::get<0>(info.param).label) +
                                    (std::get<1>(info.param) ? "_Enable" : "_Dump");
                         });

TEST_F(HandlerCommandsTest, DisabledHandlerIsNeitherRunNorLogged) {
    Handler handler = makeHandler("off", 0, false);
    handler.mEnableCmd = String8("echo enable > out");
    handler.mDumpCmd = String8("echo dump > out");
    mService->mGlobalHandlers.add(handler);
    Event event = makeEvent("e", {handler});
    mService->mMonitors.add(makeMonitor("m", true, 100, {event}));

    LogCapture log;
    EXPECT_EQ(mService->enableHandlers(), 0);
    mService->dumpGlobalHandlers(100);
    EXPECT_EQ(mService->dumpHandlers(event, 100), 0);

    EXPECT_EQ(log.messages(), (Lines{"Enable global handlers", "Enable monitor"}));
    EXPECT_EQ(tarnd_test::listDir(mDir.path()), Lines{});
}

// Global handlers are set up whatever their level; an event's handler only up to its monitor's
// level, once for every place it occurs, and only through enabled monitors.
TEST_F(HandlerCommandsTest, EnableSelectsByMonitorLevel) {
    auto handler = [](const char* name, int32_t level) {
        Handler h = makeHandler(name, level);
        h.mEnableCmd = String8::format("echo %s >> order", name);
        return h;
    };
    mService->mGlobalHandlers.add(handler("global100", 100));
    mService->mGlobalHandlers.add(makeHandler("globalOff", 0, false));
    Event first = makeEvent("first", {handler("at5", 5), handler("at6", 6), handler("at100", 100),
                                      handler("below", -3)});
    Event second = makeEvent("second", {handler("at5", 5)});
    mService->mMonitors.add(makeMonitor("five", true, 5, {first, second}));
    mService->mMonitors.add(makeMonitor("off", false, 100, {first}));
    mService->mMonitors.add(makeMonitor("hundred", true, 100, {first}));

    LogCapture log;
    EXPECT_EQ(mService->enableHandlers(), 0);

    EXPECT_EQ(read("order"), "global100\nat5\nbelow\nat5\nat5\nat6\nat100\nbelow\n");
    EXPECT_EQ(log.messages(),
              (Lines{"Enable global handlers", "Enable cmd: echo global100 >> order",
                     "Enable monitor", "Enable cmd: echo at5 >> order",
                     "Enable cmd: echo below >> order", "Enable cmd: echo at5 >> order",
                     "Enable cmd: echo at5 >> order", "Enable cmd: echo at6 >> order",
                     "Enable cmd: echo at100 >> order", "Enable cmd: echo below >> order"}));
}

struct LevelCase {
    int32_t handlerLevel;
    int32_t logLevel;
    bool runs;
};

const LevelCase kLevelCases[] = {
        {100, 0, false},
        {100, 99, false},
        {100, 100, true},
        {0, 0, true},
        {7, 7, true},
        {8, 7, false},
        {-5, 0, true},
        {0, -1, false},
        {INT32_MIN, INT32_MIN, true},
        {INT32_MAX, INT32_MAX, true},
};

void PrintTo(const LevelCase& c, std::ostream* os) {
    *os << "handler " << c.handlerLevel << ", log " << c.logLevel;
}

class DumpLevelTest : public HandlerCommandsTest,
                      public ::testing::WithParamInterface<std::tuple<LevelCase, bool>> {};

TEST_P(DumpLevelTest, RunsWhenAtMostTheLogLevel) {
    const LevelCase& c = std::get<0>(GetParam());
    bool global = std::get<1>(GetParam());
    Handler handler = makeHandler("h", c.handlerLevel);
    handler.mDumpCmd = String8("echo dumped > out");

    LogCapture log;
    if (global) {
        mService->mGlobalHandlers.add(handler);
        mService->dumpGlobalHandlers(c.logLevel);
    } else {
        Event event = makeEvent("e", {handler});
        EXPECT_EQ(mService->dumpHandlers(event, c.logLevel), 0);
    }

    if (c.runs) {
        EXPECT_EQ(log.messages(), Lines{"Dump cmd: echo dumped > out"});
        EXPECT_EQ(read("out"), "dumped\n");
    } else {
        EXPECT_EQ(log.messages(), Lines{});
        EXPECT_FALSE(tarnd_test::exists(mDir.file("out")));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, DumpLevelTest,
                         ::testing::Combine(::testing::ValuesIn(kLevelCases), ::testing::Bool()));

TEST_F(HandlerCommandsTest, DumpRunsEveryHandlerInOrder) {
    for (const char* name : {"g1", "g2"}) {
        Handler h = makeHandler(name, 0);
        h.mDumpCmd = String8::format("echo %s >> order", name);
        mService->mGlobalHandlers.add(h);
    }
    Handler e1 = makeHandler("e1", 0);
    e1.mDumpCmd = String8("echo e1 >> order");
    Handler e2 = makeHandler("e2", 0);
    e2.mDumpCmd = String8("echo e2");
    addParas(e2.mDumpParas, {"a >> order", "b >> order"});
    Event event = makeEvent("e", {e1, e2});

    mService->dumpGlobalHandlers(0);
    EXPECT_EQ(mService->dumpHandlers(event, 0), 0);
    EXPECT_EQ(read("order"), "g1\ng2\ne1\ne2 a\ne2 b\n");
}

TEST_F(HandlerCommandsTest, EnableFailureStopsOnlyThatHandlersParameters) {
    Handler a = makeHandler("A", 100);
    a.mEnableCmd = String8("echo A");
    addParas(a.mEnableParas, {"1 >> order", "2 >> order", "3 >> order"});
    Handler b = makeHandler("B", 100);
    b.mEnableCmd = String8("echo B >> order");
    mService->mGlobalHandlers.add(a);
    mService->mGlobalHandlers.add(b);
    Handler c = makeHandler("C", 0);
    c.mEnableCmd = String8("echo C >> order");
    Handler d = makeHandler("D", 0);
    d.mEnableCmd = String8("echo D >> order");
    mService->mMonitors.add(makeMonitor("m", true, 0, {makeEvent("e", {c, d})}));

    ScopedFailingLines failing({"echo A 2 >> order", "echo C >> order"});
    LogCapture log;
    EXPECT_EQ(mService->enableHandlers(), 0);

    EXPECT_EQ(read("order"), "A 1\nB\nD\n");
    EXPECT_EQ(
            log.messages(),
            (Lines{"Enable global handlers", "Enable cmd: echo A 1 >> order",
                   "Enable cmd: echo A 2 >> order", "Enable handler failed, echo A 2 >> order",
                   "Enable handler failed, cmd: echo A", "Enable cmd: echo B >> order",
                   "Enable monitor", "Enable cmd: echo C >> order",
                   "Enable handler failed, echo C >> order",
                   "Enable handler failed, cmd: echo C >> order", "Enable cmd: echo D >> order"}));
    std::vector<tarnd_host::LogLine> lines = log.lines();
    ASSERT_EQ(lines.size(), 11u);
    for (size_t i : {3u, 4u, 8u, 9u}) EXPECT_EQ(lines[i].prio, ANDROID_LOG_ERROR) << i;
}

TEST_F(HandlerCommandsTest, GlobalDumpFailureGoesOnWithNextHandler) {
    Handler a = makeHandler("A", 0);
    a.mDumpCmd = String8("echo A");
    addParas(a.mDumpParas, {"1 >> order", "2 >> order", "3 >> order"});
    Handler b = makeHandler("B", 0);
    b.mDumpCmd = String8("echo B >> order");
    mService->mGlobalHandlers.add(a);
    mService->mGlobalHandlers.add(b);

    ScopedFailingLines failing({"echo A 2 >> order"});
    LogCapture log;
    mService->dumpGlobalHandlers(0);

    EXPECT_EQ(read("order"), "A 1\nB\n");
    EXPECT_EQ(log.messages(),
              (Lines{"Dump cmd: echo A 1 >> order", "Dump cmd: echo A 2 >> order",
                     "Dump handler failed, echo A 2 >> order", "Dump cmd: echo B >> order"}));
    EXPECT_EQ(log.lines()[2].prio, ANDROID_LOG_ERROR);
}

TEST_F(HandlerCommandsTest, EventDumpFailureDescribesHandlerAndStopsEvent) {
    Handler a = makeHandler("A", 0);
    a.mEnableCmd = String8("echo on");
    addParas(a.mEnableParas, {"x"});
    a.mDumpCmd = String8("echo A");
    addParas(a.mDumpParas, {"1 >> order", "2 >> order", "3 >> order"});
    Handler b = makeHandler("B", 0);
    b.mDumpCmd = String8("echo B >> order");
    Event event = makeEvent("gpu_hang", {a, b});

    ScopedFailingLines failing({"echo A 2 >> order"});
    LogCapture log;
    EXPECT_EQ(mService->dumpHandlers(event, 0), -1);

    EXPECT_EQ(read("order"), "A 1\n");
    EXPECT_EQ(log.messages(), (Lines{"Dump cmd: echo A 1 >> order", "Dump cmd: echo A 2 >> order",
                                     "Dump handler failed, echo A 2 >> order",
                                     "Dump handler failed for event gpu_hang, handler Name: A\n"
                                     "Level: 0\n"
                                     "Enable cmd: echo on\n"
                                     "Enable Para 0: x\n"
                                     "Dump cmd: echo A\n"
                                     "Dump Para 0: 1 >> order\n"
                                     "Dump Para 1: 2 >> order\n"
                                     "Dump Para 2: 3 >> order\n"}));
    std::vector<tarnd_host::LogLine> lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].prio, ANDROID_LOG_ERROR);
    EXPECT_EQ(lines[3].prio, ANDROID_LOG_ERROR);
}

// With SIGCHLD ignored the C library cannot collect the shell's status, and its own system()
// reports -1: the failure path without the seam. The command itself did run.
TEST_F(HandlerCommandsTest, RealNegativeSystemResultCountsAsFailure) {
    Handler a = makeHandler("A", 0);
    a.mDumpCmd = String8("echo A >> order");
    Handler b = makeHandler("B", 0);
    b.mDumpCmd = String8("echo B >> order");
    Event event = makeEvent("e", {a, b});

    LogCapture log;
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction saved;
    ASSERT_EQ(sigaction(SIGCHLD, &ignore, &saved), 0);
    int32_t result = mService->dumpHandlers(event, 0);
    ASSERT_EQ(sigaction(SIGCHLD, &saved, nullptr), 0);

    EXPECT_EQ(result, -1);
    EXPECT_EQ(read("order"), "A\n");
    EXPECT_EQ(log.messages(),
              (Lines{"Dump cmd: echo A >> order", "Dump handler failed, echo A >> order",
                     "Dump handler failed for event e, handler Name: A\nLevel: 0\n"
                     "Dump cmd: echo A >> order\n"}));
}

}  // namespace

namespace {

// Start-up runs the enable commands once the configuration is read, before any worker starts.
TEST(HandlerCommandsStartTest, StartRunsEnableCommands) {
    TempDir dir;
    std::string config = dir.file("tarndebug.conf");
    std::string out = dir.file("enabled.txt");
    const Lines lines = {"global.log_dump_path=" + dir.file("dumps"),
                         "global.logcat_grep=0",
                         "global.kmsg_grep=0",
                         "ghandler.g.init=echo global >> " + out,
                         "ghandler.g.on=1",
                         "handler.h.init=echo event >> " + out,
                         "handler.h.on=1",
                         "handler.h.level=1",
                         "event.e.handler.h.on=1",
                         "monitor.m.enable=1",
                         "monitor.m.level=1",
                         "monitor.m.event=e"};
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    tarnd_test::writeFile(config, text);

    LogCapture log;
    {
        sp<TarnDebugService> service = tarnd_test::makeService(config, dir.path());
        EXPECT_EQ(tarnd_test::readFile(out), "global\nevent\n");
    }

    Lines messages = log.messages();
    auto start = std::find(messages.begin(), messages.end(), "Start enable handlers");
    ASSERT_NE(start, messages.end());
    // Nothing else runs yet: the workers start only after these lines.
    ASSERT_GE(messages.end() - start, 6);
    EXPECT_EQ(Lines(start, start + 6),
              (Lines{"Start enable handlers", "Enable global handlers",
                     "Enable cmd: echo global >> " + out, "Enable monitor",
                     "Enable cmd: echo event >> " + out, "Finish enable handlers"}));
    EXPECT_TRUE(log.contains("TARN debug service started"));
}

}  // namespace
