#include "housekeeping/LogGCThread.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tarnd_host/LogStore.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

namespace {

TEST(LogGCThreadTest, CollectsAtStartAndDestroyingTheServiceCutsThePauseShort) {
    const std::string kFinish = "LogGCThread: Finish garbage collection";
    tarnd_test::TempDir top;
    std::string root = top.file("dumps");
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/old_20200101_000000").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/new_20250101_000000").c_str(), 0755), 0);
    android::sp<android::TarnDebugService> service =
            tarnd_test::makeService(top.file("missing.conf"), top.path());
    service->mLogDumpPath = android::String8(root.c_str());
    service->mMaxDumpCount = 1;

    tarnd_host::LogCapture log;
    // The daemon's half-hour pause: only the wake-up on exit lets the join below return.
    android::sp<android::LogGCThread> thread = new android::LogGCThread(service.get(), 1800);
    service->mLogGCThread = thread;
    ASSERT_EQ(thread->run("TARND LogGC", 0, 0), android::NO_ERROR);
    ASSERT_TRUE(log.waitFor(kFinish));
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{"LogGCThread: Start garbage collection",
                                        "Remove cmd: rm -fr " + root + "/old_20200101_000000",
                                        kFinish}));
    EXPECT_EQ(tarnd_test::listDir(root), std::vector<std::string>{"new_20250101_000000"});
    EXPECT_EQ(tarnd_test::threadsNamedSoon("TARND LogGC"), 1);

    service.clear();  // the destructor asks the thread to exit and joins it
    EXPECT_FALSE(thread->isRunning());
    EXPECT_TRUE(tarnd_test::threadGone("TARND LogGC"));
    EXPECT_EQ(log.count(kFinish), 1u);
}

}  // namespace
