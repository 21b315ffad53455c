// Sparse files of several GiB on 32-bit builds too.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include <android/log.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <tarnd_host/LogStore.h>
#include <tarnd_host/ZelRecorder.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::sp;
using android::String8;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using tarnd_host::ZelCall;
using tarnd_host::ZelCapture;
using tarnd_test::TempDir;

using Handler = TarnDebugService::Handler;
using Event = TarnDebugService::Event;
using Monitor = TarnDebugService::Monitor;
using Lines = std::vector<std::string>;

namespace {

// What the seam below does with a command line instead of running it.
enum class Fake { kFail, kSkip };

std::map<std::string, Fake>& fakedLines() {
    static std::map<std::string, Fake>* lines = new std::map<std::string, Fake>();
    return *lines;
}

// When set, every line not listed fails too.
bool gFailOtherLines = false;

std::vector<std::string>& systemCalls() {
    static std::vector<std::string>* calls = new std::vector<std::string>();
    return *calls;
}

// For the life of the object the given lines fail as a shell that cannot start (-1), or are
// skipped as if they had run (0); nothing of them runs either way.
class ScopedFakedLines {
  public:
    explicit ScopedFakedLines(const std::map<std::string, Fake>& lines, bool failOthers = false) {
        fakedLines() = lines;
        gFailOtherLines = failOthers;
    }
    ~ScopedFakedLines() {
        fakedLines().clear();
        gFailOtherLines = false;
    }
};

}  // namespace

// Link seam: the daemon's calls of system() in this test binary come here, are recorded, and run
// through the C library's system() unless faked.
extern "C" int system(const char* command) {
    using SystemFn = int (*)(const char*);
    static SystemFn real = reinterpret_cast<SystemFn>(dlsym(RTLD_NEXT, "system"));
    if (command != nullptr) {
        systemCalls().push_back(command);
        auto faked = fakedLines().find(command);
        if (faked != fakedLines().end()) return faked->second == Fake::kFail ? -1 : 0;
        if (gFailOtherLines) return -1;
    }
    return real(command);
}

namespace {

time_t gNow;

time_t fixedTime(time_t* out) {
    if (out != nullptr) *out = gNow;
    return gNow;
}

time_t utc(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

// The time of most dumps below, and the suffix its directories get.
const time_t kMarch5 = utc(2021, 3, 5, 7, 8, 9);
const char* const kMarch5Suffix = "_20210305_070809";

Handler makeHandler(const char* name, int32_t level, const char* dumpCmd) {
    Handler handler(nullptr, String8(name));
    handler.mLevel = level;
    handler.mEnabled = true;
    handler.mDumpCmd = String8(dumpCmd);
    return handler;
}

Event makeEvent(const char* name, const std::vector<Handler>& handlers, int32_t policy = 1) {
    Event event(nullptr, String8(name));
    event.mPolicy = policy;
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

void makeDir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

std::string currentDir() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof(buf)) != nullptr ? buf : "";
}

// The plain files of a directory, full paths with ";" after each, in the order readdir gives.
std::string expectedFileList(const std::string& dirWithSlash) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(dirWithSlash.c_str()), closedir);
    if (dir == nullptr) return "<cannot open " + dirWithSlash + ">";
    std::string list;
    while (struct dirent* e = readdir(dir.get())) {
        if (e->d_type == DT_DIR) continue;
        list += dirWithSlash + e->d_name + ";";
    }
    return list;
}

bool isSizeLine(const std::string& msg, int logMB) {
    return std::regex_match(
            msg, std::regex("free=-?[0-9]+MB, total log size=" + std::to_string(logMB) + "MB\n"));
}

// Every test runs in its own temporary directory, which is also the working directory, so that a
// file written outside the dump directory shows up there.
class EventDumpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mSavedDir = currentDir();
        ASSERT_FALSE(mSavedDir.empty());
        mService = tarnd_test::makeService(mRoot.file("missing.conf"), mRoot.path());
        mDumpRoot = mRoot.file("dumps");
        makeDir(mDumpRoot);
        mService->mLogDumpPath = String8(mDumpRoot.c_str());
        mService->mMinFreeSpace = 0;
        mService->mTime = fixedTime;
        gNow = kMarch5;
        systemCalls().clear();
        ASSERT_EQ(chdir(mRoot.path().c_str()), 0);
    }
    void TearDown() override {
        // Removed here, with large-file calls, so that a 32-bit build leaves none behind.
        for (const std::string& path : mSparseFiles) unlink(path.c_str());
        ASSERT_EQ(chdir(mSavedDir.c_str()), 0);
    }

    // A file of the given size that takes no disk space.
    void makeSparseFile(const std::string& path, off_t size) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << path;
        mSparseFiles.push_back(path);
        EXPECT_EQ(ftruncate(fd, size), 0) << path;
        close(fd);
    }

    // The full path of a dump of event at kMarch5, with its final slash.
    std::string dumpPath(const std::string& event) const {
        return mDumpRoot + "/" + event + kMarch5Suffix + "/";
    }

    TempDir mRoot;
    std::string mDumpRoot;
    std::string mSavedDir;
    sp<TarnDebugService> mService;
    std::vector<std::string> mSparseFiles;
};

