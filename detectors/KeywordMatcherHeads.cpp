#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "detectors/KeywordMatcher.h"
#include "detectors/KeywordMatcherDetail.h"

// The head filter, with AVX-512 VBMI. Every key word's anchor, a 4-byte gram of it or the whole
// of a key word of 2 or 3 bytes, sits in one of up to 32 buckets, and one table lookup per place
// tells which buckets the byte there fits: four lookups per group of 8 buckets and 64 positions,
// whatever the text holds. A position that fits a bucket is looked up by its gram in a table that
// holds the first and last byte of the key word anchored there, without a branch; pieces of the
// key words, which fill some logs, seldom hold both ends of one, so few positions go further.

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && \
        !defined(TARND_MATCHER_SCALAR)
#include <immintrin.h>
#define TARND_MATCHER_HEADS 1
#else
#define TARND_MATCHER_HEADS 0
#endif

namespace android::tarnd {

using keyword_matcher::byteWeight;
using keyword_matcher::loadGram;

namespace {

constexpr size_t kHeadPlaces = 4;
constexpr size_t kHeadValues = 128;  // a byte's low 7 bits: bytes above 0x7f share a row
constexpr size_t kHeadBuckets = 8;   // one bit of a byte each
// Up to 4 groups of 8 buckets: more buckets hold fewer mixes of grams, but each group costs four
// lookups per 64 bytes, and past 32 buckets those cost more than the candidates they spare.
constexpr size_t kHeadGroupsMax = 4;
constexpr size_t kHeadChunk = 256;
// Slots per distinct anchor gram: few enough to stay in the first-level cache.
constexpr size_t kHeadSlotSpread = 4;
constexpr size_t kHeadSlotGroup = 4;  // grams to a displacement, about
// A gram at either end of its key word is held by fewer of the pieces that logs repeat of it than
// one inside, which any piece long enough holds: an inner gram counts as this much commoner.
constexpr double kHeadInnerWeight = 4;

}  // namespace

bool KeywordMatcher::headsSupported() {
#if TARND_MATCHER_HEADS
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2");
#else
    return false;
#endif
}

namespace {

// Buckets of grams for the head filter. A bucket passes every mix of its grams' bytes at each
// place, so a gram is put where the share of text positions that the bucket passes grows least,
// on text whose bytes are half those of logs and half those of the key words, as where their
// pieces fill a log.
class Bucketing {
  public:
    Bucketing(const double* weights, size_t buckets)
        : mWeights(weights), mSets(buckets), mShares(buckets) {}

    double growth(const std::string& gram, size_t bucket) const {
        double before = 1;
        double after = 1;
        for (size_t j = 0; j < kHeadPlaces; ++j) {
            const double share = mShares[bucket][j];
            before *= share;
            if (j >= gram.size()) continue;
            const unsigned char c = value(gram[j]);
            after *= share + (mSets[bucket][j][c] ? 0 : mWeights[c]);
        }
        return after - before;
    }

    // The bucket where the gram adds least, and how much.
    std::pair<size_t, double> best(const std::string& gram) const {
        std::pair<size_t, double> best{0, 0};
        for (size_t bucket = 0; bucket < mSets.size(); ++bucket) {
            const double g = growth(gram, bucket);
            if (bucket == 0 || g < best.second) best = {bucket, g};
        }
        return best;
    }

    // Past the end of a short gram every byte fits.
    void add(const std::string& gram, size_t bucket) {
        for (size_t j = 0; j < kHeadPlaces; ++j) {
            if (j >= gram.size()) {
                mSets[bucket][j].set();
                mShares[bucket][j] = 1;
            } else if (!mSets[bucket][j][value(gram[j])]) {
                mSets[bucket][j][value(gram[j])] = true;
                mShares[bucket][j] += mWeights[value(gram[j])];
            }
        }
    }

