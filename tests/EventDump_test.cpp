// Sparse files of several GiB on 32-bit builds too.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tarnd_host/ZelRecorder.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "TestSupport.h"

using android::String8;
using tarnd_host::LogCapture;
using tarnd_test::listDir, tarnd_test::logText, tarnd_test::makeEvent, tarnd_test::makeHandler;
using ::testing::EndsWith, ::testing::HasSubstr, ::testing::StartsWith;
using Lines = std::vector<std::string>;

namespace {

constexpr int64_t kMiB = 1 << 20;
const std::string kHang = "hang_20210305_070809";  // the dump directory at the fixture's clock
const std::string kNoLogs = "free=*MB, total log size=0MB\n|";  // the first line over an empty root

// Each test works in its own directory, so that a file written outside the dump dir shows up, with
// an event hang whose handler writes out.txt. The runner fails the line mFailing as a shell that
// cannot start, without running it.
class EventDumpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mService->mRunCommand = [this](const android::tarnd::ShellCommand& command) {
            return command.line == mFailing ? -1 : android::tarnd::runShellCommand(command);
        };
        std::filesystem::create_directory(mDumps);
        mService->mLogDumpPath = String8(mDumps.c_str());
        mService->mMinFreeSpace = 0;
        mService->mTime = tarnd_test::fixedTime;
        tarnd_test::gNow = 1614928089;  // 2021-03-05 07:08:09 UTC
        std::filesystem::current_path(mRoot.path());
        mService->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo > out.txt")}));
    }
    void TearDown() override { std::filesystem::current_path(mSaved); }

    // A file of the size (sparse), with the directories on its way.
    void makeFile(const std::string& path, int64_t size) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        tarnd_test::writeFile(path, "");
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0) << path;
    }
    // What one dump logs, as logText shows it.
    std::string dump(const char* name) {
        LogCapture log;
        mService->dumpEvent(name);
        return logText(log);
    }

    std::filesystem::path mSaved = std::filesystem::current_path();
    tarnd_test::TempDir mRoot;
    std::string mDumps = mRoot.file("dumps"), mFailing;
    android::sp<android::TarnDebugService> mService =
            tarnd_test::makeService(mRoot.file("missing.conf"), mRoot.path());
};

// The worked example of the configuration reference, with harmless commands for logcat and dmesg:
// hang is dumped once into its own directory, then refused.
TEST_F(EventDumpTest, WorkedExampleDumpedOnceThenRefused) {
    std::string root = mRoot.file("debuglogs"), config = mRoot.file("tarndebug.conf");
    std::string text = tarnd_test::workedExampleConfig(root);
    text.replace(text.find("dmesg > dmesg.txt"), 17, "echo dmesg-output > dmesg.txt; mkdir sub");
    text.replace(text.find("logcat -d -f logcat.txt"), 23, "echo logcat-output > logcat.txt");
    tarnd_test::writeFile(config, text);
    mService->mEvents.clear();  // the example's own hang only
    ASSERT_EQ(mService->parseConfig(config.c_str()), android::NO_ERROR);
    std::vector<int> fds = tarnd_test::openFds();
    LogCapture log;
    tarnd_host::ZelCapture zel;
    mService->dumpEvent("hang");

    std::string path = root + "/" + kHang + "/";
    EXPECT_EQ(listDir(path), (Lines{"dmesg.txt", "logcat.txt", "sub"}));
    EXPECT_EQ(listDir(mRoot.path()), (Lines{"debuglogs", "dumps", "tarndebug.conf"}));
    EXPECT_EQ(std::filesystem::current_path().string(), mRoot.path());
    EXPECT_EQ(tarnd_test::openFds(), fds);
    ASSERT_EQ(zel.calls().size(), 1u);
    tarnd_host::ZelCall call = zel.calls()[0];
    std::string dmesg = path + "dmesg.txt;", logcat = path + "logcat.txt;";  // sub is left out
    EXPECT_TRUE(call.fileList == dmesg + logcat || call.fileList == logcat + dmesg);
    EXPECT_EQ(
            std::tie(call.type, call.module, call.event, call.args, call.flags),
            std::make_tuple(2, std::string("TARND"), std::string("hang"), std::vector<int>(7), 0));
    EXPECT_EQ(logText(log), kNoLogs + "The log level is 1|Dump event hang to " + path +
                                    "|Global handler dump start|Dump cmd: echo logcat-output > "
                                    "logcat.txt|Global handler dump finish|Dump cmd: echo "
                                    "dmesg-output > dmesg.txt; mkdir sub|Filelist: " +
                                    call.fileList);
    EXPECT_EQ(mService->mMonitors[0].mEvents[0].mDumpCount, 0);  // the copies keep their own

    tarnd_test::gNow += 3600;
    EXPECT_EQ(dump("hang"),
              kNoLogs + "Dump policy for event hang is ONCE, we already dumpped once");
    EXPECT_EQ(listDir(root), Lines{kHang});
    EXPECT_EQ(zel.calls().size(), 1u);
    ASSERT_EQ(mService->mHistory.size(), 1u);
    EXPECT_STREQ(mService->mHistory[0].mEventName.string(), "hang");
    EXPECT_STREQ(mService->mHistory[0].mDumpDirName.string(), kHang.c_str());
}

