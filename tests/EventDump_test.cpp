#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tarnd_host/ZelRecorder.h>

#include <filesystem>
#include <sstream>

#include "TestSupport.h"

using android::String8;
using tarnd_test::listDir, tarnd_test::makeEvent, tarnd_test::makeHandler, tarnd_test::matches;
using ::testing::HasSubstr, ::testing::Not, ::testing::StartsWith;
using Lines = std::vector<std::string>;

namespace {

const std::string kHang = "hang_20210305_070809";     // the dump directory at the fixture's clock
const std::string kHang2 = "hang.2_20210305_070809";  // the second one of that second
const std::string kNoLogs = "free=*MB, total log size=0MB\n|";  // the first line over an empty root

// Each test works in its own directory, so that a file written outside the dump dir shows up, with
// an event hang whose handler writes out.txt. The runner fails the line mFailing as a shell that
// cannot start, without running it.
class EventDumpTest : public ::testing::Test, public tarnd_test::ScratchService {
  protected:
    EventDumpTest() {
        service->mRunCommand = [this](const android::tarnd::ShellCommand& command) {
            return command.line == mFailing ? -1 : android::tarnd::runShellCommand(command);
        };
        service->mLogDumpPath = String8(mDumps.c_str());
        service->mMinFreeSpace = 0;
        service->mTime = tarnd_test::fixedTime;
        tarnd_test::gNow = 1614928089;  // 2021-03-05 07:08:09 UTC
        service->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo > out.txt")}));
        std::filesystem::create_directory(mDumps);
    }

    // A file of the size in MiB (sparse), with the directories on its way.
    void makeFile(const std::string& path, double mib) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        tarnd_test::writeFile(path, "");
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(mib * (1 << 20))), 0) << path;
    }
    // What one dump logs, as logText shows it.
    std::string dump(const char* name) {
        tarnd_host::LogCapture log;
        service->dumpEvent(name);
        return tarnd_test::logText(log);
    }

    std::string mDumps = dir.file("dumps"), mFailing;
};

// The worked example of the configuration reference, with harmless commands for logcat and dmesg:
// hang is dumped once into its own directory, then refused an hour later.
TEST_F(EventDumpTest, WorkedExampleDumpedOnceThenRefused) {
    std::string root = dir.file("debuglogs"), config = dir.file("tarndebug.conf");
    std::string text = tarnd_test::workedExampleConfig(root);
    text.replace(text.find("dmesg > dmesg.txt"), 17, "echo dmesg-output > dmesg.txt; mkdir sub");
    text.replace(text.find("logcat -d -f logcat.txt"), 23, "echo logcat-output > logcat.txt");
    tarnd_test::writeFile(config, text);
    service->mEvents.clear();  // the example's own hang only
    ASSERT_EQ(service->parseConfig(config.c_str()), android::NO_ERROR);
    tarnd_host::ZelCapture zel;
    const std::string first = dump("hang");
    tarnd_test::gNow += 3600;
    EXPECT_EQ(dump("hang"),
              kNoLogs + "Dump policy for event hang is ONCE, we already dumpped once");

    std::string path = root + "/" + kHang + "/";
    EXPECT_EQ(listDir(root), Lines{kHang});
    EXPECT_EQ(listDir(path), (Lines{"dmesg.txt", "logcat.txt", "sub"}));
    EXPECT_EQ(listDir(dir.path()), (Lines{"debuglogs", "dumps", "tarndebug.conf"}));
    EXPECT_EQ(std::filesystem::current_path().string(), dir.path());
    ASSERT_EQ(zel.calls().size(), 1u);
    tarnd_host::ZelCall call = zel.calls()[0];
    std::string dmesg = path + "dmesg.txt;", logcat = path + "logcat.txt;";  // sub is left out
    EXPECT_TRUE(call.fileList == dmesg + logcat || call.fileList == logcat + dmesg);
    EXPECT_EQ(
            std::tie(call.type, call.module, call.event, call.args, call.flags),
            std::make_tuple(2, std::string("TARND"), std::string("hang"), std::vector<int>(7), 0));
    EXPECT_EQ(first, kNoLogs + "The log level is 1|Dump event hang to " + path +
                             "|Global handler dump start|Dump cmd: echo logcat-output > "
                             "logcat.txt|Global handler dump finish|Dump cmd: echo "
                             "dmesg-output > dmesg.txt; mkdir sub|Filelist: " +
                             call.fileList);
    ASSERT_EQ(service->mHistory.size(), 1u);
    EXPECT_STREQ(service->mHistory[0].mDumpDirName.string(), kHang.c_str());
}

