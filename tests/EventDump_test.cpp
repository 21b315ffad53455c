// Sparse files of several GiB on 32-bit builds too.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include <android/log.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <tarnd_host/LogStore.h>
#include <tarnd_host/ZelRecorder.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::String8;
using tarnd_host::LogCapture;
using tarnd_test::listDir;
using Handler = android::TarnDebugService::Handler;
using Event = android::TarnDebugService::Event;
using Lines = std::vector<std::string>;

namespace {

// Command lines that fail as a shell that cannot start, without running; "*" fails all.
std::set<std::string> gFailing;

int failListed(const android::tarnd::ShellCommand& command) {
    if (gFailing.count(command.line) != 0 || gFailing.count("*") != 0) return -1;
    return android::tarnd::runShellCommand(command);
}

using tarnd_test::fixedTime;
using tarnd_test::logText;
using tarnd_test::makeEvent;
using tarnd_test::makeHandler;

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kGiB = kMiB << 10;
const std::string kHang = "hang_20210305_070809";  // the dump directory at the fixture's clock
std::string currentDir() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof(buf)) != nullptr ? buf : "";
}

// Each test works in its own directory, so that a file written outside the dump dir shows up.
class EventDumpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mService = tarnd_test::makeService(mRoot.file("missing.conf"), mRoot.path());
        mService->mRunCommand = failListed;
        ASSERT_EQ(mkdir(mDumps.c_str(), 0755), 0);
        mService->mLogDumpPath = String8(mDumps.c_str());
        mService->mMinFreeSpace = 0;
        mService->mTime = fixedTime;
        tarnd_test::gNow = 1614928089;  // 2021-03-05 07:08:09 UTC
        ASSERT_EQ(chdir(mRoot.path().c_str()), 0);
    }
    void TearDown() override {
        gFailing.clear();
        for (const std::string& path : mSparseFiles) unlink(path.c_str());  // large-file unlink
        ASSERT_EQ(chdir(mSavedDir.c_str()), 0);
    }

    // With the directories on its way.
    void makeSparseFile(const std::string& path, int64_t size) {
        for (size_t s = path.find('/', 1); s != std::string::npos; s = path.find('/', s + 1))
            mkdir(path.substr(0, s).c_str(), 0755);
        tarnd_test::writeFile(path, "");
        mSparseFiles.push_back(path);
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0) << path;
    }
    void addHang() {
        mService->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo > out.txt")}));
    }

    tarnd_test::TempDir mRoot;
    std::string mDumps = mRoot.file("dumps"), mSavedDir = currentDir();
    android::sp<android::TarnDebugService> mService;
    std::vector<std::string> mSparseFiles;
};

// The worked example of the configuration reference, with harmless commands for logcat and dmesg:
// hang is dumped once into its own directory, then refused.
TEST_F(EventDumpTest, WorkedExampleDumpedOnceThenRefused) {
    std::string root = mRoot.file("debuglogs"), config = mRoot.file("tarndebug.conf");
    std::string text = tarnd_test::workedExampleConfig(root);
    text.replace(text.find("dmesg > dmesg.txt"), 17, "echo dmesg-output > dmesg.txt; mkdir sub");
    text.replace(text.find("logcat -d -f logcat.txt"), 23, "echo logcat-output > logcat.txt");
    tarnd_test::writeFile(config, text);
    ASSERT_EQ(mService->parseConfig(config.c_str()), android::NO_ERROR);
    std::vector<int> fds = tarnd_test::openFds();
    LogCapture log;
    tarnd_host::ZelCapture zel;
    mService->dumpEvent("hang");

    std::string path = root + "/" + kHang + "/";
    EXPECT_EQ(listDir(path), (Lines{"dmesg.txt", "logcat.txt", "sub"}));
    EXPECT_EQ(tarnd_test::readFile(path + "dmesg.txt") + tarnd_test::readFile(path + "logcat.txt"),
              "dmesg-output\nlogcat-output\n");
    EXPECT_EQ(listDir(mRoot.path()), (Lines{"debuglogs", "dumps", "tarndebug.conf"}));
    EXPECT_EQ(currentDir(), mRoot.path());
    EXPECT_EQ(tarnd_test::openFds(), fds);
    ASSERT_EQ(zel.calls().size(), 1u);
    tarnd_host::ZelCall call = zel.calls()[0];
    std::string dmesg = path + "dmesg.txt;", logcat = path + "logcat.txt;";  // sub is left out
    EXPECT_TRUE(call.fileList == dmesg + logcat || call.fileList == logcat + dmesg);
    EXPECT_EQ(
            std::tie(call.type, call.module, call.event, call.args, call.flags),
            std::make_tuple(2, std::string("TARND"), std::string("hang"), std::vector<int>(7), 0));
    EXPECT_EQ(logText(log),
              "free=*MB, total log size=0MB\n|The log level is 1|Dump event hang to " + path +
                      "|Global handler dump start|Dump cmd: echo logcat-output > logcat.txt|"
                      "Global handler dump finish|Dump cmd: echo dmesg-output > dmesg.txt; "
                      "mkdir sub|Filelist: " +
                      call.fileList);
    EXPECT_EQ(mService->mMonitors[0].mEvents[0].mDumpCount, 0);  // the copies keep their own

    LogCapture second;
    tarnd_test::gNow += 3600;
    mService->dumpEvent("hang");
    EXPECT_EQ(logText(second),
              "free=*MB, total log size=0MB\n|"
              "Dump policy for event hang is ONCE, we already dumpped once");
    EXPECT_EQ(listDir(root), Lines{kHang});
    EXPECT_EQ(zel.calls().size(), 1u);
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 1);
    ASSERT_EQ(mService->mHistory.size(), 1u);
    EXPECT_STREQ(mService->mHistory[0].mEventName.string(), "hang");
    EXPECT_EQ(mService->mHistory[0].mDumpDirName, String8(kHang.c_str()));
}