TEST_F(EventDumpTest, DumpRunsHandlersInsideNewDirectoryAndReportsIt) {
    mService->mGlobalHandlers.add(makeHandler("logcat", 0, "echo logcat-output > logcat.txt"));
    Event hang = makeEvent("hang", {makeHandler("dmesg", 0, "echo dmesg-output > dmesg.txt")});
    mService->mEvents.add(hang);
    mService->mMonitors.add(makeMonitor("main", true, 1, {hang}));

    LogCapture log;
    ZelCapture zel;
    mService->dumpEvent("hang");

    std::string path = dumpPath("hang");
    EXPECT_EQ(tarnd_test::listDir(mDumpRoot), Lines{"hang" + std::string(kMarch5Suffix)});
    EXPECT_EQ(tarnd_test::listDir(path), (Lines{"dmesg.txt", "logcat.txt"}));
    EXPECT_EQ(tarnd_test::readFile(path + "logcat.txt"), "logcat-output\n");
    EXPECT_EQ(tarnd_test::readFile(path + "dmesg.txt"), "dmesg-output\n");
    EXPECT_EQ(tarnd_test::listDir(mRoot.path()), Lines{"dumps"});
    EXPECT_EQ(currentDir(), mRoot.path());

    std::string fileList = expectedFileList(path);
    Lines messages = log.messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_TRUE(isSizeLine(messages[0], 0)) << messages[0];
    messages.erase(messages.begin());
    EXPECT_EQ(
            messages,
            (Lines{"The log level is 1", "Dump event hang to " + path, "Global handler dump start",
                   "Dump cmd: echo logcat-output > logcat.txt", "Global handler dump finish",
                   "Dump cmd: echo dmesg-output > dmesg.txt", "Filelist: " + fileList}));
    for (const tarnd_host::LogLine& line : log.lines()) EXPECT_EQ(line.prio, ANDROID_LOG_DEBUG);

    std::vector<ZelCall> calls = zel.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].type, 2);
    EXPECT_EQ(calls[0].module, "TARND");
    EXPECT_EQ(calls[0].event, "hang");
    EXPECT_EQ(calls[0].args, std::vector<int>(7, 0));
    EXPECT_EQ(calls[0].fileList, fileList);
    EXPECT_EQ(calls[0].flags, 0);
    EXPECT_TRUE(log.contains("log_all type=2 module=TARND event=hang args=0,0,0,0,0,0,0 files=" +
                                     fileList + " flags=0",
                             "zel"));

    EXPECT_EQ(mService->mEvents[0].mDumpCount, 1);
    EXPECT_EQ(mService->mMonitors[0].mEvents[0].mDumpCount, 0);
    ASSERT_EQ(mService->mHistory.size(), 1u);
    EXPECT_STREQ(mService->mHistory[0].mEventName.string(), "hang");
    EXPECT_EQ(std::string(mService->mHistory[0].mDumpDirName.string()),
              "hang" + std::string(kMarch5Suffix));
}

struct NameCase {
    int year, month, day, hour, minute, second;
    const char* suffix;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.suffix; }

class DirectoryNameTest : public EventDumpTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(DirectoryNameTest, NamedAfterEventAndUtcTime) {
    const NameCase& c = GetParam();
    gNow = utc(c.year, c.month, c.day, c.hour, c.minute, c.second);
    mService->mEvents.add(makeEvent("gpu_hang", {}));

    LogCapture log;
    mService->dumpEvent("gpu_hang");

    std::string name = std::string("gpu_hang") + c.suffix;
    std::string path = mDumpRoot + "/" + name + "/";
    EXPECT_EQ(tarnd_test::listDir(mDumpRoot), Lines{name});
    EXPECT_TRUE(log.contains("Dump event gpu_hang to " + path));
    EXPECT_EQ(systemCalls(), Lines{"mkdir -p '" + path + "'"});
    ASSERT_EQ(mService->mHistory.size(), 1u);
    EXPECT_STREQ(mService->mHistory[0].mEventName.string(), "gpu_hang");
    EXPECT_EQ(std::string(mService->mHistory[0].mDumpDirName.string()), name);
}

INSTANTIATE_TEST_SUITE_P(Rows, DirectoryNameTest,
                         ::testing::Values(NameCase{2021, 3, 5, 7, 8, 9, "_20210305_070809"},
                                           NameCase{1999, 12, 31, 23, 59, 59, "_19991231_235959"},
                                           NameCase{2000, 1, 1, 0, 0, 0, "_20000101_000000"},
                                           NameCase{2024, 2, 29, 12, 34, 56, "_20240229_123456"},
                                           NameCase{1970, 1, 2, 3, 4, 5, "_19700102_030405"},
                                           NameCase{2038, 1, 19, 3, 14, 7, "_20380119_031407"}));

struct MonitorSpec {
    bool enabled;
    int32_t level;
    bool holdsEvent;
};

struct LevelCase {
    const char* label;
    std::vector<MonitorSpec> monitors;
    int32_t level;
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.label; }

class LogLevelTest : public EventDumpTest, public ::testing::WithParamInterface<LevelCase> {};

