#include <android/log.h>
#include <ctype.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::sp;
using android::String8;
using Names = std::vector<std::string>;

namespace {

// Names in the order the directory yields them: the order of the removal pass.
Names directoryOrder(const std::string& path) {
    Names names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
    while (struct dirent* e = dir != nullptr ? readdir(dir.get()) : nullptr) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    return names;
}

/// A dump root beside a marker file and a directory that links point to: neither may be touched.
struct DumpRoot {
    DumpRoot() {
        mkdir(root.c_str(), 0755);
        mkdir(target.c_str(), 0755);
        tarnd_test::writeFile(target + "/keep", "outside");
        tarnd_test::writeFile(top.file("marker"), "marker");
        service->mLogDumpPath = String8(root.c_str());
    }

    // 'd' a directory holding a subdirectory and a link out of the root, so that removal must
    // recurse without following links; 'f' a plain file; 'l' a link to the target directory.
    void add(char kind, const std::string& name) {
        std::string path = root + "/" + name;
        if (kind == 'd') {
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
            ASSERT_EQ(mkdir((path + "/sub").c_str(), 0755), 0);
            tarnd_test::writeFile(path + "/sub/log.txt", "log");
            ASSERT_EQ(symlink(target.c_str(), (path + "/escape").c_str()), 0);
        } else if (kind == 'f') {
            tarnd_test::writeFile(path, "file");
        } else {
            ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
        }
    }

    tarnd_host::LogCapture collect(int32_t maxDumpCount) {
        tarnd_host::LogCapture log;
        service->mMaxDumpCount = maxDumpCount;
        service->collectGarbage();
        return log;
    }

    std::string removeLine(const std::string& name) const {
        return "Remove cmd: rm -fr " + root + "/" + name;
    }

    void expectOutsideIntact() const {
        EXPECT_EQ(tarnd_test::listDir(target), Names{"keep"});
        EXPECT_EQ(tarnd_test::readFile(target + "/keep"), "outside");
        EXPECT_EQ(tarnd_test::readFile(top.file("marker")), "marker");
    }

