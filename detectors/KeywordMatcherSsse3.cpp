#include <algorithm>

#include "detectors/KeywordMatcher.h"
#include "detectors/KeywordMatcherDetail.h"

// The vector scan needs SSSE3, which every x86 Android device has and its compilers assume; a host
// build without it compiles the scan for SSSE3 alone and checks the processor at start-up.
// TARND_MATCHER_SCALAR builds the portable path alone, as on processors without it.
#if defined(TARND_MATCHER_SCALAR)
#define TARND_MATCHER_VECTOR 0
#elif defined(__SSSE3__)
#include <immintrin.h>
#define TARND_MATCHER_VECTOR 1
#define TARND_MATCHER_TARGET
#define TARND_MATCHER_INLINE inline __attribute__((always_inline))
#elif (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#define TARND_MATCHER_VECTOR 1
#define TARND_MATCHER_TARGET __attribute__((target("ssse3")))
#define TARND_MATCHER_INLINE inline __attribute__((always_inline, target("ssse3")))
#else
#define TARND_MATCHER_VECTOR 0
#endif

namespace android::tarnd {

bool KeywordMatcher::vectorSupported() {
#if TARND_MATCHER_VECTOR && !defined(__SSSE3__)
    return __builtin_cpu_supports("ssse3");
#else
    return TARND_MATCHER_VECTOR;
#endif
}

unsigned KeywordMatcher::widestVector() {
#if TARND_MATCHER_VECTOR
    if (__builtin_cpu_supports("avx512bw")) return 64;
    if (__builtin_cpu_supports("avx2")) return 32;
    return vectorSupported() ? 16 : 0;
#else
    return 0;
#endif
}

#if TARND_MATCHER_VECTOR

using keyword_matcher::gramBit;
using keyword_matcher::hasBit;
using keyword_matcher::kWindow;
using keyword_matcher::kWindowLead;
using keyword_matcher::loadGram;
using keyword_matcher::windowBit;

namespace {

TARND_MATCHER_INLINE __m128i load16(const void* p) {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

inline __attribute__((always_inline, target("avx2"))) __m256i load32(const void* p) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// Loads of 16 + extra bytes from every 16th position stay inside the text and its NUL up to the
// returned position; the steps from there read `tail`, a zero-padded copy of the rest. A NUL
// never equals a key word byte, so the padding adds no hit.
size_t copyTail(const char* text, size_t length, size_t extra, char* tail) {
    size_t start = 0;
    if (length + 1 >= 16 + extra) start = ((length + 1 - 16 - extra) / 16 + 1) * 16;
    memset(tail, 0, 64);
    if (start < length) memcpy(tail, text + start, length - start);
    return start;
}

// 1 when the gram's bit is set in the index's filter, which an index without anchors lacks.
inline uint32_t filterHas(const uint32_t* filter, unsigned shift, uint32_t gram) {
    return hasBit(filter, gramBit(gram, shift));
}

// One sieve's nibble tables and its last step's per-place results. Each step looks up every byte
// of 16 once per gram place, then lines the places up on the gram's last byte, taking the
// earlier places' lanes from the step before where they fall there.
struct Sieve {
    TARND_MATCHER_INLINE explicit Sieve(const unsigned char (&nibbles)[4][2][16])
        : lo0(load16(nibbles[0][0])),
          hi0(load16(nibbles[0][1])),
          lo1(load16(nibbles[1][0])),
          hi1(load16(nibbles[1][1])),
          lo2(load16(nibbles[2][0])),
          hi2(load16(nibbles[2][1])),
          lo3(load16(nibbles[3][0])),
          hi3(load16(nibbles[3][1])),
          prev0(_mm_setzero_si128()),
          prev1(_mm_setzero_si128()),
          prev2(_mm_setzero_si128()) {}

    // Lane i: the buckets with a gram that may end at the step's byte i.
    TARND_MATCHER_INLINE __m128i step(__m128i lows, __m128i highs) {
        const __m128i r0 = _mm_and_si128(_mm_shuffle_epi8(lo0, lows), _mm_shuffle_epi8(hi0, highs));
        const __m128i r1 = _mm_and_si128(_mm_shuffle_epi8(lo1, lows), _mm_shuffle_epi8(hi1, highs));
        const __m128i r2 = _mm_and_si128(_mm_shuffle_epi8(lo2, lows), _mm_shuffle_epi8(hi2, highs));
        const __m128i r3 = _mm_and_si128(_mm_shuffle_epi8(lo3, lows), _mm_shuffle_epi8(hi3, highs));
        const __m128i result = _mm_and_si128(
                _mm_and_si128(r3, _mm_alignr_epi8(r2, prev2, 15)),
                _mm_and_si128(_mm_alignr_epi8(r1, prev1, 14), _mm_alignr_epi8(r0, prev0, 13)));
        prev0 = r0;
        prev1 = r1;
        prev2 = r2;
        return result;
    }

    __m128i lo0, hi0, lo1, hi1, lo2, hi2, lo3, hi3;
    __m128i prev0, prev1, prev2;
};

}  // namespace

TARND_MATCHER_TARGET bool KeywordMatcher::scanShort(const char* text, size_t length,
                                                    unsigned char* found) const {
    alignas(16) char tail[64];
    const size_t tailStart = copyTail(text, length, 1, tail);
    bool hit = false;
    for (size_t pos = 0; pos < length; pos += 16) {
        const char* block = pos < tailStart ? text + pos : tail + (pos - tailStart);
        const __m128i first = load16(block);
        const __m128i second = load16(block + 1);
        for (const ShortPattern& p : mShortPatterns) {
            if (found != nullptr && found[p.pattern]) continue;
            const __m128i same = _mm_and_si128(_mm_cmpeq_epi8(first, load16(p.lanes[0])),
                                               _mm_cmpeq_epi8(second, load16(p.lanes[1])));
            if (_mm_movemask_epi8(same) != 0) {
                if (found == nullptr) return true;
                found[p.pattern] = 1;
                hit = true;
            }
        }
    }
    return hit;
}

// The blocks of a scan of ends that start at or after the returned position would read past the
// NUL: they read `tail`, a zero-padded copy of the text from there, which no key word's last byte
// matches. `reach` is how far a block reads from its start.
size_t KeywordMatcher::copyEndsTail(const char* text, size_t length, size_t block,
                                    char* tail) const {
    const size_t reach = mEndsLongest - 1 + block;
    size_t start = 0;
    if (length + 1 >= reach + block) start = ((length + 1 - reach - block) / block + 1) * block;
    const size_t lastStart = length - mEndsShortest;
    if (start > lastStart) return start;
    // Only as much as the last block reads: the copy is written just before it is read.
    const size_t copied = length - start;
    memcpy(tail, text + start, copied);
    memset(tail + copied, 0, lastStart - start + reach - copied);
    return start;
}

// Whether the pattern occurs at the lanes set in `lanes`, the first at `base`.
bool KeywordMatcher::endsHit(const EndsPattern& p, uint64_t lanes, size_t base, const char* text,
                             size_t length, unsigned char* found) const {
    const std::string& pattern = mPatterns[p.pattern];
    for (; lanes != 0; lanes &= lanes - 1) {
        const size_t start = base + static_cast<size_t>(__builtin_ctzll(lanes));
        if (start + pattern.size() <= length &&
            memcmp(text + start, pattern.data(), pattern.size()) == 0) {
            if (found != nullptr) found[p.pattern] = 1;
            return true;
        }
    }
    return false;
}

TARND_MATCHER_TARGET bool KeywordMatcher::scanEnds(const char* text, size_t length,
                                                   unsigned char* found) const {
    if (length < mEndsShortest) return false;
    const size_t lastStart = length - mEndsShortest;
    alignas(16) char tail[kEndsTail];
    const size_t tailStart = copyEndsTail(text, length, 16, tail);
    bool hit = false;
    for (size_t base = 0; base <= lastStart; base += 16) {
        const char* block = base < tailStart ? text + base : tail + (base - tailStart);
        const __m128i first = load16(block);
        const __m128i second = load16(block + 1);
        __m128i any = _mm_setzero_si128();
        for (const EndsPattern& p : mEnds) {
            any = _mm_or_si128(
                    any, _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(first, load16(p.lanes[0])),
                                                     _mm_cmpeq_epi8(second, load16(p.lanes[1]))),
                                       _mm_cmpeq_epi8(load16(block + p.last), load16(p.lanes[2]))));
        }
        if (_mm_movemask_epi8(any) == 0) continue;
        for (const EndsPattern& p : mEnds) {
            if (found != nullptr && found[p.pattern]) continue;
            const __m128i same =
                    _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(first, load16(p.lanes[0])),
                                                _mm_cmpeq_epi8(second, load16(p.lanes[1]))),
                                  _mm_cmpeq_epi8(load16(block + p.last), load16(p.lanes[2])));
            if (endsHit(p, static_cast<uint32_t>(_mm_movemask_epi8(same)), base, text, length,
                        found)) {
                if (found == nullptr) return true;
                hit = true;
            }
        }
    }
    return hit;
}

