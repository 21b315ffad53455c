#include "housekeeping/LogGCThread.h"

#include <android/log.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tarnd_host/LogStore.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "service/TarnDebugService.h"

using android::LogGCThread;
using android::sp;
using android::String8;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;

namespace {

const char kStart[] = "LogGCThread: Start garbage collection";
const char kFinish[] = "LogGCThread: Finish garbage collection";
// The pause of the daemon: a test that waited for it would never end.
constexpr int32_t kDaemonInterval = 1800;

/// An idle service over a dump root holding an older and a newer dump directory, one to keep.
class GcFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        mRoot = mTop.file("dumps");
        ASSERT_EQ(mkdir(mRoot.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((mRoot + "/old_20200101_000000").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((mRoot + "/new_20250101_000000").c_str(), 0755), 0);
        mService = tarnd_test::makeService(mTop.file("missing.conf"), mTop.path());
        mService->mLogDumpPath = String8(mRoot.c_str());
        mService->mMaxDumpCount = 1;
    }

    // Names of this process's threads, as the kernel keeps them.
    std::vector<std::string> threadNames() const {
        std::vector<std::string> names;
        for (const std::string& tid : tarnd_test::listDir("/proc/self/task")) {
            std::string comm = tarnd_test::readFile("/proc/self/task/" + tid + "/comm");
            if (!comm.empty() && comm.back() == '\n') comm.pop_back();
            names.push_back(comm);
        }
        return names;
    }

    bool hasLogGcThread() const {
        std::vector<std::string> names = threadNames();
        return std::find(names.begin(), names.end(), "TARND LogGC") != names.end();
    }

    TempDir mTop;
    std::string mRoot;
    sp<TarnDebugService> mService;
};

TEST_F(GcFixture, FirstCollectionRunsAtStartAndExitCutsThePauseShort) {
    LogCapture log;
    sp<LogGCThread> thread = new LogGCThread(mService.get(), kDaemonInterval);
    EXPECT_EQ(thread->mService, mService.get());
    EXPECT_EQ(thread->mInterval, kDaemonInterval);
    ASSERT_EQ(thread->run("TARND LogGC", 0, 0), android::NO_ERROR);

    ASSERT_TRUE(log.waitFor(kFinish));
    std::vector<std::string> expected = {
            kStart, "Remove cmd: rm -fr " + mRoot + "/old_20200101_000000", kFinish};
    EXPECT_EQ(log.messages(), expected);
    EXPECT_EQ(tarnd_test::listDir(mRoot), std::vector<std::string>{"new_20250101_000000"});
    EXPECT_TRUE(thread->isRunning());
    EXPECT_TRUE(hasLogGcThread());

    // Now in (or about to enter) its half-hour pause: without the wake-up, join would not return.
    thread->requestExit();
    EXPECT_EQ(thread->join(), android::NO_ERROR);
    EXPECT_FALSE(thread->isRunning());
    EXPECT_EQ(log.count(kStart), 1u);
    EXPECT_EQ(log.count(kFinish), 1u);
    EXPECT_FALSE(hasLogGcThread());
}

TEST_F(GcFixture, DestroyingTheServiceWakesAndJoinsTheThread) {
    LogCapture log;
    sp<LogGCThread> thread = new LogGCThread(mService.get(), kDaemonInterval);
    mService->mLogGCThread = thread;
    thread->run("TARND LogGC", 0, 0);
    ASSERT_TRUE(log.waitFor(kFinish));

    mService.clear();  // the destructor asks the thread to exit and joins it
    EXPECT_FALSE(thread->isRunning());
    EXPECT_FALSE(hasLogGcThread());
    EXPECT_EQ(log.count(kStart), 1u);
}

TEST_F(GcFixture, ExitRequestedBeforeThePauseEndsAfterOneCollection) {
    LogCapture log;
    sp<LogGCThread> thread = new LogGCThread(mService.get(), kDaemonInterval);
    thread->run("TARND LogGC", 0, 0);
    // Asked at once: whether the request lands during the collection or the pause, the thread
    // finishes the collection it began and does not wait out the interval.
    thread->requestExit();
    EXPECT_EQ(thread->join(), android::NO_ERROR);
    EXPECT_FALSE(thread->isRunning());
    EXPECT_LE(log.count(kStart), 1u);
    EXPECT_EQ(log.count(kStart), log.count(kFinish));
}

// Without a pause the collections follow each other: each one reports the missing root once,
// and the thread keeps retrying.
TEST_F(GcFixture, MissingRootIsReportedOncePerCollectionAndRetried) {
    std::string missing = mTop.file("missing");
    mService->mLogDumpPath = String8(missing.c_str());
    bool echo = tarnd_host::LogStore::instance().echo();
    tarnd_host::LogStore::instance().setEcho(false);
    LogCapture log;
    sp<LogGCThread> thread = new LogGCThread(mService.get(), 0);
    thread->run("TARND LogGC", 0, 0);
    bool three = log.waitFor(kFinish, 3);
    thread->requestExit();
    thread->join();
    tarnd_host::LogStore::instance().setEcho(echo);
    ASSERT_TRUE(three);

    std::vector<std::string> messages = log.messages();
    ASSERT_GE(messages.size(), 9u);
    ASSERT_EQ(messages.size() % 3, 0u);
    for (size_t i = 0; i < messages.size(); i += 3) {
        EXPECT_EQ(messages[i], kStart);
        EXPECT_EQ(messages[i + 1], "fail to open log dump dir " + missing);
        EXPECT_EQ(messages[i + 2], kFinish);
    }
    size_t errors = 0;
    for (const tarnd_host::LogLine& line : log.lines()) {
        if (line.prio == ANDROID_LOG_ERROR) ++errors;
    }
    EXPECT_EQ(errors, log.count(kStart));
}

}  // namespace