    tarnd_test::TempDir top;
    std::string root = top.file("dumps");
    std::string target = top.file("target");
    sp<android::TarnDebugService> service =
            tarnd_test::makeService(top.file("missing.conf"), top.path());
};

TEST(GarbageCollectorTest, RemovesExactlyTheOlderEntriesEachWithItsOwnLineInDirectoryOrder) {
    // kind:name as for DumpRoot::add; an upper-case kind marks an entry that must go.
    const std::pair<int32_t, const char*> rows[] = {
            // Exactly N; then N + 2, the two oldest go.
            {3, "d:a_20250101_000001 d:b_20250101_000002 d:c_20250101_000003"},
            {3,
             "d:a_20250103_000000 D:b_20250101_120000 d:c_20250105_000000 D:d_20241231_235959 "
             "d:e_20250102_000000"},
            // Fewer than N directories: not even an old file of dump shape goes.
            {3,
             "d:a_20250101_000000 d:b_20250102_000000 f:x.txt d:tmp f:f_20000101_000000 d:a_b_c"},
            // A plain file is not counted, but removed when older than the threshold.
            {2, "d:a_20210101_000000 d:b_20220101_000000 F:f_20200101_000000"},
            // Ties at the threshold both stay.
            {2, "D:a_20200101_000000 d:b_20210101_000000 d:c_20210101_000000 d:d_20220101_000000"},
            // Letters in the stamp: read as atoll does, so the oldest.
            {2, "d:a_20210101_000000 d:b_20220101_000000 D:x_X0250101_000000 D:y_2025a101_000000"},
            // Names shorter than 16 characters never match.
            {1, "d:new_20220101_000000 d:_20200101_00000 f:_2020010_000000 d:a_b"},
            // Links are not counted; an old one is removed, never its target.
            {1, "d:new_20220101_000000 L:old_20200101_000000 l:lnk_20250101_000000"},
            // A name of dump length with one of its two underscores elsewhere is no dump.
            {2,
             "d:a_20210101_000000 d:b_20220101_000000 D:c_20200101_000000 d:_20230101X000000 "
             "d:X20230101_000000"},
            // Same day: the time of day orders too.
            {2, "D:a_20200101_080000 d:b_20200101_100000 d:c_20200101_090000"},
            // A count of 0 or less keeps everything.
            {0, "d:a_20200101_000000 f:f_20190101_000000 l:l_20180101_000000"},
            {-1, "d:a_20200101_000000 d:b_20210101_000000"},
    };
    for (const auto& [maxDumpCount, entries] : rows) {
        SCOPED_TRACE(std::string(entries) + ", max_dump_count " + std::to_string(maxDumpCount));
        DumpRoot dumps;
        std::set<std::string> kept, removed;
        std::istringstream in(entries);
        for (std::string entry; in >> entry;) {
            ASSERT_NO_FATAL_FAILURE(
                    dumps.add(static_cast<char>(tolower(entry[0])), entry.substr(2)));
            (isupper(entry[0]) ? removed : kept).insert(entry.substr(2));
        }
        Names expected;
        for (const std::string& name : directoryOrder(dumps.root)) {
            if (removed.count(name) != 0) expected.push_back(dumps.removeLine(name));
        }
        EXPECT_EQ(dumps.collect(maxDumpCount).messages(), expected);
        EXPECT_EQ(tarnd_test::listDir(dumps.root), Names(kept.begin(), kept.end()));
        dumps.expectOutsideIntact();
    }
}

TEST(GarbageCollectorTest, HostileNameIsRemovedAsOneEntryAndNothingElseRuns) {
    for (const std::string prefix : {"a b;touch pwned", "it's $(touch pwned)"}) {
        std::string hostile = prefix + "_20200101_000000";
        SCOPED_TRACE(hostile);
        DumpRoot dumps;
        ASSERT_NO_FATAL_FAILURE(dumps.add('d', "newest_20990101_000000"));
        ASSERT_NO_FATAL_FAILURE(dumps.add('d', hostile));
        // What an unquoted name would hit: "a" of a name split at its blank, b_... in the cwd.
        ASSERT_NO_FATAL_FAILURE(dumps.add('d', "a"));
        std::string cwd = dumps.top.file("cwd");
        ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
        tarnd_test::writeFile(cwd + "/b_20200101_000000", "cwd marker");

        std::filesystem::path saved = std::filesystem::current_path();
        std::filesystem::current_path(cwd);  // where an escaped command would write
        Names lines = dumps.collect(1).messages();
        std::filesystem::current_path(saved);

        EXPECT_EQ(lines, Names{dumps.removeLine(hostile)});
        EXPECT_EQ(tarnd_test::listDir(dumps.root), (Names{"a", "newest_20990101_000000"}));
        EXPECT_EQ(tarnd_test::listDir(cwd), Names{"b_20200101_000000"});
        EXPECT_EQ(tarnd_test::listDir(dumps.top.path()),
                  (Names{"cwd", "dumps", "marker", "target"}));
        dumps.expectOutsideIntact();
    }
}

void expectOneError(const tarnd_host::LogCapture& log, const std::string& path) {
    EXPECT_EQ(log.messages(), Names{"fail to open log dump dir " + path});
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].prio, ANDROID_LOG_ERROR);
}

TEST(GarbageCollectorTest, RootThatCannotBeOpenedLogsOneErrorAndRemovesNothing) {
    DumpRoot dumps;
    // A plain file of dump shape as the root survives.
    std::string file = dumps.top.file("old_20000101_000000");
    tarnd_test::writeFile(file, "not a directory");
    for (const std::string& path : {dumps.top.file("missing"), file, std::string()}) {
        SCOPED_TRACE(path);
        dumps.service->mLogDumpPath = String8(path.c_str());
        expectOneError(dumps.collect(1), path);
    }
    EXPECT_EQ(tarnd_test::readFile(file), "not a directory");
    dumps.expectOutsideIntact();
}

TEST(GarbageCollectorTest, UnreadableRootLogsOneErrorAndRemovesNothing) {
    if (tarnd_test::isRoot()) GTEST_SKIP() << "root reads every directory";
    DumpRoot dumps;
    ASSERT_NO_FATAL_FAILURE(dumps.add('d', "a_20200101_000000"));
    ASSERT_NO_FATAL_FAILURE(dumps.add('d', "b_20210101_000000"));
    ASSERT_EQ(chmod(dumps.root.c_str(), 0), 0);
    tarnd_host::LogCapture log = dumps.collect(1);
    chmod(dumps.root.c_str(), 0755);
    expectOneError(log, dumps.root);
    EXPECT_EQ(tarnd_test::listDir(dumps.root), (Names{"a_20200101_000000", "b_20210101_000000"}));
}

}  // namespace
