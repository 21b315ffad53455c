#include <android/log.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "housekeeping/DumpStamp.h"
#include "service/TarnDebugService.h"

using android::sp;
using android::String8;
using android::TarnDebugService;
using android::tarnd::dumpStamp;
using android::tarnd::hasDumpDirShape;
using android::tarnd::RetainedStamps;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;

namespace {

// ---- Names and stamps ----------------------------------------------------------------------

struct ShapeRow {
    const char* name;
    bool shape;
};

TEST(DumpStampTest, ShapeIsJudgedByTheLastSixteenCharacters) {
    const ShapeRow rows[] = {
            {"gpu_hang_20250305_070809", true},
            {"_20250305_070809", true},   // exactly 16: an empty event name
            {"x_abcdefgh_ijklmn", true},  // the shape alone, not the digits
            {"________________", true},
            {"a b;$(x)_20250305_070809", true},
            {"20250305_070809", false},  // 15
            {"_2025030_070809", false},  // 15, underscores where a short suffix has them
            {"_20250305_07080", false},  // 15
            {"a_b_c", false},
            {"_", false},
            {"", false},
            {"gpu_hang-20250305_070809", false},
            {"gpu_hang_20250305-070809", false},
            {"gpu_hang_2025030_5070809", false},
            {"gpu_hang_20250305_070809_", false},
            {"gpu_hang_20250305_070809.tar", false},
    };
    for (const ShapeRow& row : rows) {
        EXPECT_EQ(hasDumpDirShape(row.name), row.shape) << '"' << row.name << '"';
    }
}

struct StampRow {
    const char* name;
    uint64_t stamp;
};

TEST(DumpStampTest, StampReadsLeadingDigitsOfDateAndTime) {
    const StampRow rows[] = {
            {"gpu_hang_20250305_070809", 20250305070809ULL},
            {"_20250305_070809", 20250305070809ULL},
            {"x_99999999_999999", 99999999999999ULL},
            {"x_00000000_000000", 0},
            {"bad_X0250101_000000", 0},  // a letter first: no digit, so the oldest
            {"x_abcdefgh_ijklmn", 0},
            {"bad_2025a101_000000", 2025},
            {"bad_20250101_00a000", 2025010100ULL},  // the time continues the date's digits
            {"x_ 0250101_000000", 250101000000ULL},  // leading blanks are skipped, as atoll does
            {"x_+0250101_000000", 250101000000ULL},
            // A sign is read as atoll reads it; as unsigned the value is then the largest.
            {"x_-0000001_000000", static_cast<uint64_t>(-1000000LL)},
    };
    for (const StampRow& row : rows) {
        EXPECT_EQ(dumpStamp(row.name), row.stamp) << '"' << row.name << '"';
    }
}

struct RetainedRow {
    int32_t capacity;
    std::vector<uint64_t> added;
    std::vector<uint64_t> retained;
    bool hasThreshold;
    uint64_t threshold;
};

TEST(DumpStampTest, RetainedSetKeepsTheNewestInOrder) {
    const uint64_t kMax = std::numeric_limits<uint64_t>::max();
    const RetainedRow rows[] = {
            {3, {5, 1, 3}, {1, 3, 5}, true, 1},
            {3, {5, 1}, {1, 5}, false, 0},
            {2, {1, 2, 3, 4}, {3, 4}, true, 3},
            {2, {4, 3, 2, 1}, {3, 4}, true, 3},
            {2, {3, 3, 1}, {3, 3}, true, 3},  // equal stamps are separate members
            {2, {1, 3, 3}, {3, 3}, true, 3},
            {3, {2, 1, 2, 2}, {2, 2, 2}, true, 2},
            {3, {1, 2, 2, 2}, {2, 2, 2}, true, 2},
            {1, {7}, {7}, true, 7},
            {1, {7, 9, 8}, {9}, true, 9},
            {2, {kMax, 5, 6}, {6, kMax}, true, 6},  // compared unsigned
            {5, {}, {}, false, 0},
            {0, {1, 2}, {}, false, 0},  // no room: nothing retained, nothing to remove
            {-1, {1}, {}, false, 0},
            {INT32_MAX, {3, 1, 2}, {1, 2, 3}, false, 0},
    };
    for (const RetainedRow& row : rows) {
        RetainedStamps set(row.capacity);
        for (uint64_t stamp : row.added) set.add(stamp);
        EXPECT_EQ(set.stamps(), row.retained) << "capacity " << row.capacity;
        EXPECT_EQ(set.count(), row.retained.size());
        uint64_t threshold = 12345;
        EXPECT_EQ(set.threshold(&threshold), row.hasThreshold) << "capacity " << row.capacity;
        if (row.hasThreshold) {
            EXPECT_EQ(threshold, row.threshold);
        }
    }
}

// ---- Collections over real directories -----------------------------------------------------

enum class Kind { kDir, kFile, kLink };

struct Entry {
    std::string name;
    Kind kind;
};

// Names in the order the directory yields them, which is the order of the removal pass.
std::vector<std::string> directoryOrder(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (struct dirent* e = readdir(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        names.push_back(e->d_name);
    }
    closedir(dir);
    return names;
}

// Every path under root whose own name contains text, without following links.
void findNamesContaining(const std::string& root, const std::string& text,
                         std::vector<std::string>* found) {
    for (const std::string& name : tarnd_test::listDir(root)) {
        std::string path = root + "/" + name;
        if (name.find(text) != std::string::npos) found->push_back(path);
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            findNamesContaining(path, text, found);
        }
    }
}

/// A dump root with its surroundings: a target directory outside it that links point to, a
/// marker file beside it, and the service whose collector is under test.
class DumpRoot {
  public:
    DumpRoot() : mRoot(mTop.file("dumps")), mTarget(mTop.file("target")) {
        mkdir(mRoot.c_str(), 0755);
        mkdir(mTarget.c_str(), 0755);
        tarnd_test::writeFile(mTarget + "/keep", "outside");
        tarnd_test::writeFile(mTop.file("marker"), "marker");
        mService = tarnd_test::makeService(mTop.file("missing.conf"), mTop.path());
        mService->mLogDumpPath = String8(mRoot.c_str());
    }