// The last event of the name is taken and dumped every time, twice in one second into one
// directory; a dump without files reports an empty list.
TEST_F(EventDumpTest, LastOfNameDumpedEveryTime) {
    mService->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo > first.txt")}));
    mService->mEvents.add(makeEvent("hang", {}));
    LogCapture log;
    mService->dumpEvent("hang");
    mService->dumpEvent("hang");
    EXPECT_EQ(log.messages().back(), "Filelist: ");
    EXPECT_EQ(listDir(mDumps), Lines{kHang});
    EXPECT_EQ(listDir(mDumps + "/" + kHang), Lines{});
    EXPECT_EQ(mService->mEvents[1].mDumpCount, 2);
    EXPECT_EQ(mService->mHistory.size(), 2u);
}

struct LevelCase {
    const char* label;
    std::vector<std::tuple<bool, int32_t, bool>> monitors;  // enabled, level, holds the event
    int32_t level;
};

class LogLevelTest : public EventDumpTest, public ::testing::WithParamInterface<LevelCase> {};

// The highest level of the enabled monitors holding the event: handlers at it run, above do not.
TEST_P(LogLevelTest, HighestEnabledMonitorLevel) {
    const LevelCase& c = GetParam();
    mService->mGlobalHandlers.add(makeHandler("g", c.level, "echo > g.txt"));
    mService->mGlobalHandlers.add(makeHandler("g+", c.level + 1, "echo > g+.txt"));
    Event event = makeEvent("hang", {makeHandler("e", c.level, "echo > e.txt"),
                                     makeHandler("e+", c.level + 1, "echo > e+.txt")});
    mService->mEvents.add(event);
    for (const auto& m : c.monitors) {
        android::TarnDebugService::Monitor monitor(nullptr, String8("m"));
        std::tie(monitor.mEnabled, monitor.mLevel, std::ignore) = m;
        monitor.mEvents.add(std::get<2>(m) ? event : makeEvent("other", {}));
        mService->mMonitors.add(monitor);
    }
    LogCapture log;
    mService->dumpEvent("hang");
    EXPECT_TRUE(log.contains("The log level is " + std::to_string(c.level)));
    EXPECT_EQ(listDir(mDumps + "/" + kHang), (Lines{"e.txt", "g.txt"}));
}

INSTANTIATE_TEST_SUITE_P(
        Rows, LogLevelTest,
        ::testing::Values(LevelCase{"NoMonitor", {}, 0},
                          LevelCase{"Highest", {{true, 3, true}, {true, 7, true}}, 7},
                          LevelCase{"OnlyHolders", {{true, 3, true}, {true, 9, false}}, 3},
                          LevelCase{"OnlyEnabled", {{false, 9, true}, {true, 2, true}}, 2},
                          LevelCase{"NegativeIsZero", {{true, -5, true}}, 0}),
        [](const auto& info) { return std::string(info.param.label); });

enum Outcome { kDumped, kTooLarge, kNoSpace, kInvalid };

// Files under the dump root (path, bytes), the limits, the name dumped, the log size and outcome.
struct CheckCase {
    const char* label;
    std::vector<std::pair<std::string, int64_t>> files;
    int32_t maxMB, minFreeMB;
    const char* name;
    int logMB;
    Outcome outcome;
};

