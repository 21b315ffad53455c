// Host stand-in for libutils' reference counting: a strong count only.
#pragma once

#include <stdint.h>
#include <utils/StrongPointer.h>

#include <atomic>

namespace android {

class RefBase {
  public:
    void incStrong(const void* id) const;
    void decStrong(const void* id) const;
    int32_t getStrongCount() const;

  protected:
    RefBase();
    virtual ~RefBase();

    // Called when the first strong reference is taken.
    virtual void onFirstRef();
    // Called when the last strong reference goes, right before the object is deleted.
    virtual void onLastStrongRef(const void* id);

  private:
    RefBase(const RefBase&) = delete;
    RefBase& operator=(const RefBase&) = delete;

    mutable std::atomic<int32_t> mStrong;
};

}  // namespace android
