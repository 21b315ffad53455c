#include "detectors/KeywordMatcher.h"

#include <algorithm>
#include <map>

#include "detectors/KeywordMatcherDetail.h"

// Compiles the key words into the tables that the scans read: KeywordMatcherPortable.cpp and, with
// SSSE3, KeywordMatcherSsse3.cpp.

namespace android::tarnd {

using keyword_matcher::byteWeight;
using keyword_matcher::gramBit;
using keyword_matcher::kSlotMultiplier;
using keyword_matcher::kWindow;
using keyword_matcher::kWindowLead;
using keyword_matcher::loadGram;
using keyword_matcher::windowBit;

namespace {

// Up to this many distinct key words, one strstr each (vectorised in the C library) is cheaper
// than a pass of the gram filter.
constexpr size_t kSmallSetMax = 4;

// Longest probe stride for 4-byte grams. Each step adds an anchor per pattern to the filter, so
// beyond this the filter fills faster than the probes thin out.
constexpr size_t kMaxStride = 8;

// A probe of the byte pair filter against one of a hashed gram: it needs no multiplication.
constexpr double kPairProbeCost = 0.6;

// 32 KiB: a set bit per 512 filter bits at 256 key words of stride 1, and still L1-resident.
constexpr unsigned kMaxFilterBits = 18;

// Up to this many key words of 2 bytes or more, each is compared at its ends at every position:
// more work per byte than the sieve, but no hit on the pieces of key words that fill some logs.
constexpr size_t kEndsMax = 12;

// Sets of key words of at most this many bytes go to the automaton whole.
constexpr size_t kAutomatonWhole = 8;
// So do sets of at least this many key words, one of them this short or shorter, read up to the
// longest of these lengths that the table has room for: longer heads are hit less often by
// pieces of longer key words, but make more states.
constexpr size_t kAutomatonManyWords = 64;
constexpr size_t kAutomatonShortest = 4;
constexpr size_t kAutomatonHeads[] = {16, 12, 8};

// Two-byte key words are compared whole, 16 positions at a time, a few instructions each: fine
// for a few of them. More fall back to the scalar filter.
constexpr size_t kShortPatternsMax = 8;

// The estimated work per byte of the sieve, in probes of a scalar gram filter: one sieve's step,
// a position let through by its buckets, and a 2-byte key word compared whole.
constexpr double kSieveStepCost = 0.3;
constexpr double kSieveHitCost = 6;
constexpr double kShortPatternCost = 0.1;

// Buckets of the vector prefilter: one bit of a byte each, in one sieve or, above
// kWideAbove distinct grams, two: too many grams in a bucket let most of the text through.
constexpr size_t kBuckets = 8;
constexpr size_t kWideAbove = 48;

void setBit(std::vector<uint32_t>& filter, uint32_t bit) {
    filter[bit >> 5] |= uint32_t{1} << (bit & 31);
}

// The words of a key word phrase are common in logs on their own ("GPU", "ring", "timeout");
// where two of them meet is what ordinary text seldom holds, so such grams rank far rarer.
double gramScore(const char* gram, size_t width) {
    double score = 1;
    bool junction = false;
    for (size_t k = 0; k < width; ++k) {
        score *= byteWeight(static_cast<unsigned char>(gram[k]));
        junction = junction || (k > 0 && k + 1 < width && gram[k] == ' ' && gram[k - 1] != ' ' &&
                                gram[k + 1] != ' ');
    }
    return junction ? score / 1e6 : score;
}

// Start of the run of `count` consecutive width-byte grams of the pattern that logs hold least
// often, so that the filter seldom fires on records without the pattern. Logs repeat pieces of
// their key words, so a gram that `held` says other patterns hold, or that anchors them already,
// counts as that much commoner.
size_t rarestRun(const std::string& pattern, size_t width, size_t count,
                 const std::map<uint32_t, size_t>& held, size_t before, size_t after) {
    size_t best = before;
    double bestScore = 0;
    for (size_t start = before; start + count - 1 + width + after <= pattern.size(); ++start) {
        double score = 0;
        for (size_t k = 0; k < count; ++k) {
            const char* gram = pattern.data() + start + k;
            auto shared = held.find(loadGram(gram, width));
            score += gramScore(gram, width) *
                     static_cast<double>(shared == held.end() ? 1 : shared->second);
        }
        if (start == before || score < bestScore) {
            best = start;
            bestScore = score;
        }
    }
    return best;
}

unsigned log2Ceil(size_t n) {
    unsigned bits = 0;
    while ((size_t{1} << bits) < n) ++bits;
    return bits;
}

}  // namespace

void KeywordMatcher::build(const std::vector<Entry>& entries, Scans scans) {
    *this = KeywordMatcher();

    std::map<std::string, uint32_t> nameIds;
    std::map<std::string, uint32_t> patternIds;
    for (const Entry& entry : entries) {
        if (entry.keywords.empty()) {
            continue;  // never matches, so it can neither send nor block its name
        }
        auto name = nameIds.emplace(entry.name, static_cast<uint32_t>(mNames.size()));
        if (name.second) mNames.push_back(entry.name);
        CompiledEntry compiled;
        compiled.name = name.first->second;
        compiled.first = static_cast<uint32_t>(mEntryPatterns.size());
        compiled.count = static_cast<uint32_t>(entry.keywords.size());
        for (const std::string& keyword : entry.keywords) {
            // A key word is searched as a C string: whatever follows an embedded NUL is unused.
            std::string pattern(keyword.c_str());
            auto id = patternIds.emplace(pattern, static_cast<uint32_t>(mPatterns.size()));
            if (id.second) mPatterns.push_back(pattern);
            mEntryPatterns.push_back(id.first->second);
        }
        mEntries.push_back(compiled);
    }

    std::vector<uint32_t> pairPatterns;  // 2 bytes, and 3 when they are better off here
    std::vector<uint32_t> triplePatterns;
    std::vector<uint32_t> longPatterns;
    size_t shortestLong = 0;
    for (uint32_t id = 0; id < mPatterns.size(); ++id) {
        const std::string& pattern = mPatterns[id];
        if (pattern.empty()) {
            mHasEmpty = true;
            mEmptyPattern = id;
            continue;
        }
        mSearchPatterns.push_back(id);
        if (pattern.size() == 1) {
            mSingleBytes.push_back(pattern[0]);
            mSingleBytePatterns.push_back(id);
        } else if (pattern.size() == 2) {
            pairPatterns.push_back(id);
        } else if (pattern.size() == 3) {
            triplePatterns.push_back(id);
        } else {
            longPatterns.push_back(id);
            shortestLong =
                    shortestLong == 0 ? pattern.size() : std::min(shortestLong, pattern.size());
        }
    }
    mSmallSet = mSearchPatterns.size() <= kSmallSetMax;
    if (mSmallSet) return;
    chooseScan(scans, pairPatterns, std::move(triplePatterns), std::move(longPatterns),
               shortestLong);
}

// Both scans cost about as much per record wherever the key words' pieces fill the logs: the
// gram filters let those through and the ends of the key words stop them. What differs is their
// work per byte, known from the key words alone: the sieve's steps and the share of positions
// its buckets let through, or the probes of the gram filters, fewer at a wider stride. The
// cheaper one is kept.
void KeywordMatcher::chooseScan(Scans scans, const std::vector<uint32_t>& pairPatterns,
                                std::vector<uint32_t> triplePatterns,
                                std::vector<uint32_t> longPatterns, size_t shortestLong) {
    std::vector<uint32_t> all = pairPatterns;
    all.insert(all.end(), triplePatterns.begin(), triplePatterns.end());
    all.insert(all.end(), longPatterns.begin(), longPatterns.end());
    // The head filter's cost per byte depends on neither the key words nor the text, and its
    // candidates are checked at both ends of their key word at once: where it runs, it takes all.
    if (scans == Scans::kAll && buildHeads(pairPatterns, triplePatterns, longPatterns)) return;
    const bool allowVector = scans != Scans::kPortable;
    if (allowVector && vectorSupported() && buildEnds(all)) return;
    if (buildAutomaton(all, kAutomatonWhole, false)) return;
    // A key word of 4 bytes or less makes the gram filters probe every position, and with many
    // key words nearly every gram of a text made of their pieces is some key word's anchor. The
    // automaton reads every position too, but its work stays the same: it reads the first bytes
    // of each key word, as many as its table has room for, and compares the rest where those
    // occur.
    const size_t shortest = !pairPatterns.empty() ? 2 : !triplePatterns.empty() ? 3 : shortestLong;
    if (shortest <= kAutomatonShortest && all.size() >= kAutomatonManyWords) {
        for (size_t head : kAutomatonHeads) {
            if (buildAutomaton(all, head, true)) return;
        }
    }
    const PortablePlan plan =
            portablePlan(pairPatterns.size(), triplePatterns.size(), shortestLong);
    if (allowVector && vectorSupported() && pairPatterns.size() <= kShortPatternsMax &&
        buildVector(pairPatterns, triplePatterns, longPatterns) < plan.cost) {
        return;
    }
    mVector = false;
    mShortPatterns.clear();
    memset(mNibbles, 0, sizeof(mNibbles));
    mTriples = GramIndex();
    mWindows.clear();
    buildPortable(plan, pairPatterns, std::move(triplePatterns), std::move(longPatterns));
}

// Compares a small set at its ends, where the key words are short enough.
bool KeywordMatcher::buildEnds(const std::vector<uint32_t>& ids) {
    if (ids.size() > kEndsMax) return false;
    mEndsShortest = kEndsLongest;
    for (uint32_t id : ids) {
        const std::string& pattern = mPatterns[id];
        if (pattern.size() > kEndsLongest) return false;
        mEndsShortest = std::min(mEndsShortest, pattern.size());
        mEndsLongest = std::max(mEndsLongest, pattern.size());
    }
    for (uint32_t id : ids) {
        const std::string& pattern = mPatterns[id];
        EndsPattern compiled;
        memset(compiled.lanes[0], pattern[0], sizeof(compiled.lanes[0]));
        memset(compiled.lanes[1], pattern[1], sizeof(compiled.lanes[1]));
        memset(compiled.lanes[2], pattern.back(), sizeof(compiled.lanes[2]));
        compiled.last = static_cast<uint32_t>(pattern.size() - 1);
        compiled.pattern = id;
        if (mEnds.size() < kHeadsMax) {
            const unsigned char bit = static_cast<unsigned char>(1u << mEnds.size());
            for (size_t j = 0; j < 3; ++j) {
                for (unsigned nibble = 0; nibble < 16; ++nibble) {
                    const unsigned char c = j < pattern.size() ? pattern[j] : 0;
                    if (j >= pattern.size() || (c & 15) == nibble)
                        mEndsNibbles[j][0][nibble] |= bit;
                    if (j >= pattern.size() || (c >> 4) == nibble)
                        mEndsNibbles[j][1][nibble] |= bit;
                }
            }
        }
        mEnds.push_back(compiled);
    }
    mEndsWidth = widestVector();
    mVector = true;
    return true;
}

// Returns the sieve's estimated cost per byte, in probes of a scalar gram filter.
double KeywordMatcher::buildVector(const std::vector<uint32_t>& pairPatterns,
                                   const std::vector<uint32_t>& triplePatterns,
                                   const std::vector<uint32_t>& longPatterns) {
    // 3-byte patterns are anchored on themselves, longer ones on their rarest 4-byte gram;
    // the vector sieve looks for both at every position, 16 at a time.
    for (uint32_t id : pairPatterns) {
        ShortPattern compiled;
        memset(compiled.lanes[0], mPatterns[id][0], 16);
        memset(compiled.lanes[1], mPatterns[id][1], 16);
        compiled.pattern = id;
        mShortPatterns.push_back(compiled);
    }
    buildIndex(mTriples, 3, 1, anchorsFor(mPatterns, triplePatterns, 3, 1));
    // A pattern with room for a window is anchored inside it, off its first two bytes.
    std::vector<uint32_t> windowed;
    std::vector<uint32_t> unwindowed;
    for (uint32_t id : longPatterns) {
        (mPatterns[id].size() >= kWindow ? windowed : unwindowed).push_back(id);
    }
    std::vector<Anchor> anchors = anchorsFor(mPatterns, unwindowed, 4, 1);
    const std::vector<Anchor> inWindows =
            anchorsFor(mPatterns, windowed, 4, 1, kWindowLead, kWindow - kWindowLead - 4);
    anchors.insert(anchors.end(), inWindows.begin(), inWindows.end());
    buildIndex(mGrams, 4, 1, std::move(anchors));
    buildWindows();
    buildBuckets();
    mVector = true;
    // The share of positions let through is estimated on text made mostly of the key words' own
    // bytes, as the logs that matter are: buckets of unlike grams let much of it through.
    double weights[256] = {};
    double all = 0;
    for (const std::string& pattern : mPatterns) {
        for (char c : pattern) weights[static_cast<unsigned char>(c)] += 1;
        all += static_cast<double>(pattern.size());
    }
    for (unsigned c = 1; c < 256; ++c) {
        weights[c] = 0.8 * weights[c] / std::max(all, 1.0) + 0.2 * (c >= 0x20 && c < 0x7f) / 95;
    }
    double passed = 0;
    for (size_t bucket = 0; bucket < (mWide ? 2 : 1) * kBuckets; ++bucket) {
        passed += bucketPassRate(bucket, nullptr, weights);
    }
    return (mWide ? 2 : 1) * kSieveStepCost + passed * kSieveHitCost +
           static_cast<double>(mShortPatterns.size()) * kShortPatternCost;
}

// A pattern of length L holds L - width + 1 grams, so the shortest pattern bounds the stride.
// 3-byte patterns either join the longer ones on 3-byte grams, one probe at every position,
// or go to the byte pairs, a cheaper probe at every other position, when that lets the longer
// ones keep 4-byte grams at a wide stride.
KeywordMatcher::PortablePlan KeywordMatcher::portablePlan(size_t pairs, size_t triples,
                                                          size_t shortestLong) {
    PortablePlan plan;
    const size_t longStride = shortestLong == 0 ? 0 : std::min(kMaxStride, shortestLong - 3);
    plan.pairStride = pairs == 0 ? 2 : 1;
    const double splitCost = (triples == 0 ? 0 : kPairProbeCost / plan.pairStride) +
                             (longStride == 0 ? 0 : 1.0 / longStride);
    plan.width = triples != 0 && splitCost >= 1 ? 3 : 4;
    plan.stride = plan.width == 3 ? 1 : longStride;
    plan.cost = plan.width == 3 ? 1 : splitCost;
    if (pairs != 0) plan.cost += kPairProbeCost;
    return plan;
}

void KeywordMatcher::buildPortable(const PortablePlan& plan,
                                   const std::vector<uint32_t>& pairPatterns,
                                   std::vector<uint32_t> triplePatterns,
                                   std::vector<uint32_t> longPatterns) {
    if (plan.width == 3) {
        longPatterns.insert(longPatterns.end(), triplePatterns.begin(), triplePatterns.end());
        triplePatterns.clear();
    }
    std::vector<Anchor> pairs = anchorsFor(mPatterns, pairPatterns, 2, 1);
    const std::vector<Anchor> triples = anchorsFor(mPatterns, triplePatterns, 2, plan.pairStride);
    pairs.insert(pairs.end(), triples.begin(), triples.end());
    buildIndex(mPairs, 2, triplePatterns.empty() ? 1 : plan.pairStride, std::move(pairs));
    buildIndex(mGrams, plan.width, plan.stride,
               anchorsFor(mPatterns, longPatterns, plan.width, plan.stride));
}

// Spreads the distinct anchor grams over the sieve's buckets and records, for each place of a
// gram and each nibble value, which buckets hold it.
void KeywordMatcher::buildBuckets() {
    memset(mNibbles, 0, sizeof(mNibbles));
    std::vector<std::string> quads;
    for (const Anchor& anchor : mGrams.anchors) {
        quads.push_back(mPatterns[anchor.pattern].substr(anchor.offset, 4));
    }
    std::sort(quads.begin(), quads.end());
    quads.erase(std::unique(quads.begin(), quads.end()), quads.end());
    mWide = quads.size() > kWideAbove;
    const size_t buckets = mWide ? 2 * kBuckets : kBuckets;
    // 3-byte key words get a bucket of their own, open to any fourth byte.
    const size_t first = mTriples.width != 0 ? 1 : 0;
    if (first != 0) {
        for (const Anchor& anchor : mTriples.anchors) {
            addToBucket(mPatterns[anchor.pattern].substr(anchor.offset, 3), 0);
        }
        for (size_t n = 0; n < 16; ++n) {
            mNibbles[0][3][0][n] |= 1;
            mNibbles[0][3][1][n] |= 1;
        }
    }
    // Each gram joins the bucket whose chance of passing text grows least: a bucket passes every
    // combination of the nibbles of its grams, so unlike grams make it porous.
    for (const std::string& quad : quads) {
        size_t best = first;
        double bestGrowth = 0;
        for (size_t bucket = first; bucket < buckets; ++bucket) {
            const double before = bucketPassRate(bucket, nullptr);
            const double growth = bucketPassRate(bucket, &quad) - before;
            if (bucket == first || growth < bestGrowth) {
                best = bucket;
                bestGrowth = growth;
            }
        }
        addToBucket(quad, best);
    }
}

// Share of positions of printable text, all bytes alike (frequency guesses misled it on text made
// of the key words' own words), that pass the bucket's nibble tests, with gram added if not null.
double KeywordMatcher::bucketPassRate(size_t bucket, const std::string* gram,
                                      const double* weights) const {
    const auto& nibbles = mNibbles[bucket / kBuckets];
    const unsigned char bit = static_cast<unsigned char>(1u << (bucket % kBuckets));
    double rate = 1;
    for (size_t b = 0; b < 4; ++b) {
        uint32_t lows = 0;
        uint32_t highs = 0;
        for (size_t n = 0; n < 16; ++n) {
            if (nibbles[b][0][n] & bit) lows |= 1u << n;
            if (nibbles[b][1][n] & bit) highs |= 1u << n;
        }
        if (gram != nullptr) {
            const unsigned char c = static_cast<unsigned char>((*gram)[b]);
            lows |= 1u << (c & 15);
            highs |= 1u << (c >> 4);
        }
        double passed = 0;
        double all = 0;
        for (unsigned c = 1; c < 256; ++c) {
            const double weight = weights != nullptr ? weights[c] : c >= 0x20 && c < 0x7f ? 1 : 0.1;
            all += weight;
            if ((lows >> (c & 15)) & (highs >> (c >> 4)) & 1) passed += weight;
        }
        rate *= passed / all;
    }
    return rate;
}

void KeywordMatcher::addToBucket(const std::string& gram, size_t bucket) {
    auto& nibbles = mNibbles[bucket / kBuckets];
    const unsigned char bit = static_cast<unsigned char>(1u << (bucket % kBuckets));
    for (size_t b = 0; b < gram.size(); ++b) {
        const unsigned char c = static_cast<unsigned char>(gram[b]);
        nibbles[b][0][c & 15] |= bit;
        nibbles[b][1][c >> 4] |= bit;
    }
}

std::map<uint32_t, size_t> KeywordMatcher::gramHolders(const std::vector<std::string>& patterns,
                                                       const std::vector<uint32_t>& ids,
                                                       size_t width) {
    std::map<uint32_t, size_t> held;
    for (uint32_t id : ids) {
        const std::string& pattern = patterns[id];
        std::vector<uint32_t> grams;
        for (size_t k = 0; k + width <= pattern.size(); ++k) {
            grams.push_back(loadGram(pattern.data() + k, width));
        }
        std::sort(grams.begin(), grams.end());
        grams.erase(std::unique(grams.begin(), grams.end()), grams.end());
        for (uint32_t gram : grams) ++held[gram];
    }
    return held;
}

// Anchors each pattern at its rarest run of `stride` grams, at least `before` bytes from its start
// and `after` bytes from its end.
std::vector<KeywordMatcher::Anchor> KeywordMatcher::anchorsFor(
        const std::vector<std::string>& patterns, const std::vector<uint32_t>& ids, size_t width,
        size_t stride, size_t before, size_t after) {
    std::map<uint32_t, size_t> held = gramHolders(patterns, ids, width);
    std::vector<Anchor> anchors;
    for (uint32_t id : ids) {
        const std::string& pattern = patterns[id];
        const size_t start = rarestRun(pattern, width, stride, held, before, after);
        for (size_t offset = start; offset < start + stride; ++offset) {
            const uint32_t gram = loadGram(pattern.data() + offset, width);
            ++held[gram];  // a gram anchoring several patterns costs a comparison for each
            anchors.push_back({gram, id, static_cast<uint32_t>(offset)});
        }
    }
    return anchors;
}

// With the vector scan, the anchors' bit filter keeps only those of patterns too short for a
// window; the others go to the window filter.
void KeywordMatcher::buildWindows() {
    std::fill(mGrams.filter.begin(), mGrams.filter.end(), 0);
    size_t windows = 0;
    for (const Anchor& anchor : mGrams.anchors) {
        windows += mPatterns[anchor.pattern].size() >= kWindow ? 1 : 0;
    }
    const unsigned bits = std::min(kMaxFilterBits, std::max(15u, log2Ceil(windows) + 9));
    mWindowShift = 32 - bits;
    mWindows.assign((size_t{1} << bits) / 32, 0);
    for (const Anchor& anchor : mGrams.anchors) {
        const std::string& pattern = mPatterns[anchor.pattern];
        if (pattern.size() >= kWindow) {
            uint32_t first;
            uint32_t second;
            memcpy(&first, pattern.data() + anchor.offset - kWindowLead, sizeof(first));
            memcpy(&second, pattern.data() + anchor.offset - kWindowLead + 4, sizeof(second));
            setBit(mWindows, windowBit(first, second, mWindowShift));
        } else {
            setBit(mGrams.filter, gramBit(anchor.gram, mGrams.filterShift));
        }
    }
}

void KeywordMatcher::buildIndex(GramIndex& index, size_t width, size_t stride,
                                std::vector<Anchor> anchors) const {
    index = GramIndex();
    if (anchors.empty()) return;
    std::sort(anchors.begin(), anchors.end(), [](const Anchor& a, const Anchor& b) {
        return a.gram != b.gram ? a.gram < b.gram : a.pattern < b.pattern;
    });
    size_t distinct = 0;
    for (size_t k = 0; k < anchors.size(); ++k) {
        if (k == 0 || anchors[k].gram != anchors[k - 1].gram) ++distinct;
    }

    index.width = width;
    index.stride = stride;
    // Two-byte grams index the filter directly; longer grams are hashed into a table sparse
    // enough that ordinary text rarely hits a set bit, yet small enough to stay in L1.
    const unsigned filterBits =
            width == 2 ? 16 : std::min(kMaxFilterBits, std::max(15u, log2Ceil(distinct) + 9));
    index.filterShift = 32 - filterBits;
    index.filter.assign((size_t{1} << filterBits) / 32, 0);
    // A quarter full at most: a hit mostly finds its gram, or a free slot, at the first probe.
    const unsigned slotBits = std::max(2u, log2Ceil(distinct * 4));
    index.slotShift = 32 - slotBits;
    index.slots.assign(size_t{1} << slotBits, Slot{0, 0, 0, 0, 0, 0, 0});
    const uint32_t slotMask = (uint32_t{1} << slotBits) - 1;

    for (size_t k = 0; k < anchors.size(); ++k) {
        const uint32_t gram = anchors[k].gram;
        setBit(index.filter, width == 2 ? gram : gramBit(gram, index.filterShift));
        uint32_t slot = (gram * kSlotMultiplier) >> index.slotShift;
        while (index.slots[slot].gram != 0 && index.slots[slot].gram != gram) {
            slot = (slot + 1) & slotMask;
        }
        Slot& s = index.slots[slot];
        if (s.gram == 0) s = Slot{gram, static_cast<uint32_t>(k), 0, 0, 0, 0, 0};
        ++s.count;
        // The ends of a key word anchored here alone; a shared gram, or a key word too long for
        // a byte's distance, sends every hit to verify.
        const std::string& pattern = mPatterns[anchors[k].pattern];
        const size_t back = anchors[k].offset;
        const size_t forward = pattern.size() - 1 - back;
        const bool alone = s.count == 1 && back <= 255 && forward <= 255;
        s.head = alone ? static_cast<unsigned char>(pattern[0]) : 0;
        s.tail = alone ? static_cast<unsigned char>(pattern.back()) : 0;
        s.back = alone ? static_cast<unsigned char>(back) : 0;
        s.forward = alone ? static_cast<unsigned char>(forward) : 0;
    }
    index.anchors = std::move(anchors);
}

size_t KeywordMatcher::memoryUse() const {
    size_t bytes = sizeof(*this);
    for (const std::string& name : mNames) bytes += name.capacity() + 1;
    for (const std::string& pattern : mPatterns) bytes += pattern.capacity() + 1;
    bytes += mNames.capacity() * sizeof(std::string) + mPatterns.capacity() * sizeof(std::string);
    bytes += mEntries.capacity() * sizeof(CompiledEntry);
    bytes += (mEntryPatterns.capacity() + mSearchPatterns.capacity()) * sizeof(uint32_t);
    bytes += mShortPatterns.capacity() * sizeof(ShortPattern);
    bytes += mEnds.capacity() * sizeof(EndsPattern);
    bytes += mWindows.capacity() * sizeof(uint32_t) + mHeadTables.capacity() * sizeof(HeadGroup) +
             mHeadSlots.capacity() * sizeof(HeadSlot) +
             mHeadDisplacements.capacity() * sizeof(uint32_t);
    bytes += mAutomaton.capacity() * sizeof(uint32_t) +
             (mAcceptFirst.capacity() + mAccepted.capacity()) * sizeof(uint32_t);
    for (const GramIndex* index : {&mPairs, &mGrams, &mTriples}) {
        bytes += index->filter.capacity() * sizeof(uint32_t) +
                 index->slots.capacity() * sizeof(Slot) +
                 index->anchors.capacity() * sizeof(Anchor);
    }
    return bytes;
}

}  // namespace android::tarnd