// The same with AVX2, 32 positions at a time, where the processor has it.
__attribute__((target("avx2"))) bool KeywordMatcher::scanEndsWide(const char* text, size_t length,
                                                                  unsigned char* found) const {
    if (length < mEndsShortest) return false;
    const size_t lastStart = length - mEndsShortest;
    alignas(32) char tail[kEndsTail];
    const size_t tailStart = copyEndsTail(text, length, 32, tail);
    bool hit = false;
    for (size_t base = 0; base <= lastStart; base += 32) {
        const char* block = base < tailStart ? text + base : tail + (base - tailStart);
        const __m256i first = load32(block);
        const __m256i second = load32(block + 1);
        __m256i any = _mm256_setzero_si256();
        for (const EndsPattern& p : mEnds) {
            any = _mm256_or_si256(
                    any, _mm256_and_si256(
                                 _mm256_and_si256(_mm256_cmpeq_epi8(first, load32(p.lanes[0])),
                                                  _mm256_cmpeq_epi8(second, load32(p.lanes[1]))),
                                 _mm256_cmpeq_epi8(load32(block + p.last), load32(p.lanes[2]))));
        }
        if (_mm256_movemask_epi8(any) == 0) continue;
        for (const EndsPattern& p : mEnds) {
            if (found != nullptr && found[p.pattern]) continue;
            const __m256i same = _mm256_and_si256(
                    _mm256_and_si256(_mm256_cmpeq_epi8(first, load32(p.lanes[0])),
                                     _mm256_cmpeq_epi8(second, load32(p.lanes[1]))),
                    _mm256_cmpeq_epi8(load32(block + p.last), load32(p.lanes[2])));
            if (endsHit(p, static_cast<uint32_t>(_mm256_movemask_epi8(same)), base, text, length,
                        found)) {
                if (found == nullptr) return true;
                hit = true;
            }
        }
    }
    return hit;
}

