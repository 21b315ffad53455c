#include <utils/RefBase.h>

namespace android {

namespace {
// Marks an object that never had a strong reference, so the first one can be told apart.
constexpr int32_t kInitialStrongValue = 1 << 28;
}  // namespace

RefBase::RefBase() : mStrong(kInitialStrongValue) {}

RefBase::~RefBase() {}

void RefBase::incStrong(const void* /*id*/) const {
    int32_t old = mStrong.fetch_add(1, std::memory_order_relaxed);
    if (old != kInitialStrongValue) return;
    mStrong.fetch_sub(kInitialStrongValue, std::memory_order_relaxed);
    const_cast<RefBase*>(this)->onFirstRef();
}

void RefBase::decStrong(const void* id) const {
    int32_t old = mStrong.fetch_sub(1, std::memory_order_acq_rel);
    if (old != 1) return;
    const_cast<RefBase*>(this)->onLastStrongRef(id);
    delete this;
}

int32_t RefBase::getStrongCount() const { return mStrong.load(std::memory_order_relaxed); }

void RefBase::onFirstRef() {}

void RefBase::onLastStrongRef(const void* /*id*/) {}

}  // namespace android