    // A directory holds a file, a subdirectory and a link out of the root, so that its removal
    // must be recursive and must not follow the link.
    void add(const Entry& entry) {
        std::string path = mRoot + "/" + entry.name;
        switch (entry.kind) {
            case Kind::kDir:
                ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
                tarnd_test::writeFile(path + "/log.txt", "log");
                ASSERT_EQ(mkdir((path + "/sub").c_str(), 0755), 0);
                tarnd_test::writeFile(path + "/sub/inner.txt", "inner");
                ASSERT_EQ(symlink(mTarget.c_str(), (path + "/escape").c_str()), 0);
                break;
            case Kind::kFile:
                tarnd_test::writeFile(path, "file");
                break;
            case Kind::kLink:
                ASSERT_EQ(symlink(mTarget.c_str(), path.c_str()), 0) << path;
                break;
        }
    }

    void collect(int32_t maxDumpCount) {
        mService->mMaxDumpCount = maxDumpCount;
        mService->collectGarbage();
    }

    // Everything outside the root is as it was made.
    void expectSurroundingsIntact() const {
        EXPECT_EQ(tarnd_test::readFile(mTarget + "/keep"), "outside");
        EXPECT_EQ(tarnd_test::listDir(mTarget), std::vector<std::string>{"keep"});
        EXPECT_EQ(tarnd_test::readFile(mTop.file("marker")), "marker");
    }

    std::string removeLine(const std::string& name) const {
        return "Remove cmd: rm -fr " + mRoot + "/" + name;
    }