const CheckCase kChecks[] = {
        {"EmptyAreaOverZeroLimit", {}, 0, 0, "hang", 0, kTooLarge},
        {"SizeRoundedDownUnderLimit",
         {{"a", kMiB * 3 / 2}, {"b", kMiB * 7 / 10}},
         3,
         0,
         "hang",
         2,
         kDumped},
        {"SizeAtLimit", {{"a", kMiB * 3 / 2}, {"b", kMiB * 7 / 10}}, 2, 0, "hang", 2, kTooLarge},
        {"NestedFilesCount",
         {{"a", kMiB}, {"d/b", kMiB}, {"d/e/f/c", kMiB}},
         4,
         0,
         "hang",
         3,
         kDumped},
        {"ThreeGiB", {{"old_x/big", 3 * kGiB}}, 1024, 0, "hang", 3072, kTooLarge},
        {"OverFourGiB", {{"big", 4 * kGiB + kMiB}}, 1024, 0, "hang", 4097, kTooLarge},
        {"SixGiBUnderLimit",
         {{"a", 2 * kGiB}, {"b", 2 * kGiB}, {"c", 2 * kGiB}},
         6145,
         0,
         "hang",
         6144,
         kDumped},
        {"NegativeLimitIsHuge",
         {{"big", 3 * kGiB}},
         -1,
         0,
         "hang",
         3072,
         kDumped},  // a negative limit is huge
        {"SpaceCheckedBeforeSize", {}, 0, INT32_MAX, "hang", 0, kNoSpace},  // checked before the
                                                                            // size
        {"NegativeFreeFloor", {}, 1024, -1, "hang", 0, kNoSpace},
        {"NameIsCaseSensitive", {{"a/b/c", kMiB}}, 1024, 0, "HANG", 1, kInvalid},  // scanned all
                                                                                   // the same
        {"PrefixIsNoName", {}, 1024, 0, "han", 0, kInvalid},
        {"EmptyName", {}, 1024, 0, "", 0, kInvalid},
};

class CheckTest : public EventDumpTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckTest, SizeFreeSpaceAndName) {
    const CheckCase& c = GetParam();
    for (const auto& file : c.files) makeSparseFile(mDumps + "/" + file.first, file.second);
    mService->mMaxDumpSpace = c.maxMB;
    mService->mMinFreeSpace = c.minFreeMB;
    mService->mEvents.add(makeEvent("hang", {}));
    LogCapture log;
    mService->dumpEvent(c.name);
    std::string max = std::to_string(c.maxMB), mb = std::to_string(c.logMB);
    std::string expected =
            "free=*MB, total log size=" + mb + "MB\n|" +
            (c.outcome == kDumped     ? "The log level is 0|"
             : c.outcome == kTooLarge ? "W:Log size is too large, MaxLogSize: " + max +
                                                "MB, CurrentLogSize: " + mb + "MB"
             : c.outcome == kNoSpace
                     ? "W:No enough space, MinFreeSpace: " + std::to_string(c.minFreeMB) +
                               "MB, CurrentFreeSpace: *MB"
                     : "W:Invalid event received, " + std::string(c.name));
    std::string text = logText(log);
    EXPECT_EQ(c.outcome == kDumped ? text.substr(0, expected.size()) : text, expected);
    EXPECT_EQ(tarnd_test::exists(mDumps + "/" + kHang), c.outcome == kDumped);
}

INSTANTIATE_TEST_SUITE_P(Rows, CheckTest, ::testing::ValuesIn(kChecks),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(EventDumpTest, FreeSpaceAtLimitGoesOnBelowRefused) {
    struct statfs fs;
    if (statfs("/proc", &fs) != 0 || fs.f_bfree != 0) GTEST_SKIP() << "no /proc with 0 free";
    mService->mDataPath = "/proc";
    addHang();
    mService->dumpEvent("hang");  // free 0 equal to the limit 0
    mService->mMinFreeSpace = 1;
    LogCapture below;
    mService->dumpEvent("hang");
    EXPECT_EQ(below.messages(),
              (Lines{"free=0MB, total log size=0MB\n",
                     "No enough space, MinFreeSpace: 1MB, CurrentFreeSpace: 0MB"}));
    EXPECT_EQ(mService->mHistory.size(), 1u);
}

// Free space that cannot be measured is not free: one ERROR per dump, refused before anything.
TEST_F(EventDumpTest, FailedStatfsRefusesDump) {
    std::string missing = mRoot.file("no-data");
    mService->mDataPath = missing.c_str();
    addHang();
    LogCapture log;
    mService->dumpEvent("hang");
    mService->dumpEvent("hang");
    std::string refusal = "E:Cannot get free space of " + missing +
                          ": No such file or directory, dump of hang refused";
    EXPECT_EQ(logText(log), refusal + "|" + refusal);
    EXPECT_EQ(listDir(mDumps), Lines{});
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 0);
}