// The dump runs at the highest level of the enabled monitors holding the event: a handler at that
// level runs, one just above does not.
TEST_P(LogLevelTest, HighestEnabledMonitorLevel) {
    const LevelCase& c = GetParam();
    Handler at = makeHandler("at", c.level, "echo at > at.txt");
    Handler above = makeHandler("above", c.level + 1, "echo above > above.txt");
    Event event = makeEvent("hang", {at, above});
    mService->mEvents.add(event);
    Event other = makeEvent("other", {});
    for (const MonitorSpec& m : c.monitors) {
        mService->mMonitors.add(
                makeMonitor("m", m.enabled, m.level, {m.holdsEvent ? event : other}));
    }

    LogCapture log;
    mService->dumpEvent("hang");

    EXPECT_TRUE(log.contains("The log level is " + std::to_string(c.level)));
    EXPECT_EQ(tarnd_test::listDir(dumpPath("hang")), Lines{"at.txt"});
}

INSTANTIATE_TEST_SUITE_P(
        Rows, LogLevelTest,
        ::testing::Values(LevelCase{"NoMonitor", {}, 0},
                          LevelCase{"ThreeAndSeven", {{true, 3, true}, {true, 7, true}}, 7},
                          LevelCase{"SevenAndThree", {{true, 7, true}, {true, 3, true}}, 7},
                          LevelCase{"OtherMonitorIgnored", {{true, 3, true}, {true, 9, false}}, 3},
                          LevelCase{"DisabledIgnored", {{false, 9, true}, {true, 2, true}}, 2},
                          LevelCase{"OnlyDisabled", {{false, 9, true}}, 0},
                          LevelCase{"NegativeStaysZero", {{true, -5, true}}, 0},
                          LevelCase{"Hundred", {{true, 100, true}}, 100}),
        [](const ::testing::TestParamInfo<LevelCase>& info) { return info.param.label; });

TEST_F(EventDumpTest, DefaultLevelDoesNotRunAtLevelZero) {
    mService->mGlobalHandlers.add(makeHandler("g0", 0, "echo > g0.txt"));
    mService->mGlobalHandlers.add(makeHandler("g100", 100, "echo > g100.txt"));
    mService->mEvents.add(makeEvent("hang", {makeHandler("e0", 0, "echo > e0.txt"),
                                             makeHandler("e100", 100, "echo > e100.txt")}));

    mService->dumpEvent("hang");

    EXPECT_EQ(tarnd_test::listDir(dumpPath("hang")), (Lines{"e0.txt", "g0.txt"}));
}

TEST_F(EventDumpTest, OnceEventDumpedOnlyOnce) {
    mService->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo run >> runs.txt")}, 0));

    ZelCapture zel;
    mService->dumpEvent("hang");
    LogCapture log;
    gNow = kMarch5 + 60;
    mService->dumpEvent("hang");

    Lines messages = log.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(isSizeLine(messages[0], 0)) << messages[0];
    EXPECT_EQ(messages[1], "Dump policy for event hang is ONCE, we already dumpped once");
    EXPECT_EQ(log.lines()[1].prio, ANDROID_LOG_DEBUG);
    EXPECT_EQ(tarnd_test::listDir(mDumpRoot), Lines{"hang" + std::string(kMarch5Suffix)});
    EXPECT_EQ(tarnd_test::readFile(dumpPath("hang") + "runs.txt"), "run\n");
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 1);
    EXPECT_EQ(mService->mHistory.size(), 1u);
    EXPECT_EQ(zel.calls().size(), 1u);
}

// Within one second both dumps share the directory; both are counted and recorded.
TEST_F(EventDumpTest, EveryTimeEventDumpedEachTime) {
    mService->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo run >> runs.txt")}, 1));

    ZelCapture zel;
    mService->dumpEvent("hang");
    mService->dumpEvent("hang");

    EXPECT_EQ(tarnd_test::listDir(mDumpRoot), Lines{"hang" + std::string(kMarch5Suffix)});
    EXPECT_EQ(tarnd_test::readFile(dumpPath("hang") + "runs.txt"), "run\nrun\n");
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 2);
    ASSERT_EQ(mService->mHistory.size(), 2u);
    EXPECT_EQ(mService->mHistory[0].mDumpDirName, mService->mHistory[1].mDumpDirName);
    EXPECT_EQ(zel.calls().size(), 2u);
}

struct UnknownCase {
    const char* label;
    std::vector<const char*> events;
    const char* name;
};

void PrintTo(const UnknownCase& c, std::ostream* os) { *os << c.label; }

class UnknownNameTest : public EventDumpTest, public ::testing::WithParamInterface<UnknownCase> {};

