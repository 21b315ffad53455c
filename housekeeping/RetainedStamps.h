// Which dump directories the garbage collector keeps: the newest stamps of one collection.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace android::tarnd {

/// The newest stamps of one collection, at most a fixed number of them, in ascending order.
/// Equal stamps are kept as separate members.
class RetainedStamps {
  public:
    // A capacity of 0 or less leaves no room: every stamp is ignored and nothing is retained.
    explicit RetainedStamps(int32_t capacity);

    void add(uint64_t stamp);

    size_t count() const { return mStamps.size(); }
    const std::vector<uint64_t>& stamps() const { return mStamps; }

    // When the set is full, the smallest retained stamp: every entry older than it goes.
    // False while the set has room (or none at all), that is when nothing is to be removed.
    bool threshold(uint64_t* out) const;

  private:
    size_t mCapacity;
    // Grows with the stamps seen, never reserved to the capacity: a huge configured count must
    // not cost memory that no directory needs.
    std::vector<uint64_t> mStamps;
};

}  // namespace android::tarnd