// Monitors ("+" enabled, "-" not; the level; "h" holding the event, "o" another) and the level.
struct LevelCase {
    const char *label, *monitors;
    int32_t level;
};
const LevelCase kLevels[] = {{"NoMonitor", "", 0},
                             {"Highest", "+3h +7h +5h", 7},
                             {"OnlyEnabledHolders", "-9h +9o +2h", 2},
                             {"NegativeIsZero", "+-5h", 0}};
class LogLevelTest : public EventDumpTest, public ::testing::WithParamInterface<LevelCase> {};

// The highest level of the enabled monitors holding the event: handlers at it run, above do not.
// The last event of the name is taken (not the fixture's), and dumped every time, twice in one
// second into one directory.
TEST_P(LogLevelTest, HighestEnabledMonitorLevel) {
    const LevelCase& c = GetParam();
    mService->mGlobalHandlers.add(makeHandler("g", c.level, "echo > g.txt"));
    mService->mGlobalHandlers.add(makeHandler("g+", c.level + 1, "echo > g+.txt"));
    auto event = makeEvent("hang", {makeHandler("e", c.level, "echo > e.txt"),
                                    makeHandler("e+", c.level + 1, "echo > e+.txt")});
    mService->mEvents.add(event);
    std::istringstream in(c.monitors);
    for (std::string m; in >> m;) {
        android::TarnDebugService::Monitor monitor(nullptr, String8("m"));
        std::tie(monitor.mEnabled, monitor.mLevel) = std::make_tuple(m[0] == '+', std::stoi(&m[1]));
        monitor.mEvents.add(m.back() == 'h' ? event : makeEvent("other"));
        mService->mMonitors.add(monitor);
    }
    for (int i = 0; i < 2; ++i)
        EXPECT_THAT(dump("hang"), HasSubstr("|The log level is " + std::to_string(c.level) + "|"));
    EXPECT_EQ(listDir(mDumps + "/" + kHang), (Lines{"e.txt", "g.txt"}));
    EXPECT_EQ(mService->mEvents[1].mDumpCount, 2);
}

INSTANTIATE_TEST_SUITE_P(Rows, LogLevelTest, ::testing::ValuesIn(kLevels),
                         [](const auto& info) { return std::string(info.param.label); });

enum Outcome { kDumped, kTooLarge, kNoSpace, kInvalid, kUnmeasured };

