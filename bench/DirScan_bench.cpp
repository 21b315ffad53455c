// Cost per event of the dump tree's size scan: every event, valid or not, measures the whole tree
// before anything else, so a name that matches no event times the scan alone. The tree holds
// 50,000 files in 50 dump directories, with a few links among them.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <string>

#include "service/TarnDebugService.h"

namespace android {
namespace {

constexpr int kDumpDirs = 50;
constexpr int kFilesPerDir = 1000;

// A scratch tree under the temporary directory, removed at the end of the run.
struct Tree {
    Tree() {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/dirscan.XXXXXX";
        root = mkdtemp(&pattern[0]) != nullptr ? pattern : "";
        for (int d = 0; d < kDumpDirs && !root.empty(); ++d) {
            std::string dir = root + "/ev_" + std::to_string(d);
            ok &= mkdir(dir.c_str(), 0755) == 0;
            for (int f = 0; f < kFilesPerDir; ++f) {
                std::string file = dir + "/f" + std::to_string(f);
                // Every hundredth entry a link to the file before it: links still cost two.
                int fd = -1;
                if (f % 100 == 99) {
                    ok &= symlink(("f" + std::to_string(f - 1)).c_str(), file.c_str()) == 0;
                } else {
                    fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                    ok &= fd >= 0;
                }
                if (fd >= 0) close(fd);
            }
        }
    }
    ~Tree() {
        if (!root.empty() && system(("rm -rf -- '" + root + "'").c_str()) != 0) {
            fprintf(stderr, "could not remove %s\n", root.c_str());
        }
    }
    std::string root;
    bool ok = true;
};

void BM_SizeScanPerEvent(benchmark::State& state) {
    static Tree tree;
    if (tree.root.empty() || !tree.ok) {
        state.SkipWithError("cannot make the scratch tree");
        return;
    }
    tarnd_host::LogStore::instance().setEcho(false);
    TarnDebugService::Paths paths;
    paths.dataPath = tree.root.c_str();
    sp<TarnDebugService> service = new TarnDebugService(paths, TarnDebugService::Start::kLater);
    service->mLogDumpPath = String8(tree.root.c_str());
    service->mMinFreeSpace = 0;
    for (auto _ : state) service->dumpEvent("no_such_event");
    state.counters["entries"] = kDumpDirs * (kFilesPerDir + 1);
}
BENCHMARK(BM_SizeScanPerEvent)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace android

BENCHMARK_MAIN();
