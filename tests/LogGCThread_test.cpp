#include "housekeeping/LogGCThread.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"
#include "service/ThreadName.h"

// The daemon's half-hour pause: only the wake-up on exit lets the join at destruction return.
// The thread collects once as it starts, then pauses.
TEST(LogGCThreadTest, DestructionCutsThePauseAfterTheFirstCollection) {
    tarnd_test::ScratchService s;
    const std::string root = s.dir.file("dumps"), finish = "LogGCThread: Finish garbage collection";
    const std::string name = tarnd_test::shownName(android::tarnd::kLogGCThreadName);
    std::filesystem::create_directories(root + "/old_20200101_000000");
    std::filesystem::create_directories(root + "/new_20250101_000000");
    s.service->mLogDumpPath = android::String8(root.c_str());
    s.service->mMaxDumpCount = 1;
    tarnd_host::LogCapture log;
    android::sp<android::tarnd::LogGCThread> thread =
            new android::tarnd::LogGCThread(s.service.get(), 1800);
    s.service->mLogGCThread = thread;
    ASSERT_EQ(thread->run(android::tarnd::kLogGCThreadName, 0, 0), android::NO_ERROR);
    ASSERT_TRUE(log.waitFor(finish));
    EXPECT_EQ(tarnd_test::threadsNamedSoon(name), 1);
    s.service.clear();  // the destructor asks the thread to exit and joins it
    EXPECT_FALSE(thread->isRunning());
    EXPECT_TRUE(tarnd_test::threadGone(name));
    // One collection only: the wake-up at exit ends the thread without another.
    EXPECT_EQ(tarnd_test::logText(log),
              "LogGCThread: Start garbage collection|Remove cmd: rm -fr " + root +
                      "/old_20200101_000000|" + finish);
}