namespace {

// The mask of the bytes from offset `at` of a text of `length` bytes up to its NUL, at most 64:
// the AVX-512 loads leave out what lies past it, so no copy of the text's end is needed.
inline uint64_t within(size_t length, size_t at) {
    const size_t n = at <= length ? length + 1 - at : 0;
    return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
}

}  // namespace

// And with AVX-512, 64 positions at a time.
__attribute__((target("avx512bw"))) bool KeywordMatcher::scanEndsAvx512(
        const char* text, size_t length, unsigned char* found) const {
    if (length < mEndsShortest) return false;
    const size_t lastStart = length - mEndsShortest;
    auto load = [ text, length ](size_t at) __attribute__((target("avx512bw"))) {
        return _mm512_maskz_loadu_epi8(within(length, at), text + at);
    };
    auto same = [](const EndsPattern& p, __m512i first, __m512i second, __m512i last)
            __attribute__((target("avx512bw"))) {
        return _mm512_mask_cmpeq_epi8_mask(
                _mm512_mask_cmpeq_epi8_mask(
                        _mm512_cmpeq_epi8_mask(first, _mm512_set1_epi8(p.lanes[0][0])), second,
                        _mm512_set1_epi8(p.lanes[1][0])),
                last, _mm512_set1_epi8(p.lanes[2][0]));
    };
    bool hit = false;
    for (size_t base = 0; base <= lastStart; base += 64) {
        const __m512i first = load(base);
        const __m512i second = load(base + 1);
        uint64_t any = 0;
        if (base + 63 + mEndsLongest <= length) {
            for (const EndsPattern& p : mEnds) {
                any |= same(p, first, second, _mm512_loadu_si512(text + base + p.last));
            }
        } else {
            for (const EndsPattern& p : mEnds) any |= same(p, first, second, load(base + p.last));
        }
        if (any == 0) continue;
        for (const EndsPattern& p : mEnds) {
            if (found != nullptr && found[p.pattern]) continue;
            if (endsHit(p, same(p, first, second, load(base + p.last)), base, text, length,
                        found)) {
                if (found == nullptr) return true;
                hit = true;
            }
        }
    }
    return hit;
}