TEST_P(UnknownNameTest, ScannedThenRefused) {
    const UnknownCase& c = GetParam();
    for (const char* event : c.events) {
        mService->mEvents.add(makeEvent(event, {makeHandler("h", 0, "echo > ran.txt")}));
    }

    LogCapture log;
    ZelCapture zel;
    mService->dumpEvent(c.name);

    Lines messages = log.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(isSizeLine(messages[0], 0)) << messages[0];
    EXPECT_EQ(messages[1], std::string("Invalid event received, ") + c.name);
    EXPECT_EQ(log.lines()[1].prio, ANDROID_LOG_WARN);
    EXPECT_EQ(tarnd_test::listDir(mDumpRoot), Lines{});
    EXPECT_EQ(tarnd_test::listDir(mRoot.path()), Lines{"dumps"});
    EXPECT_TRUE(systemCalls().empty());
    EXPECT_TRUE(zel.calls().empty());
    EXPECT_TRUE(mService->mHistory.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Rows, UnknownNameTest,
                         ::testing::Values(UnknownCase{"NoEvents", {}, "hang"},
                                           UnknownCase{"OtherCase", {"hang", "Hang"}, "HANG"},
                                           UnknownCase{"Prefix", {"hang"}, "han"},
                                           UnknownCase{"Longer", {"hang"}, "hang2"},
                                           UnknownCase{"Empty", {"hang"}, ""}),
                         [](const ::testing::TestParamInfo<UnknownCase>& info) {
                             return info.param.label;
                         });

TEST_F(EventDumpTest, LastEventOfTheNameIsTaken) {
    mService->mEvents.add(makeEvent("dup", {makeHandler("first", 0, "echo > first.txt")}));
    mService->mEvents.add(makeEvent("dup", {makeHandler("second", 0, "echo > second.txt")}));

    mService->dumpEvent("dup");

    EXPECT_EQ(tarnd_test::listDir(dumpPath("dup")), Lines{"second.txt"});
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 0);
    EXPECT_EQ(mService->mEvents[1].mDumpCount, 1);
}

// Files placed in the dump tree before the dump, with the size limit and the expected outcome.
struct SizeCase {
    const char* label;
    std::vector<std::pair<std::string, int64_t>> files;  // relative path, size in bytes
    int32_t maxDumpSpace;
    int logMB;
    bool dumped;
};

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kGiB = kMiB << 10;

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.label; }

class DumpSpaceTest : public EventDumpTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(DumpSpaceTest, SizeLimit) {
    const SizeCase& c = GetParam();
    for (const auto& file : c.files) {
        // Each directory on the way, then the file.
        for (size_t slash = file.first.find('/'); slash != std::string::npos;
             slash = file.first.find('/', slash + 1)) {
            std::string dir = mDumpRoot + "/" + file.first.substr(0, slash);
            if (!tarnd_test::exists(dir)) makeDir(dir);
        }
        makeSparseFile(mDumpRoot + "/" + file.first, static_cast<off_t>(file.second));
    }
    mService->mMaxDumpSpace = c.maxDumpSpace;
    mService->mEvents.add(makeEvent("hang", {}));

    LogCapture log;
    mService->dumpEvent("hang");

    Lines messages = log.messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_TRUE(isSizeLine(messages[0], c.logMB)) << messages[0];
    if (c.dumped) {
        EXPECT_EQ(mService->mHistory.size(), 1u);
        EXPECT_TRUE(tarnd_test::exists(dumpPath("hang")));
    } else {
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[1],
                  "Log size is too large, MaxLogSize: " + std::to_string(c.maxDumpSpace) +
                          "MB, CurrentLogSize: " + std::to_string(c.logMB) + "MB");
        EXPECT_EQ(log.lines()[1].prio, ANDROID_LOG_WARN);
        EXPECT_TRUE(mService->mHistory.isEmpty());
        EXPECT_TRUE(systemCalls().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
        Rows, DumpSpaceTest,
        ::testing::Values(
                SizeCase{"ZeroLimitRefusesEmptyTree", {}, 0, 0, false},
                SizeCase{"EmptyTreeUnderOne", {}, 1, 0, true},
                SizeCase{"BytesSummedBeforeShift",
                         {{"a", kMiB + kMiB / 2}, {"b", kMiB * 7 / 10}},
                         3,
                         2,
                         true},
                SizeCase{"EqualToLimitRefused",
                         {{"a", kMiB + kMiB / 2}, {"b", kMiB * 7 / 10}},
                         2,
                         2,
                         false},
                SizeCase{"SubdirectoriesCounted",
                         {{"a", kMiB}, {"d/b", kMiB}, {"d/e/f/c", kMiB}},
                         4,
                         3,
                         true},
                SizeCase{"ThreeGiBDoesNotWrap", {{"old_x/big", 3 * kGiB}}, 1024, 3072, false},
                SizeCase{"FourGiBDoesNotWrap", {{"big", 4 * kGiB + kMiB}}, 1024, 4097, false},
                SizeCase{"ManyLargeFilesAddUp",
                         {{"a", 2 * kGiB}, {"b", 2 * kGiB}, {"c", 2 * kGiB}},
                         6145,
                         6144,
                         true},
                SizeCase{"NegativeLimitIsHuge", {{"big", 3 * kGiB}}, -1, 3072, true}),
        [](const ::testing::TestParamInfo<SizeCase>& info) { return info.param.label; });

// Links count with their target's size and are never descended; a dangling link adds nothing.
TEST_F(EventDumpTest, LinksCountTheirTargetWithoutDescent) {
    TempDir outside;
    makeSparseFile(outside.file("two"), 2 * kMiB);
    makeDir(outside.file("dir"));
    makeSparseFile(outside.file("dir/five"), 5 * kMiB);
    ASSERT_EQ(symlink(outside.file("two").c_str(), (mDumpRoot + "/file_link").c_str()), 0);
    ASSERT_EQ(symlink(outside.file("dir").c_str(), (mDumpRoot + "/dir_link").c_str()), 0);
    ASSERT_EQ(symlink(outside.file("none").c_str(), (mDumpRoot + "/dangling").c_str()), 0);
    mService->mEvents.add(makeEvent("hang", {}));

    LogCapture log;
    mService->dumpEvent("hang");

    Lines messages = log.messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_TRUE(isSizeLine(messages[0], 2)) << messages[0];
}

TEST_F(EventDumpTest, MissingDumpRootCountsZeroAndIsCreated) {
    std::string missing = mRoot.file("missing/deeper");
    mService->mLogDumpPath = String8(missing.c_str());
    makeSparseFile(mDumpRoot + "/big", 3 * kGiB);  // not under the configured path
    mService->mMaxDumpSpace = 1;
    mService->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo > out.txt")}));

    LogCapture log;
    mService->dumpEvent("hang");

    Lines messages = log.messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[0], "cannot open directory: " + missing + "\n ");
    EXPECT_EQ(log.lines()[0].prio, ANDROID_LOG_ERROR);
    EXPECT_TRUE(isSizeLine(messages[1], 0)) << messages[1];
    EXPECT_EQ(tarnd_test::listDir(missing + "/hang" + kMarch5Suffix), Lines{"out.txt"});
    EXPECT_EQ(mService->mHistory.size(), 1u);
}