// Links count with their target's size and are never descended; a dangling link and entries that
// cannot be read (not so for root) add nothing.
TEST_F(EventDumpTest, LinksAndUnreadableEntries) {
    tarnd_test::TempDir outside;
    makeSparseFile(outside.file("two"), 2 * kMiB);
    makeSparseFile(outside.file("dir/five"), 5 * kMiB);
    for (const char* name : {"two", "dir", "none"})
        ASSERT_EQ(symlink(outside.file(name).c_str(), (mDumps + "/" + name).c_str()), 0);
    ASSERT_EQ(mkdir((mDumps + "/closed").c_str(), 0), 0);
    makeSparseFile(mDumps + "/nosearch/big", 5 * kMiB);
    ASSERT_EQ(chmod((mDumps + "/nosearch").c_str(), 0400), 0);  // names listed, lstat fails
    addHang();
    LogCapture log;
    mService->dumpEvent("hang");
    bool root = tarnd_test::isRoot();  // root reads and searches every directory
    EXPECT_THAT(
            logText(log),
            ::testing::StartsWith(std::string(root ? "" : "E:cannot open directory: closed\n |") +
                                  "free=*MB, total log size=" + (root ? "7" : "2") + "MB\n|"));
}

// A missing dump root counts as size 0 and is created, whole despite blanks and shell characters.
TEST_F(EventDumpTest, MissingHostileDumpRootCreatedWhole) {
    const char* hostile = "dump dir; touch pwned $(touch pwned2)";
    std::string root = mRoot.file(hostile) + "/it's";
    mService->mLogDumpPath = String8(root.c_str());
    addHang();
    LogCapture log;
    mService->dumpEvent("hang");
    EXPECT_THAT(logText(log),
                ::testing::StartsWith("E:cannot open directory: " + root +
                                      "\n |free=*MB, total log size=0MB\n|The log level is 0|"));
    EXPECT_EQ(listDir(root + "/" + kHang), Lines{"out.txt"});
    EXPECT_EQ(listDir(mRoot.path()), (Lines{hostile, "dumps"}));
}

// Without a dump root the directory would be made at "/": the seam fails every line instead.
TEST_F(EventDumpTest, EmptyDumpRootAndFailedMkdir) {
    mService->mLogDumpPath = String8();
    addHang();
    gFailing = {"*"};
    LogCapture log;
    mService->dumpEvent("hang");
    EXPECT_EQ(logText(log),
              "E:cannot open directory: \n |free=*MB, total log size=0MB\n|The log level is 0|"
              "Dump event hang to /" +
                      kHang + "/|E:Create log dump dir failed, /" + kHang + "/");
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 0);
    EXPECT_TRUE(mService->mHistory.isEmpty());
}

// A handler that fails ends the event's handlers there; the dump counts all the same.
TEST_F(EventDumpTest, FailedHandlerStillCounts) {
    mService->mGlobalHandlers.add(makeHandler("g", 0, "echo > g.txt"));
    mService->mEvents.add(makeEvent("hang", {makeHandler("bad", 0, "echo > bad.txt"),
                                             makeHandler("next", 0, "echo > next.txt")}));
    gFailing = {"echo > bad.txt"};
    LogCapture log;
    mService->dumpEvent("hang");
    EXPECT_TRUE(log.contains("Dump handler failed, echo > bad.txt"));
    EXPECT_EQ(listDir(mDumps + "/" + kHang), Lines{"g.txt"});
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 1);
    EXPECT_EQ(mService->mHistory.size(), 1u);
    std::string missing = mRoot.file("none") + "/";
    EXPECT_EQ(mService->reportFileList("hang", missing.c_str()), android::INVALID_OPERATION);
}

