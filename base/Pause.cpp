#include "base/Pause.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace android {

int64_t monotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

InterruptiblePause::InterruptiblePause()
    : mFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), mWoken(false) {}

bool InterruptiblePause::sleep(int64_t ms) {
    // poll times out on the monotonic clock: setting the wall clock moves no deadline.
    const int64_t deadline = monotonicMs() + std::max<int64_t>(ms, 0);
    while (!mWoken.load()) {
        int64_t left = deadline - monotonicMs();
        if (left <= 0) break;
        struct pollfd wake = {mFd.get(), POLLIN, 0};
        int chunk = static_cast<int>(std::min<int64_t>(left, std::numeric_limits<int>::max()));
        if (poll(&wake, mFd.ok() ? 1 : 0, chunk) > 0) break;
    }
    return !mWoken.load();
}

void InterruptiblePause::wake() {
    mWoken.store(true);
    if (mFd.ok()) {
        uint64_t one = 1;
        ssize_t written = write(mFd.get(), &one, sizeof(one));
        (void)written;
    }
}

int32_t Backoff::next() {
    int32_t ms = mNextMs;
    if (mFailures < std::numeric_limits<int32_t>::max()) ++mFailures;
    mNextMs = std::min(mNextMs * 2, kLongestMs);
    return ms;
}

int32_t Backoff::reset() {
    int32_t failures = mFailures;
    mFailures = 0;
    mNextMs = kFirstMs;
    return failures;
}

}  // namespace android
