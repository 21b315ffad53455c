// How the garbage collector recognises dump directories by name and orders them by the date and
// time written into that name. Pure functions over names, so that tests need no directory.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace android {
namespace tarnd {

// Length of the suffix _YYYYMMDD_hhmmss that ends every dump directory's name.
constexpr size_t kDumpSuffixLength = 16;

// True when the name ends like a dump directory's: at least 16 characters, with "_" at the
// 16th and at the 7th position from the end. Only the shape is checked, not the digits.
bool hasDumpDirShape(const char* name);

// The 14 characters YYYYMMDDhhmmss of a name of dump shape, read as atoll reads them (leading
// digits only, none gives 0) and taken as unsigned, so that comparing stamps orders dumps.
uint64_t dumpStamp(const char* name);

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

}  // namespace tarnd
}  // namespace android