// Permissions do not stop root, so these cases need an ordinary user.
TEST_F(EventDumpTest, UnreadableEntriesAddNothing) {
    if (tarnd_test::isRoot()) GTEST_SKIP() << "root reads and searches every directory";
    makeDir(mDumpRoot + "/closed");
    makeSparseFile(mDumpRoot + "/closed/big", 5 * kMiB);
    makeDir(mDumpRoot + "/nosearch");
    makeSparseFile(mDumpRoot + "/nosearch/big", 5 * kMiB);
    makeSparseFile(mDumpRoot + "/two", 2 * kMiB);
    ASSERT_EQ(chmod((mDumpRoot + "/closed").c_str(), 0), 0);
    // Listable but not searchable: the names come back, lstat on them fails.
    ASSERT_EQ(chmod((mDumpRoot + "/nosearch").c_str(), 0400), 0);
    mService->mEvents.add(makeEvent("hang", {}));

    LogCapture log;
    mService->dumpEvent("hang");

    EXPECT_TRUE(log.contains("cannot open directory: closed\n "));
    Lines messages = log.messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_TRUE(isSizeLine(messages[1], 2)) << messages[1];
    EXPECT_EQ(mService->mHistory.size(), 1u);
}

TEST_F(EventDumpTest, FreeSpaceAtLimitGoesOnBelowRefused) {
    // The proc file system reports no free block at all, and always the same.
    struct statfs fs;
    if (statfs("/proc", &fs) != 0 || fs.f_bfree != 0) GTEST_SKIP() << "no /proc with 0 free";
    mService->mDataPath = "/proc";
    mService->mEvents.add(makeEvent("hang", {}));

    LogCapture atLimit;
    mService->dumpEvent("hang");
    ASSERT_FALSE(atLimit.messages().empty());
    EXPECT_EQ(atLimit.messages()[0], "free=0MB, total log size=0MB\n");
    EXPECT_EQ(mService->mHistory.size(), 1u);

    mService->mMinFreeSpace = 1;
    LogCapture below;
    mService->dumpEvent("hang");
    EXPECT_EQ(below.messages(),
              (Lines{"free=0MB, total log size=0MB\n",
                     "No enough space, MinFreeSpace: 1MB, CurrentFreeSpace: 0MB"}));
    EXPECT_EQ(below.lines()[1].prio, ANDROID_LOG_WARN);
    EXPECT_EQ(mService->mHistory.size(), 1u);
}

struct FreeCase {
    const char* label;
    bool aboveDisk;        // the limit is one MB above the whole file system; else -1
    int32_t maxDumpSpace;  // 0 would refuse too: the free-space check comes first
};

void PrintTo(const FreeCase& c, std::ostream* os) { *os << c.label; }

class FreeSpaceTest : public EventDumpTest, public ::testing::WithParamInterface<FreeCase> {};

