#include <gtest/gtest.h>
#include <utils/Thread.h>

#include <atomic>

#include "TestSupport.h"
#include "service/ThreadName.h"

using android::NO_ERROR;
using android::sp;
using android::status_t;
using android::Thread;
using android::UNKNOWN_ERROR;

namespace {

// Counts its calls; threadLoop returns false after `loops` passes (never when 0) and records
// the thread's name, which it sets itself as the daemon's workers do.
class CountingThread : public Thread {
  public:
    CountingThread(status_t ready, int loops, const char* name = nullptr)
        : mReady(ready), mLoopsBeforeFalse(loops), mSelfName(name) {}
    status_t readyToRun() override {
        if (mSelfName != nullptr) android::tarnd::nameThisThread(mSelfName);
        mReadyCalls++;
        return mReady;
    }
    std::atomic<int> mReadyCalls{0};
    std::atomic<int> mLoops{0};
    char mName[32] = {};

  private:
    bool threadLoop() override {
        if (mLoops == 0) pthread_getname_np(pthread_self(), mName, sizeof(mName));
        int n = ++mLoops;
        if (mLoopsBeforeFalse > 0 && n >= mLoopsBeforeFalse) return false;
        usleep(1000);
        return true;
    }
    status_t mReady;
    int mLoopsBeforeFalse;
    const char* mSelfName;
};

}  // namespace

TEST(ThreadTest, FailedReadyToRunEndsThreadWithoutLoop) {
    sp<CountingThread> t = new CountingThread(UNKNOWN_ERROR, 0);
    ASSERT_EQ(t->run("failing", 0, 0), NO_ERROR);
    EXPECT_EQ(t->join(), UNKNOWN_ERROR);
    EXPECT_EQ(t->mReadyCalls, 1);
    EXPECT_EQ(t->mLoops, 0);
}

TEST(ThreadTest, LoopsUntilFalseUnderItsNameCutToKernelLimit) {
    sp<CountingThread> t = new CountingThread(NO_ERROR, 5, android::tarnd::kLogcatThreadName);
    ASSERT_EQ(t->run(android::tarnd::kLogcatThreadName, 0, 0), NO_ERROR);
    EXPECT_EQ(t->join(), NO_ERROR);
    EXPECT_EQ(t->mLoops, 5);
    EXPECT_STREQ(t->mName, "TARND Logcat De");
}

TEST(ThreadTest, RequestExitAndWaitJoins) {
    sp<CountingThread> t = new CountingThread(NO_ERROR, 0, "forever");
    ASSERT_EQ(t->run("forever", 0, 0), NO_ERROR);
    while (t->mLoops == 0) usleep(1000);
    EXPECT_EQ(tarnd_test::threadsNamed("forever"), 1);
    EXPECT_EQ(t->requestExitAndWait(), NO_ERROR);
    EXPECT_FALSE(t->isRunning());
    EXPECT_TRUE(tarnd_test::threadGone("forever"));
}