// Files under the dump root ("name:MiB"), the limits, the free-space path ("": the test's
// directory; /proc has no free space), the name dumped, the log size it shows and the outcome.
struct CheckCase {
    const char *label, *files;
    int32_t maxMB, minFreeMB;
    const char *data, *name;
    int logMB;
    Outcome outcome;
};
const CheckCase kChecks[] = {
        {"SizeRoundedDownUnderLimit", "a:1.5 b:0.7", 3, 0, "", "hang", 2, kDumped},
        {"SizeAtLimitTooLarge", "a:1.5 d/e/b:0.7", 2, 0, "", "hang", 2, kTooLarge},
        {"ThreeGiB", "old_x/big:3072", 1024, 0, "", "hang", 3072, kTooLarge},
        {"OverFourGiB", "big:4097", 1024, 0, "", "hang", 4097, kTooLarge},
        {"SixGiBUnderLimit", "a:2048 b:2048 c:2048", 6145, 0, "", "hang", 6144, kDumped},
        {"NegativeLimitIsHuge", "big:3072", -1, 0, "", "hang", 3072, kDumped},
        {"SpaceCheckedBeforeSize", "", 0, INT32_MAX, "", "hang", 0, kNoSpace},
        {"NegativeFreeFloor", "", 1024, -1, "", "hang", 0, kNoSpace},
        {"FreeSpaceAtFloorGoesOn", "", 1024, 0, "/proc", "hang", 0, kDumped},
        {"FreeSpaceBelowFloorRefused", "", 1024, 1, "/proc", "hang", 0, kNoSpace},
        {"UnmeasuredFreeSpaceRefused", "", 1024, 0, "no-data", "hang", 0, kUnmeasured},
        {"NameIsCaseSensitive", "a/b/c:1", 1024, 0, "", "HANG", 1, kInvalid},
        {"PrefixIsNoName", "", 1024, 0, "", "han", 0, kInvalid},
};
class CheckTest : public EventDumpTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckTest, SizeFreeSpaceAndName) {
    const CheckCase& c = GetParam();
    std::istringstream files(c.files);
    for (std::string file; files >> file;) {
        size_t colon = file.find(':');
        makeFile(mDumps + "/" + file.substr(0, colon),
                 static_cast<int64_t>(std::stod(file.substr(colon + 1)) * kMiB));
    }
    std::tie(mService->mMaxDumpSpace, mService->mMinFreeSpace) = std::tie(c.maxMB, c.minFreeMB);
    if (*c.data != '\0') mService->mDataPath = c.data;
    const std::string mb = std::to_string(c.logMB) + "MB", dir = mDumps + "/" + kHang + "/";
    const std::string head = "free=*MB, total log size=" + mb + "\n|";
    const std::string expected[] = {
            head + "The log level is 0|Dump event hang to " + dir +
                    "|Global handler dump start|Global handler dump "
                    "finish|Dump cmd: echo > out.txt|Filelist: " +
                    dir + "out.txt;",
            head + "W:Log size is too large, MaxLogSize: " + std::to_string(c.maxMB) +
                    "MB, CurrentLogSize: " + mb,
            head + "W:No enough space, MinFreeSpace: " + std::to_string(c.minFreeMB) +
                    "MB, CurrentFreeSpace: *MB",
            head + "W:Invalid event received, " + c.name,
            "E:Cannot get free space of no-data: No such file or "
            "directory, dump of hang refused"};
    EXPECT_EQ(dump(c.name), expected[c.outcome]);
}

INSTANTIATE_TEST_SUITE_P(Rows, CheckTest, ::testing::ValuesIn(kChecks),
                         [](const auto& info) { return std::string(info.param.label); });

// Links count with their target's size and are never descended; a dangling link and entries that
// cannot be opened or examined (not so for root) add nothing.
TEST_F(EventDumpTest, LinksAndUnreadableEntries) {
    makeFile(mRoot.file("o/two"), 2 * kMiB);
    makeFile(mRoot.file("o/dir/five"), 5 * kMiB);
    for (const std::string name : {"two", "dir", "none"})
        std::filesystem::create_symlink(mRoot.file("o/" + name), mDumps + "/" + name);
    makeFile(mDumps + "/closed/big", 5 * kMiB);
    makeFile(mDumps + "/nosearch/big", 5 * kMiB);
    ASSERT_EQ(chmod((mDumps + "/closed").c_str(), 0) + chmod((mDumps + "/nosearch").c_str(), 0400),
              0);
    bool root = tarnd_test::isRoot();
    EXPECT_THAT(dump("hang"),
                StartsWith(std::string(root ? "" : "E:cannot open directory: closed\n |") +
                           "free=*MB, total log size=" + (root ? "12" : "2") + "MB\n|"));
}

// A missing dump root counts as size 0 and is created, whole despite blanks and shell characters,
// and as a name even when it begins with "-"; so is the parser's.
TEST_F(EventDumpTest, MissingHostileDumpRootCreatedWhole) {
    tarnd_test::writeFile("dash.conf", "global.log_dump_path=-name\n");
    ASSERT_EQ(mService->parseConfig("dash.conf"), android::NO_ERROR);
    const std::string hostile = "-dump dir; touch pwned $(touch pwned2)", root = hostile + "/it's";
    mService->mLogDumpPath = String8(root.c_str());
    EXPECT_THAT(dump("hang"), StartsWith("E:cannot open directory: " + root + "\n |" + kNoLogs));
    EXPECT_EQ(listDir(root + "/" + kHang), Lines{"out.txt"});
    EXPECT_EQ(listDir(mRoot.path()), (Lines{hostile, "-name", "dash.conf", "dumps"}));
}