    size_t size() const { return mSets.size(); }
    bool fits(size_t bucket, size_t place, size_t byte) const { return mSets[bucket][place][byte]; }

    static unsigned char value(char c) { return static_cast<unsigned char>(c) & (kHeadValues - 1); }

  private:
    const double* mWeights;
    std::vector<std::array<std::bitset<kHeadValues>, kHeadPlaces>> mSets;
    std::vector<std::array<double, kHeadPlaces>> mShares;
};

}  // namespace

bool KeywordMatcher::buildHeads(const std::vector<uint32_t>& pairPatterns,
                                const std::vector<uint32_t>& triplePatterns,
                                const std::vector<uint32_t>& longPatterns) {
    if (!headsSupported()) return false;
    buildIndex(mPairs, 2, 1, anchorsFor(mPatterns, pairPatterns, 2, 1));
    buildIndex(mTriples, 3, 1, anchorsFor(mPatterns, triplePatterns, 3, 1));
    std::vector<std::string> shortGrams;
    for (const GramIndex* index : {&mPairs, &mTriples}) {
        for (const Anchor& anchor : index->anchors) {
            shortGrams.push_back(mPatterns[anchor.pattern].substr(anchor.offset, index->width));
        }
    }
    std::sort(shortGrams.begin(), shortGrams.end());
    shortGrams.erase(std::unique(shortGrams.begin(), shortGrams.end()), shortGrams.end());
    const size_t all = shortGrams.size() + longPatterns.size();
    const size_t groups = std::min(kHeadGroupsMax, (all + kHeadBuckets - 1) / kHeadBuckets);
    // Groups of 4-byte grams first, then those of short key words; each kind gets its share.
    const size_t shortGroups =
            shortGrams.empty() ? 0 : std::max<size_t>(1, groups * shortGrams.size() / all);
    const size_t longGroups = longPatterns.empty() ? 0 : std::max<size_t>(1, groups - shortGroups);
    mHeadLongGroups = longGroups;
    mHeadGroups = longGroups + shortGroups;
    mHeadTables.assign(mHeadGroups, HeadGroup{});
    mHeadsMixed = longPatterns.size() > longGroups * kHeadBuckets;

    double weights[kHeadValues] = {};
    double total = 0;
    for (const std::string& pattern : mPatterns) {
        for (char c : pattern) weights[Bucketing::value(c)] += 1;
        total += static_cast<double>(pattern.size());
    }
    double logTotal = 0;
    for (unsigned c = 1; c < kHeadValues; ++c) {
        logTotal += byteWeight(static_cast<unsigned char>(c));
    }
    for (unsigned c = 1; c < kHeadValues; ++c) {
        weights[c] = 0.5 * weights[c] / std::max(total, 1.0) +
                     0.5 * byteWeight(static_cast<unsigned char>(c)) / logTotal;
    }

    mHeadsShortest = longPatterns.empty() ? 3 : 4;
    Bucketing shortBuckets(weights, shortGroups * kHeadBuckets);
    for (const std::string& gram : shortGrams) {
        mHeadsShortest = std::min(mHeadsShortest, gram.size());
        shortBuckets.add(gram, shortBuckets.best(gram).first);
    }

    // Each longer key word is anchored on the gram, among those fewest other key words hold, and
    // the bucket that let the least more text through: a gram that others hold is hit by their
    // pieces, and where those fill a log, only the anchored key word's ends turn them away.
    std::map<uint32_t, size_t> held = gramHolders(mPatterns, longPatterns, 4);
    Bucketing longBuckets(weights, longGroups * kHeadBuckets);
    std::vector<Anchor> anchors;
    for (uint32_t id : longPatterns) {
        const std::string& pattern = mPatterns[id];
        size_t fewest = SIZE_MAX;
        for (size_t k = 0; k + 4 <= pattern.size(); ++k) {
            fewest = std::min(fewest, held[loadGram(&pattern[k], 4)]);
        }
        size_t bestOffset = 0;
        size_t bestBucket = 0;
        double bestGrowth = -1;
        for (size_t k = 0; k + 4 <= pattern.size(); ++k) {
            if (held[loadGram(&pattern[k], 4)] != fewest) continue;
            auto [bucket, growth] = longBuckets.best(pattern.substr(k, 4));
            if (k != 0 && k + 4 != pattern.size()) growth *= kHeadInnerWeight;
            if (bestGrowth < 0 || growth < bestGrowth) {
                bestOffset = k;
                bestBucket = bucket;
                bestGrowth = growth;
            }
        }
        longBuckets.add(pattern.substr(bestOffset, 4), bestBucket);
        const uint32_t gram = loadGram(&pattern[bestOffset], 4);
        ++held[gram];  // a gram anchoring two key words is checked against neither's ends
        anchors.push_back({gram, id, static_cast<uint32_t>(bestOffset)});
    }
    buildIndex(mGrams, 4, 1, std::move(anchors));
    // The groups of 4-byte grams first, then those of short key words.
    size_t at = 0;
    for (const Bucketing* buckets : {&longBuckets, &shortBuckets}) {
        for (size_t bucket = 0; bucket < buckets->size(); ++bucket, ++at) {
            for (size_t j = 0; j < kHeadPlaces; ++j) {
                for (size_t c = 0; c < kHeadValues; ++c) {
                    if (!buckets->fits(bucket, j, c)) continue;
                    mHeadTables[at / kHeadBuckets].places[j][c] |=
                            static_cast<unsigned char>(1u << (at % kHeadBuckets));
                }
            }
        }
    }
    buildHeadSlots();
    return true;
}

// The anchors again, one distinct gram to a slot, with the first and last byte of the key word it
// anchors: a probe needs one look and no branch. A gram's slot is its first hash displaced by the
// entry of its second, chosen at build time for that group of grams so that no two grams meet in
// one slot. A gram shared by key words, or too far from their ends, has no ends kept and passes
// wherever it occurs.
void KeywordMatcher::buildHeadSlots() {
    std::vector<HeadSlot> grams;
    for (const GramIndex* index : {&mPairs, &mTriples, &mGrams}) {
        for (size_t k = 0; k < index->anchors.size(); ++k) {
            const Anchor& anchor = index->anchors[k];
            const std::string& pattern = mPatterns[anchor.pattern];
            const size_t back = anchor.offset;
            const size_t forward = pattern.size() - 1 - back;
            if (k != 0 && index->anchors[k - 1].gram == anchor.gram) {
                grams.back().head = 0;  // the anchors are sorted by gram: a shared one
                continue;
            }
            HeadSlot slot{anchor.gram, 0, 0, 0, 0};
            if (back <= 255 && forward <= 255) {
                slot.head = static_cast<unsigned char>(pattern[0]);
                slot.tail = static_cast<unsigned char>(pattern.back());
                slot.back = static_cast<unsigned char>(back);
                slot.forward = static_cast<unsigned char>(forward);
            }
            grams.push_back(slot);
        }
    }
    unsigned bits = 4;
    while ((size_t{1} << bits) < grams.size() * kHeadSlotSpread) ++bits;
    unsigned groupBits = 1;
    while ((size_t{1} << groupBits) * kHeadSlotGroup < grams.size()) ++groupBits;
    const uint32_t mask = (uint32_t{1} << bits) - 1;
    mHeadSlotShift = 32 - bits;
    mHeadGroupShift = 32 - groupBits;
    mHeadMultiplier = keyword_matcher::kSlotMultiplier;
    for (;;) {
        std::vector<std::vector<const HeadSlot*>> groups(size_t{1} << groupBits);
        for (const HeadSlot& gram : grams) groups[headGroup(gram.key)].push_back(&gram);
        std::vector<uint32_t> order(groups.size());
        for (uint32_t g = 0; g < order.size(); ++g) order[g] = g;
        std::stable_sort(order.begin(), order.end(), [&groups](uint32_t a, uint32_t b) {
            return groups[a].size() > groups[b].size();
        });
        mHeadSlots.assign(size_t{1} << bits, HeadSlot{0, 0, 0, 0, 0});
        mHeadDisplacements.assign(groups.size(), 0);
        // The largest groups first, each at the first displacement where all its grams land in
        // free slots, apart.
        bool placed = true;
        for (uint32_t g : order) {
            uint32_t d = 0;
            for (; d <= mask; ++d) {
                bool free = true;
                for (size_t i = 0; i < groups[g].size() && free; ++i) {
                    const uint32_t at = headHash(groups[g][i]->key) ^ d;
                    free = mHeadSlots[at].key == 0;
                    for (size_t j = 0; j < i && free; ++j) {
                        free = at != (headHash(groups[g][j]->key) ^ d);
                    }
                }
                if (free) break;
            }
            if (d > mask) {
                placed = false;
                break;
            }
            mHeadDisplacements[g] = d;
            for (const HeadSlot* gram : groups[g]) mHeadSlots[headHash(gram->key) ^ d] = *gram;
        }
        if (placed) return;
        mHeadMultiplier = (mHeadMultiplier * 0x9E3779B9u + 0x7F4A7C16u) | 1;
    }
}

// A position that passed the filter: the gram indexes tell which key word, if any, is there.
bool KeywordMatcher::headProbe(const char* text, size_t length, size_t pos,
                               unsigned char* found) const {
    bool hit = false;
    for (const GramIndex* index : {&mGrams, &mTriples, &mPairs}) {
        if (index->width == 0 || pos + index->width > length) continue;
        const uint32_t gram = loadGram(text + pos, index->width);
        const Slot* slot = candidate(*index, gram, text, length, pos);
        if (slot != nullptr && verify(*index, *slot, text, length, pos, found)) {
            if (found == nullptr) return true;
            hit = true;
        }
    }
    return hit;
}

#if TARND_MATCHER_HEADS

namespace {

inline uint64_t headsWithin(size_t length, size_t at) {
    const size_t n = at <= length ? length + 1 - at : 0;
    return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
}

}  // namespace

#define HEAD_TARGET __attribute__((target("avx512bw,avx512vbmi,avx512vbmi2,popcnt")))

HEAD_TARGET bool KeywordMatcher::scanHeads(const char* text, size_t length,
                                           unsigned char* found) const {
    if (length < mHeadsShortest) return false;
    const size_t last = length - mHeadsShortest;
    const HeadGroup* tables = mHeadTables.data();
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    const HeadSlot* slots = mHeadSlots.data();
    const uint32_t* displacements = mHeadDisplacements.data();
    const __m512i iota = _mm512_set_epi8(
            63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42,
            41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20,
            19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    bool hit = false;
    for (size_t chunk = 0; chunk <= last; chunk += kHeadChunk) {
        unsigned char offsets[kHeadChunk + 64];
        unsigned char shorts[kHeadChunk + 64];
        size_t count = 0;
        size_t shortCount = 0;
        const size_t chunkEnd = std::min(last + 1, chunk + kHeadChunk);
        for (size_t base = chunk; base < chunkEnd; base += 64) {
            const bool inside = base + 64 + kHeadPlaces <= length;
            auto load = [&](size_t at) HEAD_TARGET {
                return inside ? _mm512_loadu_si512(text + at)
                              : _mm512_maskz_loadu_epi8(headsWithin(length, at), text + at);
            };
            const __m512i v0 = load(base);
            const __m512i v1 = load(base + 1);
            const __m512i v2 = load(base + 2);
            const __m512i v3 = load(base + 3);
            // Adds to `any` the buckets of group g that the four bytes from each position fit.
            auto group = [&](size_t g, __m512i any) HEAD_TARGET {
                const unsigned char* t = tables[g].places[0];
                auto look = [t](size_t j, __m512i v) HEAD_TARGET {
                    return _mm512_permutex2var_epi8(_mm512_load_si512(t + j * kHeadValues), v,
                                                    _mm512_load_si512(t + j * kHeadValues + 64));
                };
                return _mm512_ternarylogic_epi64(
                        any, _mm512_ternarylogic_epi64(look(0, v0), look(1, v1), look(2, v2), 0x80),
                        look(3, v3), 0xF8);  // any | (first three & fourth)
            };
            __m512i longs = _mm512_setzero_si512();
            for (size_t g = 0; g < mHeadLongGroups; ++g) longs = group(g, longs);
            __m512i shortOnes = _mm512_setzero_si512();
            for (size_t g = mHeadLongGroups; g < mHeadGroups; ++g) shortOnes = group(g, shortOnes);
            const uint64_t valid =
                    chunkEnd - base < 64 ? (uint64_t{1} << (chunkEnd - base)) - 1 : ~uint64_t{0};
            const uint64_t mask = _mm512_test_epi8_mask(longs, longs) & valid;
            const uint64_t shortMask = _mm512_test_epi8_mask(shortOnes, shortOnes) & valid;
            const __m512i at =
                    _mm512_add_epi8(iota, _mm512_set1_epi8(static_cast<char>(base - chunk)));
            _mm512_storeu_si512(offsets + count, _mm512_maskz_compress_epi8(mask, at));
            count += static_cast<size_t>(__builtin_popcountll(mask));
            if (shortMask != 0) {
                _mm512_storeu_si512(shorts + shortCount, _mm512_maskz_compress_epi8(shortMask, at));
                shortCount += static_cast<size_t>(__builtin_popcountll(shortMask));
            }
        }
        // Each candidate is checked without a branch of its own; the few left go to the lookup.
        auto quick = [&](uint32_t key, size_t pos) {
            const HeadSlot& slot = slots[headHash(key) ^ displacements[headGroup(key)]];
            const size_t before = pos >= slot.back ? pos - slot.back : length;
            const size_t after = std::min(pos + slot.forward, length);
            return (slot.key == key) & ((slot.head == 0) | ((bytes[before] == slot.head) &
                                                            (bytes[after] == slot.tail)));
        };
        unsigned char left[2 * kHeadChunk];
        size_t kept = 0;
        auto check = [&](size_t k) {
            const size_t pos = chunk + offsets[k];
            uint32_t pass = 1;
            if (pos + 4 <= length) pass = quick(loadGram(text + pos, 4), pos);
            left[kept] = offsets[k];
            kept += pass & (k < count);
        };
        // Buckets that hold several grams pass a trickle of their mixes in any text, and whether
        // a record has one is as hard to foresee as what it holds: there the first two places are
        // checked either way (a place past the last candidate holds offset 0, a position like any
        // other), and the loop runs only for more.
        size_t k = 0;
        if (mHeadsMixed) {
            check(0);
            check(1);
            k = 2;
        }
        for (; k < count; ++k) check(k);
        for (size_t k = 0; k < shortCount; ++k) {
            const size_t pos = chunk + shorts[k];
            uint32_t pass = 1;
            if (pos + 4 <= length) {
                pass = quick(loadGram(text + pos, 3), pos);
                if (mPairs.width != 0) pass |= quick(loadGram(text + pos, 2), pos);
            }
            left[kept] = shorts[k];
            kept += pass;
        }
        for (size_t k = 0; k < kept; ++k) {
            if (headProbe(text, length, chunk + left[k], found)) {
                if (found == nullptr) return true;
                hit = true;
            }
        }
    }
    return hit;
}

#else

bool KeywordMatcher::scanHeads(const char*, size_t, unsigned char*) const { return false; }

#endif

}  // namespace android::tarnd