TEST_P(FreeSpaceTest, LimitNoFileSystemMeetsRefuses) {
    const FreeCase& c = GetParam();
    struct statfs fs;
    ASSERT_EQ(statfs(mRoot.path().c_str(), &fs), 0);
    uint64_t diskMB = (static_cast<uint64_t>(fs.f_blocks) * fs.f_bsize) >> 20;
    int32_t limit = c.aboveDisk ? static_cast<int32_t>(diskMB + 1) : -1;
    mService->mMinFreeSpace = limit;
    mService->mMaxDumpSpace = c.maxDumpSpace;
    mService->mEvents.add(makeEvent("hang", {}));

    LogCapture log;
    mService->dumpEvent("hang");

    Lines messages = log.messages();
    ASSERT_EQ(messages.size(), 2u);
    std::smatch match;
    ASSERT_TRUE(
            std::regex_match(messages[1], match,
                             std::regex("No enough space, MinFreeSpace: " + std::to_string(limit) +
                                        "MB, CurrentFreeSpace: ([0-9]+)MB")))
            << messages[1];
    EXPECT_LE(std::stoull(match[1].str()), diskMB);
    EXPECT_EQ(log.lines()[1].prio, ANDROID_LOG_WARN);
    EXPECT_EQ(tarnd_test::listDir(mDumpRoot), Lines{});
    EXPECT_TRUE(mService->mHistory.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Rows, FreeSpaceTest,
                         ::testing::Values(FreeCase{"AboveDiskSize", true, 1024},
                                           FreeCase{"NegativeIsHuge", false, 1024},
                                           FreeCase{"CheckedBeforeSize", true, 0}),
                         [](const ::testing::TestParamInfo<FreeCase>& info) {
                             return info.param.label;
                         });

// Free space that cannot be measured is not taken as free: each such dump logs one ERROR and is
// refused before anything else.
TEST_F(EventDumpTest, FailedStatfsRefusesDump) {
    std::string missing = mRoot.file("no-data");
    mService->mDataPath = missing.c_str();
    mService->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo > out.txt")}));

    LogCapture log;
    ZelCapture zel;
    mService->dumpEvent("hang");
    mService->dumpEvent("hang");

    std::string refusal = "Cannot get free space of " + missing +
                          ": No such file or directory, dump of hang refused";
    EXPECT_EQ(log.messages(), (Lines{refusal, refusal}));
    for (const tarnd_host::LogLine& line : log.lines()) EXPECT_EQ(line.prio, ANDROID_LOG_ERROR);
    EXPECT_EQ(tarnd_test::listDir(mDumpRoot), Lines{});
    EXPECT_TRUE(systemCalls().empty());
    EXPECT_TRUE(zel.calls().empty());
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 0);
    EXPECT_TRUE(mService->mHistory.isEmpty());
}

TEST_F(EventDumpTest, FailedTimeConversionStops) {
    if (sizeof(time_t) < 8) GTEST_SKIP() << "every 32-bit time converts";
    gNow = static_cast<time_t>(INT64_MAX);
    mService->mEvents.add(makeEvent("hang", {}));

    LogCapture log;
    mService->dumpEvent("hang");

    Lines messages = log.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1], "The log level is 0");
    EXPECT_EQ(messages[2], "Get time failed");
    EXPECT_EQ(log.lines()[2].prio, ANDROID_LOG_ERROR);
    EXPECT_EQ(tarnd_test::listDir(mDumpRoot), Lines{});
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 0);
}

// A dump directory path with blanks and shell characters is created whole, and nothing of it
// runs as a command.
TEST_F(EventDumpTest, DumpRootWithShellCharactersCreatedWhole) {
    std::string hostile = mRoot.file("dump dir; touch pwned $(touch pwned2) `touch pwned3` it's");
    mService->mLogDumpPath = String8(hostile.c_str());
    mService->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo > out.txt")}));

    mService->dumpEvent("hang");

    std::string name = std::string("hang") + kMarch5Suffix;
    EXPECT_EQ(tarnd_test::listDir(hostile), Lines{name});
    EXPECT_EQ(tarnd_test::listDir(hostile + "/" + name), Lines{"out.txt"});
    EXPECT_EQ(tarnd_test::listDir(mRoot.path()),
              (Lines{"dump dir; touch pwned $(touch pwned2) `touch pwned3` it's", "dumps"}));
    EXPECT_EQ(systemCalls(),
              (Lines{"mkdir -p '" + mRoot.path() +
                             "/dump dir; touch pwned $(touch pwned2) `touch pwned3` it'\\''s/" +
                             name + "/'",
                     "echo > out.txt"}));
}

// Without a dump root the directory would land at the root of the file system; the seam fails the
// mkdir so that the test creates nothing there.
TEST_F(EventDumpTest, EmptyDumpRootAndFailedMkdir) {
    mService->mLogDumpPath = String8();
    mService->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo > out.txt")}));
    std::string path = std::string("/hang") + kMarch5Suffix + "/";
    // Nothing may run here, whatever the command line turns out to be.
    ScopedFakedLines faked({{"mkdir -p '" + path + "'", Fake::kFail}}, true);

    LogCapture log;
    ZelCapture zel;
    mService->dumpEvent("hang");

    Lines messages = log.messages();
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[0], "cannot open directory: \n ");
    EXPECT_TRUE(isSizeLine(messages[1], 0)) << messages[1];
    EXPECT_EQ(messages[2], "The log level is 0");
    EXPECT_EQ(messages[3], "Dump event hang to " + path);
    EXPECT_EQ(messages[4], "Create log dump dir failed, " + path);
    EXPECT_EQ(log.lines()[4].prio, ANDROID_LOG_ERROR);
    EXPECT_EQ(systemCalls(), Lines{"mkdir -p '" + path + "'"});
    EXPECT_TRUE(zel.calls().empty());
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 0);
    EXPECT_TRUE(mService->mHistory.isEmpty());
}

