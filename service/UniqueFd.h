#pragma once

#include <unistd.h>

namespace android {

/// Owns one descriptor and closes it on every way out.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : mFd(fd) {}
    ~UniqueFd() {
        if (mFd >= 0) close(mFd);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return mFd; }
    // Gives the descriptor up without closing it.
    int release() {
        int fd = mFd;
        mFd = -1;
        return fd;
    }

  private:
    int mFd;
};

}  // namespace android
