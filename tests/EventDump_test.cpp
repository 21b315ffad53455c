#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tarnd_host/ZelRecorder.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "TestSupport.h"

using android::String8;
using tarnd_test::listDir, tarnd_test::makeEvent, tarnd_test::makeHandler;
using ::testing::EndsWith, ::testing::HasSubstr, ::testing::StartsWith;
using Lines = std::vector<std::string>;

namespace {

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
        mService->mLogDumpPath = String8(mDumps.c_str());
        mService->mMinFreeSpace = 0;
        mService->mTime = tarnd_test::fixedTime;
        tarnd_test::gNow = 1614928089;  // 2021-03-05 07:08:09 UTC
        std::filesystem::current_path(mRoot.path());
        mService->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo > out.txt")}));
        clearDumps();
    }
    void TearDown() override { std::filesystem::current_path(mSaved); }

    void clearDumps() {
        tarnd_test::TempDir::remove(mDumps);
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
        mService->dumpEvent(name);
        return tarnd_test::logText(log);
    }

    std::filesystem::path mSaved = std::filesystem::current_path();
    tarnd_test::TempDir mRoot;
    std::string mDumps = mRoot.file("dumps"), mFailing;
    android::sp<android::TarnDebugService> mService =
            tarnd_test::makeService(mRoot.file("missing.conf"), mRoot.path());
};

// The worked example of the configuration reference, with harmless commands for logcat and dmesg:
// hang is dumped once into its own directory, then refused an hour later.
TEST_F(EventDumpTest, WorkedExampleDumpedOnceThenRefused) {
    std::string root = mRoot.file("debuglogs"), config = mRoot.file("tarndebug.conf");
    std::string text = tarnd_test::workedExampleConfig(root);
    text.replace(text.find("dmesg > dmesg.txt"), 17, "echo dmesg-output > dmesg.txt; mkdir sub");
    text.replace(text.find("logcat -d -f logcat.txt"), 23, "echo logcat-output > logcat.txt");
    tarnd_test::writeFile(config, text);
    mService->mEvents.clear();  // the example's own hang only
    ASSERT_EQ(mService->parseConfig(config.c_str()), android::NO_ERROR);
    tarnd_host::ZelCapture zel;
    const std::string first = dump("hang");
    tarnd_test::gNow += 3600;
    EXPECT_EQ(dump("hang"),
              kNoLogs + "Dump policy for event hang is ONCE, we already dumpped once");

    std::string path = root + "/" + kHang + "/";
    EXPECT_EQ(listDir(root), Lines{kHang});
    EXPECT_EQ(listDir(path), (Lines{"dmesg.txt", "logcat.txt", "sub"}));
    EXPECT_EQ(listDir(mRoot.path()), (Lines{"debuglogs", "dumps", "tarndebug.conf"}));
    EXPECT_EQ(std::filesystem::current_path().string(), mRoot.path());
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
    ASSERT_EQ(mService->mHistory.size(), 1u);
    EXPECT_STREQ(mService->mHistory[0].mDumpDirName.string(), kHang.c_str());
}

// The level is the highest of the enabled monitors holding the event: global and event handlers
// at it run, those above it do not. The last event of the name is taken (not the fixture's), and
// dumped every time, twice in one second into one directory.
TEST_F(EventDumpTest, LogLevelIsHighestEnabledMonitorHoldingTheEvent) {
    mService->mGlobalHandlers.add(makeHandler("g", 0, "echo > g.txt"));
    mService->mGlobalHandlers.add(makeHandler("g+", 0, "echo > g+.txt"));
    // Monitors ("+" enabled, "-" not; the level; "h" holding the event, "o" another), the level.
    const std::pair<std::string, int32_t> rows[] = {
            {"", 0}, {"+3h +7h +5h", 7}, {"-9h +9o +2h", 2}, {"+-5h", 0}};
    for (const auto& [monitors, level] : rows) {
        SCOPED_TRACE("monitors " + monitors);
        mService->mGlobalHandlers.editItemAt(0).mLevel = level;
        mService->mGlobalHandlers.editItemAt(1).mLevel = level + 1;
        mService->mMonitors.clear();
        auto event = makeEvent("hang", {makeHandler("e", level, "echo > e.txt"),
                                        makeHandler("e+", level + 1, "echo > e+.txt")});
        mService->mEvents.add(event);
        std::istringstream in(monitors);
        for (std::string m; in >> m;) {
            android::TarnDebugService::Monitor monitor(nullptr, String8("m"));
            std::tie(monitor.mEnabled, monitor.mLevel) =
                    std::make_tuple(m[0] == '+', std::stoi(&m[1]));
            monitor.mEvents.add(m.back() == 'h' ? event : makeEvent("other"));
            mService->mMonitors.add(monitor);
        }
        for (int i = 0; i < 2; ++i)
            EXPECT_THAT(dump("hang"),
                        HasSubstr("|The log level is " + std::to_string(level) + "|"));
        EXPECT_EQ(listDir(mDumps + "/" + kHang), (Lines{"e.txt", "g.txt"}));
        EXPECT_EQ(mService->mEvents.top().mDumpCount, 2);
    }
}

