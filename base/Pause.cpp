#include "base/Pause.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <limits>

namespace android::tarnd {

InterruptiblePause::InterruptiblePause()
    : mFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), mWoken(false) {}

bool InterruptiblePause::sleep(int64_t ms) {
    // poll times out on the monotonic clock: setting the wall clock moves no deadline.
    const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<int64_t>(ms, 0));
    while (!mWoken.load()) {
        int64_t left = msUntil(deadline);
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

}  // namespace android::tarnd
