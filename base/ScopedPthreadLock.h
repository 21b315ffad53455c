#pragma once

#include <pthread.h>

namespace android::tarnd {

/// Holds a pthread mutex for the life of a scope, so that every way out unlocks it.
class ScopedPthreadLock {
  public:
    explicit ScopedPthreadLock(pthread_mutex_t* lock) : mLock(lock) { pthread_mutex_lock(mLock); }
    ~ScopedPthreadLock() { pthread_mutex_unlock(mLock); }
    ScopedPthreadLock(const ScopedPthreadLock&) = delete;
    ScopedPthreadLock& operator=(const ScopedPthreadLock&) = delete;

  private:
    pthread_mutex_t* mLock;
};

}  // namespace android::tarnd
