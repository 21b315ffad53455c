// Host stand-in for libutils' Thread: a named thread that runs readyToRun() once, then
// threadLoop() until it returns false or exit is requested.
#pragma once

#include <stddef.h>
#include <utils/Errors.h>
#include <utils/RefBase.h>
#include <utils/ThreadDefs.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace android {

class Thread : virtual public RefBase {
  public:
    explicit Thread(bool canCallJava = true);
    virtual ~Thread();

    // Starts the thread. The thread holds a strong reference to itself while it runs.
    virtual status_t run(const char* name = 0, int32_t priority = PRIORITY_DEFAULT,
                         size_t stack = 0);
    // Asks the loop to end after the current threadLoop() call.
    virtual void requestExit();
    // Called once on the new thread before the first threadLoop(); a non-zero result ends it.
    virtual status_t readyToRun();
    // Sets the exit flag, then waits until the thread has ended. Like the real one, it does not
    // call an overridden requestExit(): a thread that blocks until woken must be stopped with
    // requestExit() and join(). Must not be called on the thread.
    status_t requestExitAndWait();
    // Waits until the thread has ended, without asking it to.
    status_t join();
    bool isRunning() const;

  protected:
    bool exitPending() const;

  private:
    virtual bool threadLoop() = 0;

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    void threadMain();
    void joinOrDetach();

    mutable std::mutex mLock;
    std::condition_variable mThreadExitedCondition;
    std::thread mThread;
    sp<Thread> mHoldSelf;  // keeps the object alive until the loop has ended
    bool mExitPending;
    bool mRunning;
    status_t mStatus;
};

}  // namespace android