// The level is the highest of the enabled monitors holding the event: global and event handlers
// at it run, those above it do not. The last event of the name is taken (not the fixture's), and
// dumped every time, twice in one second into two directories.
TEST_F(EventDumpTest, LogLevelIsHighestEnabledMonitorHoldingTheEvent) {
    service->mGlobalHandlers.add(makeHandler("g", 0, "echo > g.txt"));
    service->mGlobalHandlers.add(makeHandler("g+", 0, "echo > g+.txt"));
    // The monitors, then the level the dump takes. A monitor is "+" (enabled) or "-" (not), its
    // level, then "h" (it holds hang) or "o" (another event): "+3h" is an enabled monitor of
    // level 3 that holds hang, "+-5h" one of level -5.
    const std::pair<std::string, int32_t> rows[] = {
            {"", 0}, {"+3h +7h +5h", 7}, {"-9h +9o +2h", 2}, {"+-5h", 0}};
    for (const auto& [monitors, level] : rows) {
        SCOPED_TRACE("monitors " + monitors);
        service->mGlobalHandlers.editItemAt(0).mLevel = level;
        service->mGlobalHandlers.editItemAt(1).mLevel = level + 1;
        service->mMonitors.clear();
        auto event = makeEvent("hang", {makeHandler("e", level, "echo > e.txt"),
                                        makeHandler("e+", level + 1, "echo > e+.txt")});
        service->mEvents.add(event);
        std::istringstream in(monitors);
        for (std::string m; in >> m;) {
            android::tarnd::TarnDebugService::Monitor monitor(nullptr, String8("m"));
            std::tie(monitor.mEnabled, monitor.mLevel) =
                    std::make_tuple(m[0] == '+', std::stoi(&m[1]));
            monitor.mEvents.add(m.back() == 'h' ? event : makeEvent("other"));
            service->mMonitors.add(monitor);
        }
        std::filesystem::remove_all(mDumps);
        for (int i = 0; i < 2; ++i)
            EXPECT_THAT(dump("hang"),
                        HasSubstr("|The log level is " + std::to_string(level) + "|"));
        for (const std::string& made : listDir(mDumps))
            EXPECT_EQ(listDir(mDumps + "/" + made), (Lines{"e.txt", "g.txt"})) << made;
        EXPECT_EQ(listDir(mDumps).size(), 2u);
        EXPECT_EQ(service->mEvents.top().mDumpCount, 2);
    }
}

enum Outcome { kDumped, kTooLarge, kNoSpace, kInvalid, kUnmeasured, kDumpedFull };

// Files under the dump root ("name:MiB", as many MiB in a sparse file); the size limit and the
// free-space floor; the free-space path ("": the test's directory; /proc has no free space); the
// name dumped; the log size shown; the outcome.
using CheckRow = std::tuple<const char*, const char*, int32_t, int32_t, const char*, const char*,
                            int, Outcome>;
