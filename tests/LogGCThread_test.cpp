#include "housekeeping/LogGCThread.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"

// The daemon's half-hour pause: only the wake-up on exit lets the join at destruction return.
TEST(LogGCThreadTest, CollectsAtStartAndDestroyingTheServiceCutsThePauseShort) {
    tarnd_test::TempDir top;
    const std::string root = top.file("dumps"), finish = "LogGCThread: Finish garbage collection";
    std::filesystem::create_directories(root + "/old_20200101_000000");
    std::filesystem::create_directories(root + "/new_20250101_000000");
    auto service = tarnd_test::makeService(top.file("missing.conf"), top.path());
    service->mLogDumpPath = android::String8(root.c_str());
    service->mMaxDumpCount = 1;
    tarnd_host::LogCapture log;
    android::sp<android::LogGCThread> thread = new android::LogGCThread(service.get(), 1800);
    service->mLogGCThread = thread;
    ASSERT_EQ(thread->run("TARND LogGC", 0, 0), android::NO_ERROR);
    ASSERT_TRUE(log.waitFor(finish));
    EXPECT_EQ(tarnd_test::threadsNamedSoon("TARND LogGC"), 1);
    service.clear();  // the destructor asks the thread to exit and joins it
    EXPECT_FALSE(thread->isRunning());
    EXPECT_TRUE(tarnd_test::threadGone("TARND LogGC"));
    // One collection only: the wake-up at exit ends the thread without another.
    EXPECT_EQ(tarnd_test::logText(log),
              "LogGCThread: Start garbage collection|Remove cmd: rm -fr " + root +
                      "/old_20200101_000000|" + finish);
}
