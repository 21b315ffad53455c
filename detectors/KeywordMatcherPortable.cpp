#include <string.h>

#include <algorithm>

#include "detectors/KeywordMatcher.h"
#include "detectors/KeywordMatcherDetail.h"

// The scan that runs everywhere: strstr for a few key words, else the single bytes and the gram
// filters probed position by position. Where the vector scan is on, it takes over the grams.

namespace android::tarnd {

using keyword_matcher::gramBit;
using keyword_matcher::hasBit;
using keyword_matcher::kChunk;
using keyword_matcher::kSlotMultiplier;
using keyword_matcher::loadGram;

bool KeywordMatcher::scan(const char* text, unsigned char* found) const {
    bool hit = false;
    if (found != nullptr && mHasEmpty) {
        found[mEmptyPattern] = 1;
        hit = true;
    }
    if (mSmallSet) {
        for (uint32_t id : mSearchPatterns) {
            if (strstr(text, mPatterns[id].c_str()) != nullptr) {
                if (found == nullptr) return true;
                found[id] = 1;
                hit = true;
            }
        }
        return hit;
    }
    if (!mSingleBytes.empty()) {
        if (found == nullptr) {
            if (strpbrk(text, mSingleBytes.c_str()) != nullptr) return true;
        } else {
            for (size_t k = 0; k < mSingleBytes.size(); ++k) {
                if (strchr(text, mSingleBytes[k]) != nullptr) {
                    found[mSingleBytePatterns[k]] = 1;
                    hit = true;
                }
            }
        }
    }
    if (!mAutomaton.empty()) return scanAutomaton(text, strlen(text), found) || hit;
    if (mHeadGroups != 0) return scanHeads(text, strlen(text), found) || hit;
    if (mPairs.width == 0 && mGrams.width == 0 && mTriples.width == 0 && mShortPatterns.empty() &&
        mEnds.empty()) {
        return hit;
    }
    const size_t length = strlen(text);
    if (!mEnds.empty()) {
        const bool ends = mEndsWidth == 64 && mEnds.size() <= kHeadsMax
                                  ? scanHeadsAvx512(text, length, found)
                          : mEndsWidth == 64 ? scanEndsAvx512(text, length, found)
                          : mEndsWidth == 32 ? scanEndsWide(text, length, found)
                                             : scanEnds(text, length, found);
        return ends || hit;
    }
    if (mVector) {
        if (!mShortPatterns.empty() && scanShort(text, length, found)) {
            if (found == nullptr) return true;
            hit = true;
        }
        if ((mGrams.width != 0 || mTriples.width != 0) && scanVector(text, length, found)) {
            if (found == nullptr) return true;
            hit = true;
        }
        return hit;
    }
    if (mPairs.width != 0 && scanGrams(mPairs, text, length, found)) {
        if (found == nullptr) return true;
        hit = true;
    }
    if (mGrams.width != 0 && scanGrams(mGrams, text, length, found)) {
        if (found == nullptr) return true;
        hit = true;
    }
    return hit;
}

bool KeywordMatcher::scanGrams(const GramIndex& index, const char* text, size_t length,
                               unsigned char* found) const {
    if (length < index.width) return false;
    const size_t last = length - index.width;
    const uint32_t* filter = index.filter.data();
    const unsigned shift = index.filterShift;
    const size_t stride = index.stride;
    const size_t width = index.width;
    const uint32_t mask = width == 3 ? loadGram("\xff\xff\xff\xff", 3) : ~uint32_t{0};
    bool hit = false;
    for (size_t chunk = 0; chunk <= last; chunk += kChunk * stride) {
        // Positions whose gram may be an anchor, gathered without a branch each.
        uint32_t hits[kChunk];
        size_t count = 0;
        const size_t end = std::min(last + 1, chunk + kChunk * stride);
        if (width == 2) {
            for (size_t pos = chunk; pos < end; pos += stride) {
                hits[count] = static_cast<uint32_t>(pos);
                count += hasBit(filter, loadGram(text + pos, 2));
            }
        } else {
            for (size_t pos = chunk; pos < end; pos += stride) {
                uint32_t gram;
                memcpy(&gram, text + pos, sizeof(gram));
                hits[count] = static_cast<uint32_t>(pos);
                count += hasBit(filter, gramBit(gram & mask, shift));
            }
        }
        for (size_t k = 0; k < count; ++k) {
            const size_t pos = hits[k];
            const uint32_t gram = loadGram(text + pos, width);
            const Slot* slot = candidate(index, gram, text, length, pos);
            if (slot != nullptr && verify(index, *slot, text, length, pos, found)) {
                if (found == nullptr) return true;
                hit = true;
            }
        }
    }
    return hit;
}

const KeywordMatcher::Slot* KeywordMatcher::candidate(const GramIndex& index, uint32_t gram,
                                                      const char* text, size_t length, size_t pos) {
    const uint32_t slotMask = static_cast<uint32_t>(index.slots.size() - 1);
    uint32_t at = (gram * kSlotMultiplier) >> index.slotShift;
    while (index.slots[at].gram != gram) {
        if (index.slots[at].gram == 0) return nullptr;  // a filter collision, not an anchor
        at = (at + 1) & slotMask;
    }
    const Slot& slot = index.slots[at];
    if (slot.head == 0) return &slot;
    if (pos < slot.back || pos + slot.forward >= length) return nullptr;
    const bool ends = static_cast<unsigned char>(text[pos - slot.back]) == slot.head &&
                      static_cast<unsigned char>(text[pos + slot.forward]) == slot.tail;
    return ends ? &slot : nullptr;
}

bool KeywordMatcher::verify(const GramIndex& index, const Slot& slot, const char* text,
                            size_t length, size_t pos, unsigned char* found) const {
    bool hit = false;
    for (uint32_t k = slot.first; k < slot.first + slot.count; ++k) {
        const Anchor& anchor = index.anchors[k];
        if (found != nullptr && found[anchor.pattern]) continue;
        if (pos < anchor.offset) continue;
        const std::string& pattern = mPatterns[anchor.pattern];
        const size_t start = pos - anchor.offset;
        if (pattern.size() > length - start || text[start] != pattern[0]) continue;
        if (memcmp(text + start, pattern.data(), pattern.size()) != 0) continue;
        if (found == nullptr) return true;
        found[anchor.pattern] = 1;
        hit = true;
    }
    return hit;
}

}  // namespace android::tarnd