const CheckRow kCheckRows[] = {
        {"SizeRoundedDownUnderLimit", "a:1.5 b:0.7", 3, 0, "", "hang", 2, kDumped},
        {"SizeAtLimitTooLarge", "a:1.5 d/e/b:0.7", 2, 0, "", "hang", 2, kTooLarge},
        {"SixGiBUnderLimit", "a:2048 b:2048 c:2048", 6145, 0, "", "hang", 6144, kDumped},
        {"NegativeLimitIsHuge", "old_x/big:3072", -1, 0, "", "hang", 3072, kDumped},
        {"SpaceCheckedBeforeSize", "", 0, INT32_MAX, "", "hang", 0, kNoSpace},
        {"NegativeFreeFloor", "", 1024, -1, "", "hang", 0, kNoSpace},
        // The dump is made, but its commands may write nothing.
        {"FreeSpaceAtFloorGoesOn", "", 1024, 0, "/proc", "hang", 0, kDumpedFull},
        {"UnmeasuredFreeSpaceRefuses", "", 1024, 0, "no-data", "hang", 0, kUnmeasured},
        {"NameIsCaseSensitive", "a/b/c:1", 1024, 0, "", "HANG", 1, kInvalid},
        {"PrefixIsNoName", "", 1024, 0, "", "han", 0, kInvalid},
};

class EventDumpCheckTest : public EventDumpTest, public ::testing::WithParamInterface<CheckRow> {};

// The size of the dump root against its limit, the free space against its floor, then the name:
// what a refusal logs after the first line. A dump that goes on writes out.txt; its lines are the
// worked example's concern.
TEST_P(EventDumpCheckTest, BeforeDumping) {
    const auto& [label, files, maxMB, minFreeMB, data, name, logMB, outcome] = GetParam();
    std::istringstream in(files);
    for (std::string f; in >> f;)
        makeFile(mDumps + "/" + f.substr(0, f.find(':')), std::stod(f.substr(f.find(':') + 1)));
    std::tie(service->mMaxDumpSpace, service->mMinFreeSpace) = std::tie(maxMB, minFreeMB);
    service->mDataPath = *data != '\0' ? data : dir.path().c_str();
    const std::string mb = std::to_string(logMB) + "MB", text = dump(name);
    const std::string expected[] = {
            "",
            "W:Log size is too large, MaxLogSize: " + std::to_string(maxMB) +
                    "MB, CurrentLogSize: " + mb,
            "W:No enough space, MinFreeSpace: " + std::to_string(minFreeMB) +
                    "MB, CurrentFreeSpace: *MB",
            "W:Invalid event received, " + std::string(name),
            "E:Cannot get free space of no-data: No such file or directory, dump of hang "
            "refused",
            "*|W:Dump of event hang reached its space limit, stopped: echo > out.txt|Filelist: "};
    const std::string head = outcome == kUnmeasured ? "" : "free=*MB, total log size=" + mb + "\n|";
    if (outcome == kDumpedFull) {
        EXPECT_TRUE(matches(head + expected[outcome], text)) << text;
    } else {
        EXPECT_EQ(outcome == kDumped ? text.substr(0, head.size()) : text,
                  head + expected[outcome]);
    }
    EXPECT_EQ(tarnd_test::exists(mDumps + "/" + kHang + "/out.txt"), outcome == kDumped);
}
TARND_NAMED_ROWS(EventDumpCheckTest, kCheckRows);

// Links count with their target's size and are never descended; a dangling link and entries that
// cannot be opened or examined (not so for root) add nothing.
TEST_F(EventDumpTest, SizeScanOfLinksAndUnreadableEntries) {
    makeFile(dir.file("o/two"), 2);
    makeFile(dir.file("o/dir/five"), 5);
    for (const std::string name : {"two", "dir", "none"})
        std::filesystem::create_symlink(dir.file("o/" + name), mDumps + "/" + name);
    for (const std::string name : {"closed", "nosearch"}) makeFile(mDumps + "/" + name + "/big", 5);
    ASSERT_EQ(chmod((mDumps + "/closed").c_str(), 0) + chmod((mDumps + "/nosearch").c_str(), 0400),
              0);
    bool root = tarnd_test::isRoot();
    EXPECT_THAT(dump("hang"),
                StartsWith(std::string(root ? "" : "E:cannot open directory: closed\n |") +
                           "free=*MB, total log size=" + (root ? "12" : "2") + "MB\n|"));
}

