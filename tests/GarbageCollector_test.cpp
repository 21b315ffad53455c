#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "TestSupport.h"
#include "base/UniqueDir.h"

using tarnd_test::listDir;

namespace {

/// A dump root in the scratch directory that its links point back to; collections run in the
/// scratch directory, where an escaped command would write. Nothing outside the root may change.
struct DumpRoot : tarnd_test::ScratchService {
    DumpRoot() {
        std::filesystem::create_directory(root);
        tarnd_test::writeFile(dir.file("keep"), "outside");
        service->mLogDumpPath = android::String8(root.c_str());
    }

    // 'd' a directory holding a subdirectory with a link out of the root, so that removal must
    // recurse without following links; 'f' a plain file; 'l' a link to the scratch directory.
    void add(char kind, const std::string& name) {
        const std::string at = root + "/" + name;
        if (kind == 'f') return tarnd_test::writeFile(at, "file");
        if (kind == 'd') std::filesystem::create_directories(at + "/sub");
        std::filesystem::create_directory_symlink(dir.path(), kind == 'd' ? at + "/sub/up" : at);
    }

    // What the collection logs, as logText shows it.
    std::string collect(int32_t maxDumpCount) {
        tarnd_host::LogCapture log;
        service->mMaxDumpCount = maxDumpCount;
        service->collectGarbage();
        EXPECT_EQ(listDir(dir.path()), (std::vector<std::string>{"dumps", "keep"}));
        return tarnd_test::logText(log);
    }

    std::string root = dir.file("dumps");
};

TEST(GarbageCollectorTest, RemovesExactlyTheOlderEntriesEachWithItsOwnLineInDirectoryOrder) {
    // kind:name as for DumpRoot::add; an upper-case kind marks an entry that must go.
    const std::pair<int32_t, const char*> rows[] = {
            // Fewer than N directories: not even an old file of dump shape goes.
            {3, "d:a_20250101_000000 d:b_20250102_000000 f:x.txt d:tmp f:f_20000101_000000"},
            // Plain files and links are not counted, but removed when older than the threshold;
            // a link never with its target.
            {1, "d:b_20220101_000000 F:f_20200101_000000 L:o_20200101_000000 l:n_20250101_000000"},
            // Letters in the stamp: read as atoll does, so the oldest.
            {2, "d:a_20210101_000000 d:b_20220101_000000 D:x_X0250101_000000 D:y_2025a101_000000"},
            // Names shorter than 16 characters, or of that length with only one of the two
            // underscores in place, are no dumps.
            {1, "d:n_20220101_000000 d:_20200101_00000 d:_20230101X000000 d:X20230101_000000"},
            // Same day: the time of day orders too. Ties at the threshold both stay.
            {2, "D:a_20200101_080000 d:b_20200101_100000 d:c_20200101_090000 d:e_20200101_090000"},
            // A name is one quoted word to the shell, whatever it holds.
            {1, "d:n_20990101_000000 D:x;$(touch${IFS}p)_20200101_000000 D:'_20200101_000000"},
            // A count of 0 or less keeps everything.
            {0, "d:a_20200101_000000 f:f_20190101_000000 l:l_20180101_000000"},
    };
    for (const auto& [maxDumpCount, entries] : rows) {
        SCOPED_TRACE(std::string(entries) + ", max_dump_count " + std::to_string(maxDumpCount));
        DumpRoot dumps;
        std::set<std::string> kept, removed;
        std::istringstream in(entries);
        for (std::string entry; in >> entry;) {
            dumps.add(static_cast<char>(tolower(entry[0])), entry.substr(2));
            (isupper(entry[0]) ? removed : kept).insert(entry.substr(2));
        }
        // The removal pass goes in the order the directory yields the names.
        std::string expected;
        for (android::tarnd::UniqueDir dir(opendir(dumps.root.c_str()));
             dirent* e = readdir(dir.get());)
            if (removed.count(e->d_name))
                expected += "|Remove cmd: rm -fr " + dumps.root + "/" + e->d_name;
        EXPECT_EQ(dumps.collect(maxDumpCount), expected.erase(0, 1));
        EXPECT_EQ(listDir(dumps.root), std::vector<std::string>(kept.begin(), kept.end()));
    }
}

// A root that is missing or unset (not the working directory): one ERROR line and no removal.
TEST(GarbageCollectorTest, RootThatCannotBeOpenedLogsOneError) {
    DumpRoot dumps;
    for (const std::string& path : {dumps.root + "/none", std::string()}) {
        dumps.service->mLogDumpPath = android::String8(path.c_str());
        EXPECT_EQ(dumps.collect(1), "E:fail to open log dump dir " + path);
    }
}

}  // namespace