// The size of the dump root against its limit, the free space against its floor, then the name:
// what a refusal logs after the first line. A dump that goes on writes out.txt; its lines are the
// worked example's concern.
TEST_F(EventDumpTest, SizeFreeSpaceAndNameChecks) {
    enum Outcome { kDumped, kTooLarge, kNoSpace, kInvalid, kUnmeasured };
    // Label; files under the dump root ("name:MiB"); the size limit and the free-space floor; the
    // free-space path ("": the test's directory; /proc has no free space); the name dumped; the
    // log size shown; the outcome.
    using Row = std::tuple<const char*, const char*, int32_t, int32_t, const char*, const char*,
                           int, Outcome>;
    const Row rows[] = {
            {"size rounded down under limit", "a:1.5 b:0.7", 3, 0, "", "hang", 2, kDumped},
            {"size at limit too large", "a:1.5 d/e/b:0.7", 2, 0, "", "hang", 2, kTooLarge},
            {"six GiB under limit", "a:2048 b:2048 c:2048", 6145, 0, "", "hang", 6144, kDumped},
            {"negative limit is huge", "old_x/big:3072", -1, 0, "", "hang", 3072, kDumped},
            {"space checked before size", "", 0, INT32_MAX, "", "hang", 0, kNoSpace},
            {"negative free floor", "", 1024, -1, "", "hang", 0, kNoSpace},
            {"free space at floor goes on", "", 1024, 0, "/proc", "hang", 0, kDumped},
            {"unmeasured free space", "", 1024, 0, "no-data", "hang", 0, kUnmeasured},
            {"name is case sensitive", "a/b/c:1", 1024, 0, "", "HANG", 1, kInvalid},
            {"prefix is no name", "", 1024, 0, "", "han", 0, kInvalid},
    };
    for (const auto& [label, files, maxMB, minFreeMB, data, name, logMB, outcome] : rows) {
        SCOPED_TRACE(label);
        clearDumps();
        std::istringstream in(files);
        for (std::string f; in >> f;)
            makeFile(mDumps + "/" + f.substr(0, f.find(':')), std::stod(f.substr(f.find(':') + 1)));
        std::tie(mService->mMaxDumpSpace, mService->mMinFreeSpace) = std::tie(maxMB, minFreeMB);
        mService->mDataPath = *data != '\0' ? data : mRoot.path().c_str();
        const std::string mb = std::to_string(logMB) + "MB", text = dump(name);
        const std::string expected[] = {
                "",
                "W:Log size is too large, MaxLogSize: " + std::to_string(maxMB) +
                        "MB, CurrentLogSize: " + mb,
                "W:No enough space, MinFreeSpace: " + std::to_string(minFreeMB) +
                        "MB, CurrentFreeSpace: *MB",
                "W:Invalid event received, " + std::string(name),
                "E:Cannot get free space of no-data: No such file or directory, dump of hang "
                "refused"};
        const std::string head =
                outcome == kUnmeasured ? "" : "free=*MB, total log size=" + mb + "\n|";
        EXPECT_EQ(outcome == kDumped ? text.substr(0, head.size()) : text,
                  head + expected[outcome]);
        EXPECT_EQ(tarnd_test::exists(mDumps + "/" + kHang + "/out.txt"), outcome == kDumped);
    }
}