// Up to 8 key words, one per bit of a byte: their first three bytes are found at once by nibble
// lookups, exact with one key word per bit, and only where those occur is the last byte compared.
// Ordinary text seldom holds the first three bytes of a key word, so most blocks cost the
// lookups alone, however many key words there are.
__attribute__((target("avx512bw"))) bool KeywordMatcher::scanHeadsAvx512(
        const char* text, size_t length, unsigned char* found) const {
    if (length < mEndsShortest) return false;
    const size_t lastStart = length - mEndsShortest;
    const __m512i low = _mm512_set1_epi8(15);
    __m512i nibbles[3][2];
    for (size_t j = 0; j < 3; ++j) {
        for (size_t half = 0; half < 2; ++half) {
            // The zeroing form: the plain one trips the compiler's uninitialised-use warning.
            nibbles[j][half] = _mm512_maskz_broadcast_i32x4(
                    0xFFFF,
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(mEndsNibbles[j][half])));
        }
    }
    bool hit = false;
    for (size_t base = 0; base <= lastStart; base += 64) {
        // Away from the end of the text every load is whole, and needs no mask.
        const bool inside = base + 63 + std::max<size_t>(mEndsLongest, 3) <= length;
        auto load = [&](size_t at) __attribute__((target("avx512bw"))) {
            return inside ? _mm512_loadu_si512(text + at)
                          : _mm512_maskz_loadu_epi8(within(length, at), text + at);
        };
        __m512i heads = _mm512_set1_epi8(-1);
        for (size_t j = 0; j < 3; ++j) {
            const __m512i v = load(base + j);
            heads = _mm512_and_si512(
                    heads,
                    _mm512_and_si512(
                            _mm512_shuffle_epi8(nibbles[j][0], _mm512_and_si512(v, low)),
                            _mm512_shuffle_epi8(nibbles[j][1],
                                                _mm512_and_si512(_mm512_srli_epi16(v, 4), low))));
        }
        if (_mm512_test_epi8_mask(heads, heads) == 0) continue;
        // Where key words' pieces fill the text, most blocks get here: each key word's last byte
        // is compared without a branch of its own, and only a block where one fits goes on.
        uint64_t ends[kHeadsMax];
        uint64_t any = 0;
        for (size_t k = 0; k < mEnds.size(); ++k) {
            const EndsPattern& p = mEnds[k];
            const size_t at = base + p.last;
            ends[k] = _mm512_mask_cmpeq_epi8_mask(
                    _mm512_test_epi8_mask(heads, _mm512_set1_epi8(static_cast<char>(1u << k))),
                    load(at), _mm512_set1_epi8(static_cast<char>(p.lanes[2][0])));
            any |= ends[k];
        }
        if (any == 0) continue;
        for (size_t k = 0; k < mEnds.size(); ++k) {
            const EndsPattern& p = mEnds[k];
            if (found != nullptr && found[p.pattern]) continue;
            if (endsHit(p, ends[k], base, text, length, found)) {
                if (found == nullptr) return true;
                hit = true;
            }
        }
    }
    return hit;
}