// A report on a directory that cannot be listed hands nothing to libzel.
TEST_F(EventDumpTest, ReportOnAnUnopenableDirectoryFails) {
    tarnd_host::ZelCapture zel;
    tarnd_host::LogCapture log;
    service->reportFileList("hang", "none/", -1);
    EXPECT_EQ(tarnd_test::logText(log), "E:fail to open log dump dir none/");
    EXPECT_TRUE(zel.calls().empty());
}

// Dumps of hang that go ahead or stop on the way. A step comes before them ("link": a link to the
// directory target stands under the dump's name; "fail": the dump's mkdir cannot start; "lost":
// the working directory is gone). Then the dump root ("~" for the test's directory, where the
// dumps run: a root without it is relative); hang's handlers ("hung" hangs till it is stopped after
// 1 s, "bad" fails to start, the others write a file of their name); how many times hang is raised
// within its interval of 60 s; a pattern of what the dumps log ("*" any text, "~" the test's
// directory); the entries of the test's directory after, joined by "|". A dump that goes ahead is
// counted and reported once, with what its handlers wrote there and nowhere else.
using RunRow = std::tuple<const char*, const char*, std::string, const char*, int, std::string,
                          std::string>;
const std::string kHostile = "-dump dir; touch pwned $(touch pwned2)", kRoot = kHostile + "/it's";
const std::string kOut = "|Filelist: ~/dumps/" + kHang + "/out.txt;";
const std::string kSkip =
        "|" + kNoLogs + "Dump of event hang skipped, last dump * s ago, interval 60 s";
const RunRow kRunRows[] = {
        // A root is created whole despite blanks, shell characters and a leading "-" (the
        // parser's mkdir of it is the config fuzzer's part).
        {"DumpCreatesMissingRoot", "", kRoot, "out.txt", 1,
         "E:cannot open directory: " + kRoot + "\n |" + kNoLogs + "*|Filelist: *out.txt;",
         kHostile + "|dumps"},
        // A name that is taken is never used, whatever stands under it; an empty root would put
        // the dump at "/".
        {"LinkUnderDumpNameNotUsed", "link", "dumps", "out.txt", 1,
         "*|Dump directory " + kHang + " exists, using " + kHang2 + "|Dump event hang to dumps/" +
                 kHang2 + "/|*|Filelist: dumps/" + kHang2 + "/out.txt;",
         "dumps|target"},
        {"RootNotCreatedRefused", "fail", "", "out.txt", 1,
         "*|E:Create log dump dir failed, /" + kHang + "/", "dumps"},
        {"HungCommandStoppedNextRuns", "", "~/dumps", "hung out.txt", 1,
         "*|W:Command timed out after 1 s, stopped: *|Dump cmd: echo > out.txt" + kOut, "dumps"},
        {"FailedHandlerEndsTheEventsHandlers", "", "~/dumps", "out.txt bad next", 1,
         "*|Dump cmd: echo > bad|E:Dump handler failed, echo > bad|*" + kOut, "dumps"},
        // The daemon's own working directory is neither needed nor moved.
        {"LostWorkingDirStillDumpsInDumpDir", "lost", "~/dumps", "out.txt", 1, "*" + kOut, "dumps"},
        {"StormWithinIntervalSkipped", "", "~/dumps", "out.txt", 5,
         "*" + kOut + kSkip + kSkip + kSkip + kSkip, "dumps"},
};

class EventDumpRunTest : public EventDumpTest, public ::testing::WithParamInterface<RunRow> {};