// Links count with their target's size and are never descended; a dangling link and entries that
// cannot be opened or examined (not so for root) add nothing.
TEST_F(EventDumpTest, LinksAndUnreadableEntries) {
    makeFile(mRoot.file("o/two"), 2);
    makeFile(mRoot.file("o/dir/five"), 5);
    for (const std::string name : {"two", "dir", "none"})
        std::filesystem::create_symlink(mRoot.file("o/" + name), mDumps + "/" + name);
    for (const std::string name : {"closed", "nosearch"}) makeFile(mDumps + "/" + name + "/big", 5);
    ASSERT_EQ(chmod((mDumps + "/closed").c_str(), 0) + chmod((mDumps + "/nosearch").c_str(), 0400),
              0);
    bool root = tarnd_test::isRoot();
    EXPECT_THAT(dump("hang"),
                StartsWith(std::string(root ? "" : "E:cannot open directory: closed\n |") +
                           "free=*MB, total log size=" + (root ? "12" : "2") + "MB\n|"));
}

// A missing dump root counts as size 0 and is created, whole despite blanks and shell characters
// and as a name even when it begins with "-" (so is the parser's). Only a real directory takes a
// dump: a link planted under the foreseeable name, or a root where none can be made (an empty one
// would put it at "/"), refuses it, uncounted, and nothing is written elsewhere.
TEST_F(EventDumpTest, DumpRootCreatedWholeAndOnlyARealDirectoryTakesADump) {
    tarnd_test::writeFile("dash.conf", "global.log_dump_path=-name\n");
    ASSERT_EQ(mService->parseConfig("dash.conf"), android::NO_ERROR);
    const std::string hostile = "-dump dir; touch pwned $(touch pwned2)", root = hostile + "/it's";
    mService->mLogDumpPath = String8(root.c_str());
    EXPECT_THAT(dump("hang"), StartsWith("E:cannot open directory: " + root + "\n |" + kNoLogs));
    EXPECT_EQ(listDir(root + "/" + kHang), Lines{"out.txt"});

    makeFile(mRoot.file("target/own.txt"), 1);
    std::filesystem::create_symlink(mRoot.file("target"), mDumps + "/" + kHang);
    mService->mLogDumpPath = String8(mDumps.c_str());
    tarnd_host::ZelCapture zel;
    EXPECT_THAT(dump("hang"), EndsWith("|E:Dump directory " + mDumps + "/" + kHang +
                                       "/ is not a directory, dump refused"));
    std::filesystem::remove(mDumps + "/" + kHang);
    mService->mLogDumpPath = "";
    mFailing = "mkdir -p -- '/" + kHang + "/'";
    EXPECT_THAT(dump("hang"), EndsWith("|E:Create log dump dir failed, /" + kHang + "/"));
    EXPECT_EQ(listDir(mRoot.file("target")), Lines{"own.txt"});
    EXPECT_EQ(listDir(mRoot.path()), (Lines{hostile, "-name", "dash.conf", "dumps", "target"}));
    EXPECT_EQ(listDir(mDumps), Lines{});
    EXPECT_TRUE(zel.calls().empty());
    EXPECT_EQ(mService->mHistory.size() + mService->mEvents[0].mDumpCount, 2u);
}

// A hung command is stopped at its limit and the next handler runs; a handler that fails ends the
// event's handlers there (next does not run); the dump counts and reports all the same,
// in the dump dir even when the working directory cannot be saved (the daemon then ends at "/").
// A storm within an event's interval makes one dump and one skip line per further trigger.
TEST_F(EventDumpTest, FailedHandlerOrLostWorkingDirStillReportsAndStormSkipped) {
    mFailing = "echo > bad";
    const std::string hang = "sleep 600." + std::to_string(getpid());  // stopped after 1 s
    android::TarnDebugService::Handler hung = makeHandler("hung", 0, (hang + " & " + hang).c_str());
    std::tie(hung.mTimeoutSet, hung.mTimeout) = std::make_tuple(true, 1);
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
    EXPECT_FALSE(tarnd_test::processRunning(hang));
    EXPECT_THAT(text, HasSubstr("|Filelist: " + mDumps + "/" + kHang + "/after;|"));
    const std::string skip =
            "|" + kNoLogs + "Dump of event storm skipped, last dump N s ago, interval 60 s";
    EXPECT_THAT(std::regex_replace(text, std::regex("[0-9]+ s ago"), "N s ago"),
                EndsWith("storm_20210305_070809/s.txt;" + skip + skip + skip + skip));
    EXPECT_EQ(std::filesystem::current_path().string(), "/");
    EXPECT_EQ(mService->mEvents[1].mDumpCount + mService->mEvents[2].mDumpCount, 2);
    EXPECT_EQ(mService->reportFileList("hang", "none/"), android::INVALID_OPERATION);
}

}  // namespace