namespace {

// Per byte value: the indexes of its set bits, lowest first, one per byte, and how many there are.
struct LaneTable {
    uint64_t lanes[256];
    unsigned char count[256];
};

constexpr LaneTable makeLaneTable() {
    LaneTable table{};
    for (unsigned value = 0; value < 256; ++value) {
        unsigned n = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if ((value >> bit) & 1) table.lanes[value] |= uint64_t{bit} << (8 * n++);
        }
        table.count[value] = static_cast<unsigned char>(n);
    }
    return table;
}

constexpr LaneTable kLaneTable = makeLaneTable();
constexpr uint64_t kEveryByte = 0x0101010101010101ull;

// The sieve runs over chunks of this many bytes, so that a byte holds a candidate's offset.
constexpr size_t kChunk = 256;

}  // namespace

// The sieve writes where its candidates are without a branch per block: a hit is rare but
// unpredictable, and a mispredicted branch per block cost more than all the rest of a candidate.
// The candidates of a chunk are then checked against the bit filters, those that pass against
// the ends of the key word anchored there, and the few left against the patterns.
template <bool kWide>
TARND_MATCHER_TARGET bool KeywordMatcher::scanSieve(const char* text, size_t length,
                                                    unsigned char* found) const {
    const __m128i low = _mm_set1_epi8(15);
    const __m128i zero = _mm_setzero_si128();
    Sieve narrow(mNibbles[0]);
    Sieve wide(mNibbles[1]);
    // An index without anchors gets a one-word filter of zeros so that no test is needed.
    static const uint32_t kEmpty[1] = {0};
    const uint32_t* quadFilter = mGrams.width != 0 ? mGrams.filter.data() : kEmpty;
    const uint32_t* tripleFilter = mTriples.width != 0 ? mTriples.filter.data() : kEmpty;
    const uint32_t* windowFilter = !mWindows.empty() ? mWindows.data() : kEmpty;
    const unsigned quadShift = mGrams.width != 0 ? mGrams.filterShift : 27;
    const unsigned tripleShift = mTriples.width != 0 ? mTriples.filterShift : 27;
    const unsigned windowShift = !mWindows.empty() ? mWindowShift : 27;
    const uint32_t tripleMask = loadGram("\xff\xff\xff\xff", 3);
    // Lane i of a step's result is about the gram ending at base + i, so the steps run up to
    // the NUL, which a 3-byte key word's gram may end on.
    alignas(16) char tail[64];
    const size_t tailStart = copyTail(text, length, 0, tail);
    bool hit = false;
    for (size_t chunk = 0; chunk <= length; chunk += kChunk) {
        unsigned char ends[kChunk + 8];  // offsets in the chunk of the candidates' last bytes
        size_t count = 0;
        const size_t chunkEnd = std::min(chunk + kChunk, length + 1);
        for (size_t base = chunk; base < chunkEnd; base += 16) {
            const char* block = base < tailStart ? text + base : tail + (base - tailStart);
            const __m128i bytes = load16(block);
            const __m128i lowNibbles = _mm_and_si128(bytes, low);
            const __m128i highNibbles = _mm_and_si128(_mm_srli_epi16(bytes, 4), low);
            __m128i none = _mm_cmpeq_epi8(narrow.step(lowNibbles, highNibbles), zero);
            if (kWide) {
                none = _mm_and_si128(none,
                                     _mm_cmpeq_epi8(wide.step(lowNibbles, highNibbles), zero));
            }
            const unsigned candidates = static_cast<unsigned>(_mm_movemask_epi8(none)) ^ 0xFFFFu;
            if (!kWide && candidates == 0) continue;
            const uint64_t offset = static_cast<uint64_t>(base - chunk) * kEveryByte;
            const uint64_t first = kLaneTable.lanes[candidates & 0xFF] + offset;
            memcpy(ends + count, &first, sizeof(first));
            count += kLaneTable.count[candidates & 0xFF];
            const uint64_t second = kLaneTable.lanes[candidates >> 8] + offset + 8 * kEveryByte;
            memcpy(ends + count, &second, sizeof(second));
            count += kLaneTable.count[candidates >> 8];
        }
        // The filters' verdicts, gathered without a branch each too: on text made of pieces of
        // the key words about half of the candidates pass, as unpredictably.
        unsigned char kept[kChunk + 8];
        unsigned char kinds[kChunk + 8];  // 1: a 4-byte anchor may sit there, 2: a 3-byte one
        size_t passed = 0;
        for (size_t k = 0; k < count; ++k) {
            const size_t end = chunk + ends[k];
            if (end > length) break;     // lanes past the NUL, read from the tail's padding
            const size_t pos = end - 3;  // no gram ends before byte 3: the steps start on zeros
            uint32_t gram;
            memcpy(&gram, text + pos, sizeof(gram));
            uint32_t before = 0;
            uint32_t after = 0;
            if (pos >= kWindowLead && pos - kWindowLead + kWindow <= length) {
                memcpy(&before, text + pos - kWindowLead, sizeof(before));
                memcpy(&after, text + pos - kWindowLead + 4, sizeof(after));
            }
            const uint32_t window = windowBit(before, after, windowShift);
            const uint32_t quad =
                    (filterHas(quadFilter, quadShift, gram) | hasBit(windowFilter, window)) &
                    static_cast<uint32_t>(end < length);
            const uint32_t triple = filterHas(tripleFilter, tripleShift, gram & tripleMask);
            kept[passed] = ends[k];
            kinds[passed] = static_cast<unsigned char>(quad | triple << 1);
            passed += (quad | triple) != 0;
        }
        for (size_t k = 0; k < passed; ++k) {
            const size_t pos = chunk + kept[k] - 3;
            uint32_t gram;
            memcpy(&gram, text + pos, sizeof(gram));
            if (kinds[k] & 2) {
                const Slot* slot = candidate(mTriples, gram & tripleMask, text, length, pos);
                if (slot != nullptr && verify(mTriples, *slot, text, length, pos, found)) {
                    if (found == nullptr) return true;
                    hit = true;
                }
            }
            if (kinds[k] & 1) {
                const Slot* slot = candidate(mGrams, gram, text, length, pos);
                if (slot != nullptr && verify(mGrams, *slot, text, length, pos, found)) {
                    if (found == nullptr) return true;
                    hit = true;
                }
            }
        }
    }
    return hit;
}