// When the dump directory cannot be entered the handlers run where the process is; the dump is
// still counted and recorded, though its directory cannot be listed.
TEST_F(EventDumpTest, FailedChdirStillCounts) {
    mService->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo > out.txt")}));
    std::string path = dumpPath("hang");
    ScopedFakedLines faked({{"mkdir -p '" + path + "'", Fake::kSkip}});

    LogCapture log;
    ZelCapture zel;
    mService->dumpEvent("hang");

    EXPECT_TRUE(log.contains("chdir() to " + path + " failed"));
    EXPECT_TRUE(log.contains("fail to open log dump dir " + path));
    EXPECT_EQ(tarnd_test::listDir(mRoot.path()), (Lines{"dumps", "out.txt"}));
    EXPECT_TRUE(zel.calls().empty());
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 1);
    EXPECT_EQ(mService->mHistory.size(), 1u);
    EXPECT_EQ(currentDir(), mRoot.path());
}

TEST_F(EventDumpTest, FailedHandlerStillCounts) {
    Handler bad = makeHandler("bad", 0, "echo > bad.txt");
    Handler next = makeHandler("next", 0, "echo > next.txt");
    mService->mGlobalHandlers.add(makeHandler("g", 0, "echo > g.txt"));
    mService->mEvents.add(makeEvent("hang", {bad, next}));
    ScopedFakedLines faked({{"echo > bad.txt", Fake::kFail}});

    LogCapture log;
    ZelCapture zel;
    mService->dumpEvent("hang");

    EXPECT_TRUE(log.contains("Dump handler failed, echo > bad.txt"));
    EXPECT_EQ(tarnd_test::listDir(dumpPath("hang")), Lines{"g.txt"});
    EXPECT_EQ(zel.calls().size(), 1u);
    EXPECT_EQ(mService->mEvents[0].mDumpCount, 1);
    EXPECT_EQ(mService->mHistory.size(), 1u);
}

// A working directory that no longer exists cannot be saved: the handlers still run in the dump
// directory, and the daemon is left at the root rather than in a directory the collector may
// remove.
TEST_F(EventDumpTest, UnsavableWorkingDirectory) {
    std::string gone = mRoot.file("gone");
    makeDir(gone);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    mService->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo > out.txt")}));

    LogCapture log;
    mService->dumpEvent("hang");

    EXPECT_TRUE(log.contains("Failed to save current dir: No such file or directory"));
    EXPECT_EQ(tarnd_test::listDir(dumpPath("hang")), Lines{"out.txt"});
    EXPECT_EQ(currentDir(), "/");
    EXPECT_EQ(mService->mHistory.size(), 1u);
}

TEST_F(EventDumpTest, FileListLeavesOutSubdirectories) {
    mService->mEvents.add(
            makeEvent("hang", {makeHandler("files", 0, "echo a > a.txt; echo b > b.txt"),
                               makeHandler("sub", 0, "mkdir sub && echo c > sub/c.txt")}));

    LogCapture log;
    ZelCapture zel;
    mService->dumpEvent("hang");

    std::string path = dumpPath("hang");
    std::string list = expectedFileList(path);
    // Either order of the two names, as the directory returns them.
    EXPECT_TRUE(list == path + "a.txt;" + path + "b.txt;" ||
                list == path + "b.txt;" + path + "a.txt;")
            << list;
    EXPECT_TRUE(log.contains("Filelist: " + list));
    std::vector<ZelCall> calls = zel.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].fileList, list);
}

TEST_F(EventDumpTest, NoFileWrittenGivesEmptyList) {
    mService->mEvents.add(makeEvent("hang", {}));

    LogCapture log;
    ZelCapture zel;
    mService->dumpEvent("hang");

    EXPECT_TRUE(log.contains("Filelist: "));
    std::vector<ZelCall> calls = zel.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].fileList, "");
    EXPECT_EQ(calls[0].event, "hang");
}

TEST_F(EventDumpTest, ReportOfMissingDirectoryFails) {
    std::string missing = mRoot.file("none/");

    LogCapture log;
    ZelCapture zel;
    EXPECT_EQ(mService->reportFileList("hang", missing.c_str()), android::INVALID_OPERATION);

    EXPECT_EQ(log.messages(), Lines{"fail to open log dump dir " + missing});
    EXPECT_EQ(log.lines()[0].prio, ANDROID_LOG_ERROR);
    EXPECT_TRUE(zel.calls().empty());
}

TEST_F(EventDumpTest, ScanLeavesNoDescriptorOpen) {
    makeDir(mDumpRoot + "/a");
    makeDir(mDumpRoot + "/a/b");
    makeSparseFile(mDumpRoot + "/a/b/c", kMiB);
    mService->mEvents.add(makeEvent("hang", {makeHandler("h", 0, "echo > out.txt")}));
    std::vector<int> before = tarnd_test::openFds();

    mService->dumpEvent("hang");
    mService->dumpEvent("nope");

    EXPECT_EQ(tarnd_test::openFds(), before);
}