// Only a real directory takes a dump: a link planted under the foreseeable name (to a directory
// or to nothing) or a dump root that is a plain file refuses it, uncounted, and nothing is
// written anywhere.
TEST_F(EventDumpTest, NonDirectoryUnderDumpNameRefused) {
    tarnd_test::TempDir target;
    tarnd_test::writeFile(target.file("own.txt"), "x");
    const std::string plain = mRoot.file("plain"), link = mDumps + "/" + kHang;
    tarnd_test::writeFile(plain, "");
    const std::pair<std::string, std::string> rows[] = {
            {mDumps, target.path()}, {mDumps, target.file("none")}, {plain, ""}};
    addHang();
    tarnd_host::ZelCapture zel;
    for (const auto& [root, linkTo] : rows) {
        ASSERT_TRUE(linkTo.empty() || symlink(linkTo.c_str(), link.c_str()) == 0);
        mService->mLogDumpPath = String8(root.c_str());
        LogCapture log;
        mService->dumpEvent("hang");
        EXPECT_EQ(log.messages().back(),
                  "Dump directory " + root + "/" + kHang + "/ is not a directory, dump refused");
        EXPECT_EQ(log.lines().back().prio, ANDROID_LOG_ERROR);
        unlink(link.c_str());
    }
    EXPECT_EQ(listDir(target.path()), Lines{"own.txt"});
    EXPECT_EQ(listDir(mRoot.path()), (Lines{"dumps", "plain"}));
    EXPECT_EQ(listDir(mDumps), Lines{});
    EXPECT_TRUE(zel.calls().empty());
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 0);
    EXPECT_TRUE(mService->mHistory.isEmpty());
}

// A dump root that begins with "-" is a name, not options: the parser and the dump create it.
TEST_F(EventDumpTest, DashDumpRootCreatedAsNamed) {
    tarnd_test::writeFile(mRoot.file("dash.conf"), "global.log_dump_path=-name\n");
    ASSERT_EQ(mService->parseConfig(mRoot.file("dash.conf").c_str()), android::NO_ERROR);
    EXPECT_EQ(listDir(mRoot.path()), (Lines{"-name", "dash.conf", "dumps"}));
    ASSERT_EQ(rmdir(mRoot.file("-name").c_str()), 0);  // the dump's own mkdir makes it again
    addHang();
    mService->dumpEvent("hang");
    EXPECT_EQ(listDir(mRoot.file("-name/" + kHang)), Lines{"out.txt"});
}

// An unsavable working directory: the handlers still run in the dump dir, the daemon ends at "/".
TEST_F(EventDumpTest, UnsavableWorkingDirectory) {
    ASSERT_EQ(mkdir(mRoot.file("gone").c_str(), 0755), 0);
    ASSERT_EQ(chdir(mRoot.file("gone").c_str()), 0);
    ASSERT_EQ(rmdir(mRoot.file("gone").c_str()), 0);
    addHang();
    LogCapture log;
    mService->dumpEvent("hang");
    EXPECT_TRUE(log.contains("Failed to save current dir: No such file or directory"));
    EXPECT_EQ(listDir(mDumps + "/" + kHang), Lines{"out.txt"});
    EXPECT_EQ(currentDir(), "/");
}

// A dump command over its limit is stopped with what it started; the dump goes on, counts and
// reports, and the next event is dumped. A storm within an event's interval makes one dump and
// one skip line per further trigger.
TEST_F(EventDumpTest, HungCommandStoppedAndStormSkipped) {
    std::string hang = "sleep 600." + std::to_string(getpid());
    Handler hung = makeHandler("hung", 0, (hang + " & " + hang).c_str());
    std::tie(hung.mTimeout, hung.mTimeoutSet) = std::make_tuple(1, true);
    mService->mEvents.add(makeEvent("hang", {hung, makeHandler("after", 0, "echo > after.txt")}));
    mService->mEvents.add(makeEvent("storm", {makeHandler("s", 0, "echo > s.txt")}));
    mService->mEvents.editTop().mInterval = 60;
    LogCapture log;
    mService->dumpEvent("hang");
    for (int i = 0; i < 5; ++i) mService->dumpEvent("storm");
    EXPECT_TRUE(log.contains("Command timed out after 1 s, stopped: " + hang + " & " + hang));
    EXPECT_TRUE(log.contains("Filelist: " + mDumps + "/" + kHang + "/after.txt;"));
    EXPECT_FALSE(tarnd_test::processRunning(hang));
    EXPECT_EQ(listDir(mDumps), (Lines{kHang, "storm_20210305_070809"}));
    std::regex skip("Dump of event storm skipped, last dump [0-9]+ s ago, interval 60 s");
    Lines messages = log.messages();
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [&](const std::string& m) { return std::regex_match(m, skip); }),
              4);
    EXPECT_EQ(mService->mEvents[0].mDumpCount + mService->mEvents[1].mDumpCount, 2);
    EXPECT_EQ(mService->mHistory.size(), 2u);
}

}  // namespace
