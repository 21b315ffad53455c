#include <utils/Thread.h>

namespace android {

Thread::Thread(bool /*canCallJava*/) : mExitPending(false), mRunning(false), mStatus(NO_ERROR) {}

Thread::~Thread() { joinOrDetach(); }

void Thread::joinOrDetach() {
    if (!mThread.joinable()) return;
    // The last reference may be dropped by the thread itself when its loop ends.
    if (mThread.get_id() == std::this_thread::get_id()) {
        mThread.detach();
    } else {
        mThread.join();
    }
}

status_t Thread::run(const char* name, int32_t /*priority*/, size_t /*stack*/) {
    std::unique_lock<std::mutex> lock(mLock);
    if (mRunning) return INVALID_OPERATION;
    mStatus = NO_ERROR;
    mExitPending = false;
    mRunning = true;
    mHoldSelf = this;
    // The name goes unused, as in the platform's host build: only a device build names the thread.
    (void)name;
    lock.unlock();
    // A thread object is started once; joining an earlier run keeps std::thread reusable.
    joinOrDetach();
    mThread = std::thread([this] { threadMain(); });
    return NO_ERROR;
}

void Thread::threadMain() {
    status_t status = readyToRun();
    bool keepGoing = status == NO_ERROR && !exitPending();
    {
        std::lock_guard<std::mutex> lock(mLock);
        mStatus = status;
    }
    while (keepGoing) {
        keepGoing = threadLoop();
        if (exitPending()) keepGoing = false;
    }
    sp<Thread> self;
    {
        std::lock_guard<std::mutex> lock(mLock);
        mExitPending = true;
        mRunning = false;
        self = mHoldSelf;  // released outside the lock: it may delete this object
        mHoldSelf.clear();
    }
    mThreadExitedCondition.notify_all();
}

void Thread::requestExit() {
    std::lock_guard<std::mutex> lock(mLock);
    mExitPending = true;
}

status_t Thread::readyToRun() { return NO_ERROR; }

status_t Thread::requestExitAndWait() {
    if (mThread.joinable() && mThread.get_id() == std::this_thread::get_id()) {
        return WOULD_BLOCK;
    }
    Thread::requestExit();
    return join();
}

status_t Thread::join() {
    if (mThread.joinable() && mThread.get_id() == std::this_thread::get_id()) {
        return WOULD_BLOCK;
    }
    std::unique_lock<std::mutex> lock(mLock);
    mThreadExitedCondition.wait(lock, [this] { return !mRunning; });
    lock.unlock();
    if (mThread.joinable()) mThread.join();
    return mStatus;
}

bool Thread::isRunning() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mRunning;
}

bool Thread::exitPending() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mExitPending;
}

}  // namespace android