TEST_P(EventDumpRunTest, Dump) {
    const auto& [label, rowStep, rowRoot, handlers, raised, logged, top] = GetParam();
    const std::string step = rowStep, hang = "sleep 600." + std::to_string(getpid());
    const std::string root = tarnd_test::replaceAll(rowRoot, "~", dir.path());
    service->mLogDumpPath = String8(root.c_str());
    android::tarnd::TarnDebugService::Event& event = service->mEvents.editTop() = makeEvent("hang");
    event.mInterval = 60;
    std::istringstream in(handlers);
    for (std::string name; in >> name;) {
        const std::string line = name == "hung" ? hang + " & " + hang : "echo > " + name;
        android::tarnd::TarnDebugService::Handler handler =
                makeHandler(name.c_str(), 0, line.c_str());
        std::tie(handler.mTimeoutSet, handler.mTimeout) = std::make_tuple(name == "hung", 1);
        event.mHandlers.add(handler);
    }
    mFailing = step == "fail" ? "mkdir -p -- ''" : "echo > bad";
    if (step == "link") {
        std::filesystem::create_directory("target");
        std::filesystem::create_directory_symlink(dir.file("target"), "dumps/" + kHang);
    }
    if (step == "lost") {
        std::filesystem::create_directory("gone");
        std::filesystem::current_path("gone");
        std::filesystem::remove(dir.file("gone"));
    }
    tarnd_host::ZelCapture zel;
    std::string text;
    for (int i = 0; i < raised; ++i) text += (i == 0 ? "" : "|") + dump("hang");
    EXPECT_TRUE(matches(logged, tarnd_test::replaceAll(text, dir.path(), "~"))) << text;
    const size_t dumped = logged.find("Filelist") != std::string::npos;
    EXPECT_EQ(tarnd_test::exists(root + "/" + (step == "link" ? kHang2 : kHang) + "/out.txt"),
              dumped == 1);
    EXPECT_TRUE(tarnd_test::listDir(dir.file("target")).empty());
    char cwd[4096] = {};
    ASSERT_GT(readlink("/proc/self/cwd", cwd, sizeof(cwd) - 1), 0);
    EXPECT_EQ(cwd, step == "lost" ? dir.file("gone") + " (deleted)" : dir.path());
    std::string entries;
    for (const std::string& entry : listDir(dir.path()))
        entries += (entries.empty() ? "" : "|") + entry;
    EXPECT_EQ(entries, top);
    EXPECT_TRUE(tarnd_test::processGone(hang));
    EXPECT_EQ(zel.calls().size(), dumped);
    EXPECT_EQ(service->mHistory.size(), dumped);
    EXPECT_EQ(service->mEvents[0].mDumpCount, static_cast<int>(dumped));
}
TARND_NAMED_ROWS(EventDumpRunTest, kRunRows);

// Every dump makes a directory of its own: five dumps within one second, the first name taken
// beforehand by a directory whose out.txt links elsewhere. What was planted is neither written,
// followed nor reported.
TEST_F(EventDumpTest, EveryDumpInADirectoryOfItsOwn) {
    const std::string planted = mDumps + "/" + kHang, victim = dir.file("victim");
    std::filesystem::create_directory(planted);
    tarnd_test::writeFile(victim, "kept");
    std::filesystem::create_symlink(victim, planted + "/out.txt");
    tarnd_host::ZelCapture zel;
    std::string text;
    for (int i = 0; i < 5; ++i) text += dump("hang") + "|";
    Lines made;
    for (int n = 2; n <= 6; ++n) {
        made.push_back("hang." + std::to_string(n) + kHang.substr(4));
        EXPECT_EQ(listDir(mDumps + "/" + made.back()), Lines{"out.txt"});
        EXPECT_THAT(text, HasSubstr(" exists, using " + made.back() + "|"));
    }
    made.push_back(kHang);
    EXPECT_EQ(listDir(mDumps), made);
    EXPECT_EQ(tarnd_test::readFile(victim), "kept");
    ASSERT_EQ(zel.calls().size(), 5u);
    for (const auto& call : zel.calls()) EXPECT_THAT(call.fileList, Not(HasSubstr(planted + "/")));
}

