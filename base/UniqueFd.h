#pragma once

#include <unistd.h>

namespace android::tarnd {

/// Owns one descriptor and closes it on every way out.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : mFd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : mFd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    int get() const { return mFd; }
    bool ok() const { return mFd >= 0; }
    // Closes the descriptor held, if any, and takes fd in its place.
    void reset(int fd = -1) {
        if (mFd >= 0 && mFd != fd) close(mFd);
        mFd = fd;
    }
    // Gives the descriptor up without closing it.
    int release() {
        int fd = mFd;
        mFd = -1;
        return fd;
    }

  private:
    int mFd;
};

}  // namespace android::tarnd
