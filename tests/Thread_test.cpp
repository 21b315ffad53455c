#include <gtest/gtest.h>
#include <utils/Thread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "TestSupport.h"

using android::NO_ERROR;
using android::sp;
using android::status_t;
using android::Thread;
using android::UNKNOWN_ERROR;

namespace {

// Counts its calls; readyToRun answers what the test asks, threadLoop runs until told.
class CountingThread : public Thread {
  public:
    CountingThread(status_t ready, int loopsBeforeFalse)
        : mReady(ready), mLoopsBeforeFalse(loopsBeforeFalse) {}

    status_t readyToRun() override {
        mReadyCalls++;
        return mReady;
    }

    std::atomic<int> mReadyCalls{0};
    std::atomic<int> mLoops{0};
    std::atomic<bool> mDestroyed{false};

  private:
    bool threadLoop() override {
        int n = ++mLoops;
        if (mLoopsBeforeFalse > 0 && n >= mLoopsBeforeFalse) return false;
        usleep(1000);
        return true;
    }

    status_t mReady;
    int mLoopsBeforeFalse;
};

class FirstRefThread : public Thread {
  public:
    explicit FirstRefThread(std::atomic<int>* firstRefs) : mFirstRefs(firstRefs) {}
    void onFirstRef() override { (*mFirstRefs)++; }

  private:
    bool threadLoop() override { return false; }
    std::atomic<int>* mFirstRefs;
};

}  // namespace

TEST(ThreadTest, FailedReadyToRunEndsThreadWithoutLoop) {
    sp<CountingThread> t = new CountingThread(UNKNOWN_ERROR, 0);
    ASSERT_EQ(t->run("failing", 0, 0), NO_ERROR);
    EXPECT_EQ(t->join(), UNKNOWN_ERROR);
    EXPECT_EQ(t->mReadyCalls, 1);
    EXPECT_EQ(t->mLoops, 0);
    EXPECT_FALSE(t->isRunning());
}

TEST(ThreadTest, LoopEndsWhenThreadLoopReturnsFalse) {
    sp<CountingThread> t = new CountingThread(NO_ERROR, 5);
    ASSERT_EQ(t->run("five", 0, 0), NO_ERROR);
    EXPECT_EQ(t->join(), NO_ERROR);
    EXPECT_EQ(t->mLoops, 5);
}

TEST(ThreadTest, RequestExitAndWaitJoins) {
    int before = tarnd_test::threadCount();
    sp<CountingThread> t = new CountingThread(NO_ERROR, 0);
    ASSERT_EQ(t->run("forever", 0, 0), NO_ERROR);
    while (t->mLoops == 0) usleep(1000);
    EXPECT_TRUE(t->isRunning());
    EXPECT_EQ(t->requestExitAndWait(), NO_ERROR);
    EXPECT_FALSE(t->isRunning());
    EXPECT_EQ(tarnd_test::threadCount(), before);
}

TEST(ThreadTest, RunningThreadKeepsItselfAliveAfterLastExternalReference) {
    std::atomic<int> firstRefs{0};
    {
        sp<FirstRefThread> t = new FirstRefThread(&firstRefs);
        EXPECT_EQ(firstRefs, 1);
        t->run("self", 0, 0);
    }
    // The object deletes itself once its loop has ended; the first reference was seen once.
    EXPECT_EQ(firstRefs, 1);
}

TEST(ThreadTest, NameIsSetAndCutToKernelLimit) {
    std::mutex lock;
    std::condition_variable cond;
    std::string seen;
    class NamedThread : public Thread {
      public:
        NamedThread(std::mutex& l, std::condition_variable& c, std::string& s)
            : mLock(l), mCond(c), mSeen(s) {}

      private:
        bool threadLoop() override {
            char name[32] = {};
            pthread_getname_np(pthread_self(), name, sizeof(name));
            std::lock_guard<std::mutex> g(mLock);
            mSeen = name;
            mCond.notify_all();
            return false;
        }
        std::mutex& mLock;
        std::condition_variable& mCond;
        std::string& mSeen;
    };
    sp<NamedThread> t = new NamedThread(lock, cond, seen);
    t->run("TARND Logcat Detect", 0, 0);
    t->join();
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(seen, "TARND Logcat De");
}