// Triggers that queue up while a slow dump runs give no second dump: the interval counts from the
// dump's end.
TEST_F(EventDumpTest, BurstDuringASlowDumpGivesOneDump) {
    service->mEvents.editTop() =
            makeEvent("hang", {makeHandler("s", 0, "sleep 2; echo > out.txt")});
    service->mEvents.editTop().mInterval = 1;
    std::string text;
    for (int i = 0; i < 4; ++i) text += dump("hang") + "|";
    EXPECT_EQ(service->mEvents[0].mDumpCount, 1);
    const std::string skip = "Dump of event hang skipped, last dump 0 s ago, interval 1 s|";
    EXPECT_TRUE(matches("*" + skip + "*" + skip + "*" + skip, text)) << text;
}

// A dump stays within the dump area's limit (2 MiB here): a single runaway file stops at it, many
// writers at once stop near it, and no later command runs. A full area first loses its oldest
// dumps, unless the dump would not be made anyway ("once": hang was dumped before).
TEST_F(EventDumpTest, DumpsStayWithinTheirSpace) {
    const std::string yes = "yes hunt > big",
                      many = "for f in 1 2 3 4; do yes hunt > f$f & done; wait";
    // Dumps before (name:MiB), hang's policy, its first command; the log's end; the entries after.
    const std::tuple<const char*, const char*, std::string, std::string, Lines> rows[] = {
            {"",
             "every",
             yes,
             "W:Dump of event hang reached its space limit, stopped: " + yes,
             {kHang}},
            {"",
             "every",
             many,
             "W:Dump of event hang reached its space limit, stopped: " + many,
             {kHang}},
            {"old_20190101_000000/a:1.5 new_20200101_000000/b:1.5",
             "every",
             "echo > x",
             "Remove cmd: rm -fr ~/dumps/old_20190101_000000|*|Filelist: *",
             {kHang, "new_20200101_000000"}},
            {"old_20190101_000000/a:1.5 new_20200101_000000/b:1.5",
             "once",
             "echo > x",
             "W:Log size is too large, MaxLogSize: 2MB, CurrentLogSize: 3MB",
             {"new_20200101_000000", "old_20190101_000000"}},
    };
    for (const auto& [files, policy, command, logged, after] : rows) {
        SCOPED_TRACE(command + " " + files);
        std::filesystem::remove_all(mDumps);
        std::istringstream in(files);
        for (std::string f; in >> f;)
            makeFile(mDumps + "/" + f.substr(0, f.find(':')), std::stod(f.substr(f.find(':') + 1)));
        service->mMaxDumpSpace = 2;
        auto& event = service->mEvents.editTop() = makeEvent(
                "hang", {makeHandler("a", 0, command.c_str()), makeHandler("b", 0, "echo > b")});
        std::tie(event.mPolicy, event.mDumpCount) =
                std::make_tuple(policy == std::string("once") ? 0 : 1, policy[0] == 'o' ? 1 : 0);
        const std::string text = tarnd_test::replaceAll(dump("hang"), dir.path(), "~");
        EXPECT_TRUE(matches("*" + logged + "*", text)) << text;
        EXPECT_EQ(listDir(mDumps), after);
        if (command == "echo > x") continue;
        int64_t written = 0;
        for (const std::string& f : listDir(mDumps + "/" + kHang)) {
            const auto size = std::filesystem::file_size(mDumps + "/" + kHang + "/" + f);
            EXPECT_LE(size, 2u << 20) << f;  // no file beyond the bound
            written += static_cast<int64_t>(size);
        }
        // One file stops exactly at the limit; four at once by the bound of each, at most three
        // limits more, well before the next look of the watcher.
        EXPECT_GE(written, 2 << 20);
        EXPECT_LE(written, command == yes ? 2 << 20 : 8 << 20);
        EXPECT_FALSE(tarnd_test::exists(mDumps + "/" + kHang + "/b"));
        EXPECT_TRUE(tarnd_test::processGone("yes hunt"));
    }
}

}  // namespace