// The records of the bundled worked example, with harmless commands in place of logcat and dmesg.
void buildWorkedExample(TarnDebugService* service, const std::string& dumpRoot) {
    service->mLogDumpPath = String8(dumpRoot.c_str());
    service->mMaxDumpCount = 5;
    service->mMinFreeSpace = 256;
    Handler dmesg = makeHandler("dmesg", 1, "echo dmesg-output > dmesg.txt");
    Handler state = makeHandler("state", 100, "cat");
    state.mDumpParas.add(String8("/sys/kernel/debug/state > state.txt"));
    service->mHandlers.add(dmesg);
    service->mHandlers.add(state);
    service->mGlobalHandlers.add(makeHandler("logcat", 0, "echo logcat-output > logcat.txt"));
    Event hang = makeEvent("hang", {}, 0);
    hang.mKeyWords.add(String8("GPU HANG"));
    hang.mUeventHints.add(String8("hang"));
    hang.mHandlers.add(dmesg);
    hang.mHandlers.editItemAt(0).mLevel = 0;
    service->mEvents.add(hang);
    TarnDebugService::EventGroup gpu(service, String8("gpu"));
    gpu.mEvents.add(hang);
    service->mEventGroups.add(gpu);
    service->mMonitors.add(makeMonitor("main", true, 1, {hang}));
}

std::string workedExampleConfig(const std::string& dumpRoot) {
    return "// dump area and limits\n"
           "global.log_dump_path=" +
           dumpRoot +
           "\n"
           "global.max_dump_count=5\n"
           "global.min_free_space=256\n"
           "handler.dmesg.dump=echo dmesg-output > dmesg.txt\n"
           "handler.dmesg.on=1\n"
           "handler.dmesg.level=1\n"
           "handler.state.dump=cat\n"
           "handler.state.dpara=/sys/kernel/debug/state > state.txt\n"
           "handler.state.on=1\n"
           "ghandler.logcat.dump=echo logcat-output > logcat.txt\n"
           "ghandler.logcat.on=1\n"
           "ghandler.logcat.level=0\n"
           "event.hang.key_word=GPU HANG\n"
           "event.hang.uevent=hang\n"
           "event.hang.policy=once\n"
           "event.hang.handler.dmesg.level=0\n"
           "evtgroup.gpu.event=hang\n"
           "monitor.main.enable=1\n"
           "monitor.main.level=1\n"
           "monitor.main.evtgroup=gpu\n";
}

class WorkedExampleTest : public EventDumpTest, public ::testing::WithParamInterface<bool> {};

// The hang of the worked example is dumped once, into its own directory, and refused after.
TEST_P(WorkedExampleTest, HangDumpedOnceThenRefused) {
    std::string dumpRoot = mRoot.file("debuglogs");
    if (GetParam()) {
        std::string config = mRoot.file("tarndebug.conf");
        tarnd_test::writeFile(config, workedExampleConfig(dumpRoot));
        ASSERT_EQ(mService->parseConfig(config.c_str()), android::NO_ERROR);
        tarnd_test::removeTree(config);
    } else {
        buildWorkedExample(mService.get(), dumpRoot);
    }
    ASSERT_EQ(mService->mMinFreeSpace, 256);

    LogCapture log;
    ZelCapture zel;
    mService->dumpEvent("hang");

    std::string name = std::string("hang") + kMarch5Suffix;
    std::string path = dumpRoot + "/" + name + "/";
    EXPECT_EQ(tarnd_test::listDir(dumpRoot), Lines{name});
    EXPECT_EQ(tarnd_test::listDir(path), (Lines{"dmesg.txt", "logcat.txt"}));
    EXPECT_EQ(tarnd_test::readFile(path + "dmesg.txt"), "dmesg-output\n");
    EXPECT_EQ(tarnd_test::readFile(path + "logcat.txt"), "logcat-output\n");
    EXPECT_TRUE(log.contains("The log level is 1"));
    std::vector<ZelCall> calls = zel.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].event, "hang");
    EXPECT_TRUE(calls[0].fileList == path + "dmesg.txt;" + path + "logcat.txt;" ||
                calls[0].fileList == path + "logcat.txt;" + path + "dmesg.txt;")
            << calls[0].fileList;
    ssize_t hang = TarnDebugService::findByName(mService->mEvents, "hang");
    ASSERT_GE(hang, 0);
    EXPECT_EQ(mService->mEvents[hang].mDumpCount, 1);
    ASSERT_EQ(mService->mHistory.size(), 1u);
    EXPECT_EQ(std::string(mService->mHistory[0].mDumpDirName.string()), name);

    LogCapture second;
    gNow = kMarch5 + 3600;
    mService->dumpEvent("hang");
    EXPECT_TRUE(second.contains("Dump policy for event hang is ONCE, we already dumpped once"));
    EXPECT_EQ(tarnd_test::listDir(dumpRoot), Lines{name});
    EXPECT_EQ(zel.calls().size(), 1u);
    EXPECT_EQ(mService->mEvents[hang].mDumpCount, 1);
    EXPECT_EQ(mService->mHistory.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Records, WorkedExampleTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Parsed" : "BuiltInCode";
                         });

}  // namespace