    TempDir mTop;
    std::string mRoot;
    std::string mTarget;
    sp<TarnDebugService> mService;
};

struct CollectCase {
    const char* title;
    int32_t maxDumpCount;
    std::vector<Entry> entries;
    std::vector<std::string> removed;
};

void PrintTo(const CollectCase& c, std::ostream* os) { *os << c.title; }

class CollectTest : public ::testing::TestWithParam<CollectCase> {};

TEST_P(CollectTest, RemovesExactlyTheOlderEntriesInDirectoryOrder) {
    const CollectCase& c = GetParam();
    DumpRoot root;
    for (const Entry& entry : c.entries) ASSERT_NO_FATAL_FAILURE(root.add(entry));
    std::vector<std::string> order = directoryOrder(root.mRoot);

    LogCapture log;
    root.collect(c.maxDumpCount);

    std::set<std::string> removed(c.removed.begin(), c.removed.end());
    std::vector<std::string> expectedLines;
    for (const std::string& name : order) {
        if (removed.count(name) != 0) expectedLines.push_back(root.removeLine(name));
    }
    // One command per removed entry, in directory order, and no other message.
    EXPECT_EQ(log.messages(), expectedLines);

    std::vector<std::string> survivors;
    for (const Entry& entry : c.entries) {
        if (removed.count(entry.name) == 0) survivors.push_back(entry.name);
    }
    std::sort(survivors.begin(), survivors.end());
    EXPECT_EQ(tarnd_test::listDir(root.mRoot), survivors);
    root.expectSurroundingsIntact();
}

const Kind D = Kind::kDir;
const Kind F = Kind::kFile;
const Kind L = Kind::kLink;

INSTANTIATE_TEST_SUITE_P(
        Cases, CollectTest,
        ::testing::Values(CollectCase{"ExactlyNKept",
                                      3,
                                      {{"gpu_hang_20250101_000001", D},
                                       {"gpu_hang_20250101_000002", D},
                                       {"display_20250101_000003", D}},
                                      {}},
                          CollectCase{"NPlusTwoRemovesTheTwoOldest",
                                      3,
                                      {{"gpu_hang_20250103_000000", D},
                                       {"display_20250101_120000", D},
                                       {"gpu_hang_20250105_000000", D},
                                       {"vsync_20241231_235959", D},
                                       {"gpu_hang_20250102_000000", D}},
                                      {"vsync_20241231_235959", "display_20250101_120000"}},
                          CollectCase{"FewerThanNWithOtherEntriesRemovesNothing",
                                      5,
                                      {{"gpu_hang_20250101_000000", D},
                                       {"gpu_hang_20250102_000000", D},
                                       {"gpu_hang_20250103_000000", D},
                                       {"notes.txt", F},
                                       {"tmp", D},
                                       {"old_20000101_000000", F},
                                       {"link_20000101_000000", L},
                                       {"a_b_c", D},
                                       {"_2000010_000000", D}},
                                      {}},
                          CollectCase{"PlainFileBelowThresholdRemoved",
                                      2,
                                      {{"a_20210101_000000", D},
                                       {"b_20220101_000000", D},
                                       {"f_20200101_000000", F}},
                                      {"f_20200101_000000"}},
                          CollectCase{"PlainFilesAtOrAboveThresholdKept",
                                      2,
                                      {{"a_20210101_000000", D},
                                       {"b_20220101_000000", D},
                                       {"f_20210101_000000", F},
                                       {"g_20230101_000000", F}},
                                      {}},
                          CollectCase{"TiesAtThresholdBothKept",
                                      2,
                                      {{"a_20200101_000000", D},
                                       {"b_20210101_000000", D},
                                       {"c_20210101_000000", D},
                                       {"d_20220101_000000", D}},
                                      {"a_20200101_000000"}},
                          CollectCase{"AllTiedKept",
                                      1,
                                      {{"b_20210101_000000", D}, {"c_20210101_000000", D}},
                                      {}},
                          CollectCase{"LettersInStampMakeItTheOldest",
                                      2,
                                      {{"a_20210101_000000", D},
                                       {"b_20220101_000000", D},
                                       {"bad_X0250101_000000", D},
                                       {"bad_2025a101_000000", D}},
                                      {"bad_X0250101_000000", "bad_2025a101_000000"}},
                          CollectCase{"NamesShorterThanSixteenNeverMatch",
                                      1,
                                      {{"new_20220101_000000", D},
                                       {"_20200101_00000", D},
                                       {"_2020010_000000", F},
                                       {"a_b", D},
                                       {"x_1_2", F}},
                                      {}},
                          CollectCase{"OldSymlinkRemovedNotItsTarget",
                                      1,
                                      {{"new_20220101_000000", D}, {"link_20200101_000000", L}},
                                      {"link_20200101_000000"}},
                          CollectCase{"SymlinkIsNotCountedAsDumpDirectory",
                                      1,
                                      {{"old_20200101_000000", D}, {"link_20250101_000000", L}},
                                      {}},
                          CollectCase{"ZeroCountKeepsEverything",
                                      0,
                                      {{"a_20200101_000000", D},
                                       {"b_20210101_000000", D},
                                       {"f_20190101_000000", F},
                                       {"link_20180101_000000", L}},
                                      {}},
                          CollectCase{"NegativeCountKeepsEverything",
                                      -1,
                                      {{"a_20200101_000000", D}, {"b_20210101_000000", D}},
                                      {}},
                          CollectCase{"EmptyRoot", 1, {}, {}}),
        [](const ::testing::TestParamInfo<CollectCase>& info) { return info.param.title; });

// ---- Hostile names -------------------------------------------------------------------------

/// Runs the process in a scratch directory for the test's length: a command that escaped its
/// quoting would write there.
class ScopedCwd {
  public:
    explicit ScopedCwd(const std::string& path) {
        char buffer[PATH_MAX];
        if (getcwd(buffer, sizeof(buffer)) != nullptr) mSaved = buffer;
        mOk = chdir(path.c_str()) == 0;
    }
    ~ScopedCwd() {
        if (!mSaved.empty() && chdir(mSaved.c_str()) != 0) ADD_FAILURE() << "cannot restore cwd";
    }
    bool ok() const { return mOk; }

