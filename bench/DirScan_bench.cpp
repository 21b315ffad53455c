// Cost per event of the dump tree's size scan: every event, valid or not, measures the whole tree
// before anything else, so a name that matches no event times the scan alone. The tree holds
// 50,000 files in 50 dump directories, with a few links among them.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <tarnd_host/LogStore.h>
#include <unistd.h>

#include <string>

#include "service/TarnDebugService.h"
#include "tests/TestSupport.h"

namespace android::tarnd {
namespace {

constexpr int kDumpDirs = 50;
constexpr int kFilesPerDir = 1000;

// A scratch tree under the temporary directory, removed at the end of the run.
struct Tree {
    Tree() {
        for (int d = 0; d < kDumpDirs; ++d) {
            std::string dir = scratch.file("ev_" + std::to_string(d));
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
    tarnd_test::ScratchDir scratch{"dirscan"};
    bool ok = true;
};

void BM_SizeScanPerEvent(benchmark::State& state) {
    static Tree tree;
    if (!tree.ok) {
        state.SkipWithError("cannot make the scratch tree");
        return;
    }
    tarnd_host::LogStore::instance().setEcho(false);
    TarnDebugService::Paths paths;
    paths.dataPath = tree.scratch.path().c_str();
    sp<TarnDebugService> service = new TarnDebugService(paths, TarnDebugService::Start::kLater);
    service->mLogDumpPath = String8(tree.scratch.path().c_str());
    service->mMinFreeSpace = 0;
    for (auto _ : state) service->dumpEvent("no_such_event");
    state.counters["entries"] = kDumpDirs * (kFilesPerDir + 1);
}
BENCHMARK(BM_SizeScanPerEvent)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace android::tarnd

BENCHMARK_MAIN();