// Only a real directory takes a dump: a link planted under the foreseeable name (to a directory
// or to nothing), a dump root that is a plain file, or none that can be made (an empty root
// would put it at "/") refuses it, uncounted, and nothing is written anywhere.
TEST_F(EventDumpTest, DumpRefusedWithoutRealDirectory) {
    makeFile(mRoot.file("target/own.txt"), 1);
    makeFile(mRoot.file("plain"), 0);
    const std::string link = mDumps + "/" + kHang;
    tarnd_host::ZelCapture zel;
    // The dump root and what a link under the dump's name points to.
    for (const auto& [root, linkTo] :
         {std::make_pair(mDumps, mRoot.file("target")), std::make_pair(mDumps, mRoot.file("none")),
          std::make_pair(mRoot.file("plain"), std::string()),
          std::make_pair(std::string(), std::string())}) {
        SCOPED_TRACE(root + " " + linkTo);
        if (!linkTo.empty()) std::filesystem::create_symlink(linkTo, link);
        mService->mLogDumpPath = String8(root.c_str());
        mFailing = root.empty() ? "mkdir -p -- '/" + kHang + "/'" : "";
        EXPECT_THAT(dump("hang"),
                    EndsWith(root.empty() ? "|E:Create log dump dir failed, /" + kHang + "/"
                                          : "|E:Dump directory " + root + "/" + kHang +
                                                    "/ is not a directory, dump refused"));
        std::filesystem::remove(link);
    }
    EXPECT_EQ(listDir(mRoot.file("target")), Lines{"own.txt"});
    EXPECT_EQ(listDir(mRoot.path()), (Lines{"dumps", "plain", "target"}));
    EXPECT_EQ(listDir(mDumps), Lines{});
    EXPECT_TRUE(zel.calls().empty());
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 0);
    EXPECT_TRUE(mService->mHistory.isEmpty());
}

// A dump command over its limit is stopped with what it started and the dump goes on; a handler
// that fails ends the event's handlers there; the dump counts and reports all the same, in the
// dump dir even when the working directory cannot be saved (the daemon then ends at "/"). A storm
// within an event's interval makes one dump and one skip line per further trigger.
TEST_F(EventDumpTest, HandlerTroubleOrLostWorkingDirEndsNoDumpAndStormSkipped) {
    const std::string hang = "sleep 600." + std::to_string(getpid());
    auto hung = makeHandler("hung", 0, (hang + " & " + hang).c_str());
    std::tie(hung.mTimeout, hung.mTimeoutSet, mFailing) = std::make_tuple(1, true, "echo > bad");
    mService->mEvents.add(makeEvent(
            "hang", {hung, makeHandler("after", 0, "echo > after"),
                     makeHandler("bad", 0, "echo > bad"), makeHandler("next", 0, "echo > next")}));
    mService->mEvents.add(makeEvent("storm", {makeHandler("s", 0, "echo > s.txt")}));
    mService->mEvents.editTop().mInterval = 60;
    std::filesystem::create_directory("gone");
    std::filesystem::current_path("gone");
    std::filesystem::remove(mRoot.file("gone"));
    std::string text = dump("hang");
    for (int i = 0; i < 5; ++i) text += "|" + dump("storm");
    EXPECT_THAT(text, HasSubstr("|E:Failed to save current dir: No such file or directory|"));
    EXPECT_THAT(text, HasSubstr("|W:Command timed out after 1 s, stopped: " + hang + " & " + hang));
    EXPECT_THAT(text, HasSubstr("|E:Dump handler failed, echo > bad|"));
    EXPECT_THAT(text, HasSubstr("|Filelist: " + mDumps + "/" + kHang + "/after;|"));
    const std::string skip =
            "|" + kNoLogs + "Dump of event storm skipped, last dump N s ago, interval 60 s";
    EXPECT_THAT(std::regex_replace(text, std::regex("[0-9]+ s ago"), "N s ago"),
                EndsWith("storm_20210305_070809/s.txt;" + skip + skip + skip + skip));
    EXPECT_EQ(std::filesystem::current_path().string(), "/");
    EXPECT_FALSE(tarnd_test::processRunning(hang));
    EXPECT_EQ(mService->mEvents[1].mDumpCount + mService->mEvents[2].mDumpCount, 2);
    EXPECT_EQ(mService->reportFileList("hang", "none/"), android::INVALID_OPERATION);
}

}  // namespace