  private:
    std::string mSaved;
    bool mOk;
};

class HostileNameTest : public ::testing::TestWithParam<const char*> {};

TEST_P(HostileNameTest, RemovedAsOneEntryAndNothingElseRuns) {
    const std::string hostile = GetParam();
    ASSERT_TRUE(hasDumpDirShape(hostile.c_str()));
    DumpRoot root;
    ASSERT_NO_FATAL_FAILURE(root.add({"newest_20990101_000000", D}));
    ASSERT_NO_FATAL_FAILURE(root.add({hostile, D}));
    // What an unquoted name would hit: "a" for a name split at a blank, b_... in the cwd.
    ASSERT_EQ(mkdir((root.mRoot + "/a").c_str(), 0755), 0);
    std::string cwd = root.mTop.file("cwd");
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    tarnd_test::writeFile(cwd + "/b_20200101_000000", "cwd marker");

    LogCapture log;
    {
        ScopedCwd scoped(cwd);
        ASSERT_TRUE(scoped.ok());
        root.collect(1);
    }

    EXPECT_EQ(log.messages(), std::vector<std::string>{root.removeLine(hostile)});
    EXPECT_EQ(tarnd_test::listDir(root.mRoot),
              (std::vector<std::string>{"a", "newest_20990101_000000"}));
    EXPECT_EQ(tarnd_test::listDir(cwd), std::vector<std::string>{"b_20200101_000000"});
    EXPECT_EQ(tarnd_test::listDir(root.mTop.path()),
              (std::vector<std::string>{"cwd", "dumps", "marker", "target"}));
    std::vector<std::string> pwned;
    findNamesContaining(root.mTop.path(), "pwned", &pwned);
    EXPECT_EQ(pwned, std::vector<std::string>{});
    root.expectSurroundingsIntact();
}

INSTANTIATE_TEST_SUITE_P(
        Names, HostileNameTest,
        ::testing::Values("x;touch pwned_20250101_000000", "a b_20200101_000000",
                          "  lead and trail  _20200101_000000", "it's_20200101_000000",
                          "'_20200101_000000", "q\"uote_20200101_000000",
                          "$(touch pwned)_20200101_000000", "`touch pwned`_20200101_000000",
                          "x&&touch pwned_20200101_000000", "x|touch pwned_20200101_000000",
                          "x>pwned_20200101_000000", "*_20200101_000000", "-rf_20200101_000000",
                          "~_20200101_000000", "back\\slash_20200101_000000",
                          "x\ttab_20200101_000000", "new\nline;touch pwned_20200101_000000",
                          "%s%n_20200101_000000"));

// ---- A root that cannot be listed ----------------------------------------------------------

struct BadRootCase {
    const char* title;
    int32_t maxDumpCount;
};

void PrintTo(const BadRootCase& c, std::ostream* os) { *os << c.title; }

class BadRootTest : public ::testing::TestWithParam<BadRootCase> {};

std::vector<tarnd_host::LogLine> errorsOf(const LogCapture& log) {
    std::vector<tarnd_host::LogLine> errors;
    for (const tarnd_host::LogLine& line : log.lines()) {
        if (line.prio == ANDROID_LOG_ERROR) errors.push_back(line);
    }
    return errors;
}

TEST_P(BadRootTest, MissingRootLogsOneErrorAndRemovesNothing) {
    DumpRoot root;
    std::string missing = root.mTop.file("missing");
    root.mService->mLogDumpPath = String8(missing.c_str());
    LogCapture log;
    root.collect(GetParam().maxDumpCount);
    EXPECT_EQ(log.messages(), std::vector<std::string>{"fail to open log dump dir " + missing});
    EXPECT_EQ(errorsOf(log).size(), 1u);
    EXPECT_FALSE(tarnd_test::exists(missing));
    root.expectSurroundingsIntact();
}

TEST_P(BadRootTest, EmptyRootPathLogsOneError) {
    DumpRoot root;
    root.mService->mLogDumpPath = String8("");
    LogCapture log;
    root.collect(GetParam().maxDumpCount);
    EXPECT_EQ(log.messages(), std::vector<std::string>{"fail to open log dump dir "});
    EXPECT_EQ(errorsOf(log).size(), 1u);
}

TEST_P(BadRootTest, PlainFileAsRootLogsOneErrorAndSurvives) {
    DumpRoot root;
    std::string file = root.mTop.file("old_20000101_000000");
    tarnd_test::writeFile(file, "not a directory");
    root.mService->mLogDumpPath = String8(file.c_str());
    LogCapture log;
    root.collect(GetParam().maxDumpCount);
    EXPECT_EQ(log.messages(), std::vector<std::string>{"fail to open log dump dir " + file});
    EXPECT_EQ(tarnd_test::readFile(file), "not a directory");
}

TEST_P(BadRootTest, UnreadableRootLogsOneErrorAndRemovesNothing) {
    if (tarnd_test::isRoot()) GTEST_SKIP() << "root reads every directory";
    DumpRoot root;
    ASSERT_NO_FATAL_FAILURE(root.add({"a_20200101_000000", D}));
    ASSERT_NO_FATAL_FAILURE(root.add({"b_20210101_000000", D}));
    ASSERT_EQ(chmod(root.mRoot.c_str(), 0), 0);
    LogCapture log;
    root.collect(GetParam().maxDumpCount);
    chmod(root.mRoot.c_str(), 0755);
    EXPECT_EQ(log.messages(), std::vector<std::string>{"fail to open log dump dir " + root.mRoot});
    EXPECT_EQ(tarnd_test::listDir(root.mRoot),
              (std::vector<std::string>{"a_20200101_000000", "b_20210101_000000"}));
}

INSTANTIATE_TEST_SUITE_P(Counts, BadRootTest,
                         ::testing::Values(BadRootCase{"CountOne", 1}, BadRootCase{"CountTen", 10},
                                           BadRootCase{"CountZero", 0},
                                           BadRootCase{"CountNegative", -5}),
                         [](const ::testing::TestParamInfo<BadRootCase>& info) {
                             return info.param.title;
                         });

// ---- Twelve dumps, five kept ---------------------------------------------------------------

TEST(GarbageCollectorTest, TwelveDumpsFiveKeptOneCommandEach) {
    DumpRoot root;
    std::vector<std::string> names;
    for (int i = 1; i <= 12; ++i) {
        // Months 1 to 12 of one year, made in reverse so that names and stamps disagree.
        names.push_back(String8::format("ev%02d_2025%02d01_000000", 13 - i, i).string());
        ASSERT_NO_FATAL_FAILURE(root.add({names.back(), D}));
    }
    std::vector<std::string> order = directoryOrder(root.mRoot);
    LogCapture log;
    root.collect(5);

    std::vector<std::string> kept(names.end() - 5, names.end());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(tarnd_test::listDir(root.mRoot), kept);
    std::vector<std::string> expected;
    for (const std::string& name : order) {
        if (std::find(kept.begin(), kept.end(), name) == kept.end()) {
            expected.push_back(root.removeLine(name));
        }
    }
    EXPECT_EQ(log.messages(), expected);
    EXPECT_EQ(expected.size(), 7u);

    // A second collection finds nothing more to do.
    LogCapture again;
    root.collect(5);
    EXPECT_EQ(again.messages(), std::vector<std::string>{});
    EXPECT_EQ(tarnd_test::listDir(root.mRoot), kept);
}

}  // namespace