// scanVector() in the header picks one of these: they are built here, where the target is known
// (an instantiation without it would not inline the SSSE3 helpers).
template TARND_MATCHER_TARGET bool KeywordMatcher::scanSieve<false>(const char*, size_t,
                                                                    unsigned char*) const;
template TARND_MATCHER_TARGET bool KeywordMatcher::scanSieve<true>(const char*, size_t,
                                                                   unsigned char*) const;
#else
bool KeywordMatcher::scanShort(const char*, size_t, unsigned char*) const { return false; }
bool KeywordMatcher::scanEnds(const char*, size_t, unsigned char*) const { return false; }
bool KeywordMatcher::scanEndsWide(const char*, size_t, unsigned char*) const { return false; }
bool KeywordMatcher::scanEndsAvx512(const char*, size_t, unsigned char*) const { return false; }
bool KeywordMatcher::scanHeadsAvx512(const char*, size_t, unsigned char*) const { return false; }

template <bool kWide>
bool KeywordMatcher::scanSieve(const char*, size_t, unsigned char*) const {
    return false;
}

template bool KeywordMatcher::scanSieve<false>(const char*, size_t, unsigned char*) const;
template bool KeywordMatcher::scanSieve<true>(const char*, size_t, unsigned char*) const;
#endif

}  // namespace android::tarnd
