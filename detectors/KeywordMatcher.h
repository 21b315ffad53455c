#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

namespace android::tarnd {

/// Finds which events' key words occur in a log text, compiled once for many texts.
class KeywordMatcher {
  public:
    // One event of an enabled monitor: it is sent when any of its key words occurs.
    struct Entry {
        std::string name;
        std::vector<std::string> keywords;
    };

    // The scans build() may choose from: every one the processor has, all but the head filter
    // (as on processors without AVX-512 VBMI), or the portable ones alone (as without SSSE3).
    enum class Scans { kAll, kNoHeads, kPortable };

    // Compiles the entries (events of the enabled monitors, in order). May be called again.
    void build(const std::vector<Entry>& entries, Scans scans = Scans::kAll);

    // Calls emit(const std::string& name) once per event to send for the NUL-terminated text,
    // in entry order, each name at most once. Allocates only when something matches; const and
    // free of shared scratch, so several threads may use one built matcher at once.
    template <typename F>
    void match(const char* text, F&& emit) const;

    // Bytes held by the compiled tables.
    size_t memoryUse() const;

    // The plain nested search that match() must agree with; kept for tests and measurements.
    template <typename F>
    static void matchReference(const std::vector<Entry>& entries, const char* text, F&& emit);

  private:
    // A pattern holding a gram at a byte offset; a gram hit at text position i puts the pattern's
    // candidate start at i - offset.
    struct Anchor {
        uint32_t gram;
        uint32_t pattern;
        uint32_t offset;
    };

    // Anchors sharing one gram: anchors[first, first + count) of the same index. Logs repeat
    // pieces of their key words, and a piece often holds an anchor gram but seldom both ends of
    // the key word: where one key word alone is anchored here, a hit is first checked against
    // its first and last bytes, `back` bytes before the gram and `forward` bytes after its start.
    struct Slot {
        uint32_t gram;  // 0 marks a free slot; no gram of a NUL-terminated text is 0
        uint32_t first;
        uint32_t count;
        unsigned char head;  // the key word's first byte; 0 when the hit goes straight to verify
        unsigned char tail;  // its last byte
        unsigned char back;
        unsigned char forward;
    };

    // Filter and lookup for the anchors of one gram width (2, 3 or 4 bytes). Every pattern has an
    // anchor at `stride` consecutive offsets, so probing every stride-th text position finds it.
    struct GramIndex {
        size_t width = 0;  // 0 while the index holds no anchor
        size_t stride = 1;
        unsigned filterShift = 0;      // 32 - log2(filter bits) for hashed grams
        unsigned slotShift = 0;        // 32 - log2(slot count)
        std::vector<uint32_t> filter;  // one bit per gram hash: some anchor may sit here
        std::vector<Slot> slots;       // open addressing on the exact gram
        std::vector<Anchor> anchors;   // sorted by gram
    };

    // A key word of 2 bytes, each byte repeated over 16 lanes, for the vector compare.
    struct ShortPattern {
        unsigned char lanes[2][16];
        uint32_t pattern;
    };

    // A key word of a small set, for the vector compare of its first two and its last byte at
    // every position: pieces of key words in a log seldom hold both ends of one.
    struct EndsPattern {
        unsigned char lanes[3][32];  // its first, second and last byte, each over 32 lanes
        uint32_t last;               // offset of the last byte
        uint32_t pattern;
    };

    struct CompiledEntry {
        uint32_t name;   // index into mNames
        uint32_t first;  // patterns are mEntryPatterns[first, first + count)
        uint32_t count;
    };

    // Returns whether any pattern occurs. With found == nullptr it stops at the first hit; else it
    // sets found[p] for every pattern p that occurs.
    bool scan(const char* text, unsigned char* found) const;
    // With the vector scan: the 2-byte patterns, then the sieve over the longer ones. scanVector()
    // is inline so that scan() enters the sieve without a call of its own per record.
    bool scanShort(const char* text, size_t length, unsigned char* found) const;
    bool scanEnds(const char* text, size_t length, unsigned char* found) const;
    bool scanEndsWide(const char* text, size_t length, unsigned char* found) const;
    bool scanEndsAvx512(const char* text, size_t length, unsigned char* found) const;
    bool scanHeadsAvx512(const char* text, size_t length, unsigned char* found) const;
    // The longest key word compared at its ends: the scan reads that far past each position, and
    // its copy of a text's end is that long.
    static constexpr size_t kEndsLongest = 64;
    static constexpr size_t kEndsTail = 2 * (kEndsLongest + 32) + 32;
    size_t copyEndsTail(const char* text, size_t length, size_t block, char* tail) const;
    bool endsHit(const EndsPattern& p, uint64_t lanes, size_t base, const char* text, size_t length,
                 unsigned char* found) const;
    bool scanVector(const char* text, size_t length, unsigned char* found) const {
        return mWide ? scanSieve<true>(text, length, found) : scanSieve<false>(text, length, found);
    }
    template <bool kWide>  // with the second set of buckets
    bool scanSieve(const char* text, size_t length, unsigned char* found) const;
    static bool vectorSupported();
    static unsigned widestVector();  // bytes: 64 with AVX-512, 32 with AVX2, 16 with SSSE3
    void buildBuckets();
    void addToBucket(const std::string& gram, size_t bucket);
    // Share of positions that pass the bucket, with gram added if not null; with weights per byte
    // value, of text with those byte frequencies, else of printable text, all bytes alike.
    double bucketPassRate(size_t bucket, const std::string* gram,
                          const double* weights = nullptr) const;
    bool scanGrams(const GramIndex& index, const char* text, size_t length,
                   unsigned char* found) const;
    // The slot of a gram hit at pos whose key word ends fit the text there, else nullptr.
    static const Slot* candidate(const GramIndex& index, uint32_t gram, const char* text,
                                 size_t length, size_t pos);
    bool verify(const GramIndex& index, const Slot& slot, const char* text, size_t length,
                size_t pos, unsigned char* found) const;
    // How many of the patterns hold each gram of `width` bytes: wherever their pieces turn up,
    // so does it.
    static std::map<uint32_t, size_t> gramHolders(const std::vector<std::string>& patterns,
                                                  const std::vector<uint32_t>& ids, size_t width);
    static std::vector<Anchor> anchorsFor(const std::vector<std::string>& patterns,
                                          const std::vector<uint32_t>& ids, size_t width,
                                          size_t stride, size_t before = 0, size_t after = 0);
    void buildWindows();
    // The portable scan's gram widths and strides, and its estimated work per byte.
    struct PortablePlan {
        size_t width = 4;
        size_t stride = 1;
        size_t pairStride = 1;
        double cost = 0;
    };
    static PortablePlan portablePlan(size_t pairs, size_t triples, size_t shortestLong);
    void chooseScan(Scans scans, const std::vector<uint32_t>& pairPatterns,
                    std::vector<uint32_t> triplePatterns, std::vector<uint32_t> longPatterns,
                    size_t shortestLong);
    bool buildEnds(const std::vector<uint32_t>& ids);
    // A larger set of short key words is searched by one automaton: its work per byte is the
    // same whatever the text holds, where pieces of short key words defeat every gram filter.
    // It reads key words up to headLength bytes; with prefixes, longer ones are read that far
    // and compared whole where that occurs, else they make it fail. So does a table too large.
    bool buildAutomaton(const std::vector<uint32_t>& ids, size_t headLength, bool prefixes);
    bool scanAutomaton(const char* text, size_t length, unsigned char* found) const;
    // With AVX-512 VBMI: the gram indexes' anchors, found by the head filter's table lookups, and
    // checked against their key word's ends in one table before any further lookup.
    static bool headsSupported();
    bool buildHeads(const std::vector<uint32_t>& pairPatterns,
                    const std::vector<uint32_t>& triplePatterns,
                    const std::vector<uint32_t>& longPatterns);
    bool scanHeads(const char* text, size_t length, unsigned char* found) const;
    bool headProbe(const char* text, size_t length, size_t pos, unsigned char* found) const;
    void buildHeadSlots();
    // Whether a key word ends at `end` where the automaton reached the accepting state `row`.
    bool accepted(uint32_t row, const char* text, size_t length, size_t end,
                  unsigned char* found) const;
    double buildVector(const std::vector<uint32_t>& pairPatterns,
                       const std::vector<uint32_t>& triplePatterns,
                       const std::vector<uint32_t>& longPatterns);
    void buildPortable(const PortablePlan& plan, const std::vector<uint32_t>& pairPatterns,
                       std::vector<uint32_t> triplePatterns, std::vector<uint32_t> longPatterns);
    void buildIndex(GramIndex& index, size_t width, size_t stride,
                    std::vector<Anchor> anchors) const;

    std::vector<std::string> mNames;        // distinct event names
    std::vector<std::string> mPatterns;     // distinct key words, cut at their first NUL
    std::vector<CompiledEntry> mEntries;    // entries with at least one key word, in order
    std::vector<uint32_t> mEntryPatterns;   // pattern indexes of all entries, concatenated
    bool mHasEmpty = false;                 // an empty key word matches every text
    uint32_t mEmptyPattern = 0;             // its index when mHasEmpty
    bool mSmallSet = false;                 // few key words: plain strstr beats any filter
    std::vector<uint32_t> mSearchPatterns;  // non-empty patterns, searched one by one when small
    std::string mSingleBytes;               // the one-byte patterns' bytes, for strpbrk
    std::vector<uint32_t> mSingleBytePatterns;  // their pattern indexes, same order
    // The vector scan runs (SSSE3): mShortPatterns, then the sieve over mTriples and mGrams.
    bool mVector = false;
    // A small set of patterns of 2 to kEndsLongest bytes is compared at their ends instead.
    std::vector<EndsPattern> mEnds;
    unsigned mEndsWidth = 16;  // the widest vector the processor has, in bytes
    size_t mEndsShortest = 0;
    size_t mEndsLongest = 0;
    // Up to 8 of them: per place among the first three bytes, per low and high nibble and its
    // value, one bit for each key word whose byte there has that nibble (all bits past its end).
    static constexpr size_t kHeadsMax = 8;
    unsigned char mEndsNibbles[3][2][16] = {};
    std::vector<ShortPattern> mShortPatterns;  // 2-byte patterns, compared whole
    // Per sieve, per place of a 4-byte gram, per nibble (low, then high) and its value: the
    // buckets holding a gram with that nibble there. The second sieve runs only when mWide.
    unsigned char mNibbles[2][4][2][16] = {};
    bool mWide = false;
    GramIndex mTriples;  // with the vector scan: 3-byte patterns, in bucket 0
    GramIndex mPairs;    // patterns of 2 bytes, anchored on themselves
    // Longer patterns: with the vector scan on 4-byte grams at every position; else on 3-byte
    // grams if some have 3 bytes, or 4-byte ones at a stride.
    GramIndex mGrams;
    // With the vector scan: one bit per hash of the 8 bytes around the anchor of each pattern of
    // 8 bytes or more; mGrams' filter then holds the shorter patterns' anchors alone.
    std::vector<uint32_t> mWindows;
    unsigned mWindowShift = 0;
    // The automaton: a state is the offset of its row of mAutomatonWidth next states, one per
    // class of bytes. States from mFirstAccepting on end key words, those of state s being
    // mAccepted[mAcceptFirst[s - mFirstAccepting], mAcceptFirst[s - mFirstAccepting + 1]).
    std::vector<uint32_t> mAutomaton;
    unsigned char mByteClass[256] = {};
    uint32_t mAutomatonWidth = 1;
    uint32_t mFirstAccepting = 0;
    size_t mAutomatonLongest = 0;  // the most it reads of one key word
    size_t mAutomatonHead = 0;     // longer key words are compared past this
    std::vector<uint32_t> mAcceptFirst;
    std::vector<uint32_t> mAccepted;
    // The head filter: per group of 8 buckets, per place of the gram, per byte value's low 7 bits,
    // one bit for each bucket holding a gram with that byte there (all bits past a short gram).
    // The groups of 4-byte grams come first, then those of whole key words of 2 or 3 bytes.
    // Aligned so that no 64-byte load of a table spans two cache lines.
    struct alignas(64) HeadGroup {
        unsigned char places[4][128];
    };
    std::vector<HeadGroup> mHeadTables;
    size_t mHeadGroups = 0;
    size_t mHeadLongGroups = 0;
    size_t mHeadsShortest = 0;
    bool mHeadsMixed = false;  // a bucket of 4-byte grams holds several
    // The anchor grams, each in its own slot with the first and last byte of its key word, `back`
    // bytes before the gram and `forward` bytes after its start; with head 0 it passes wherever
    // it occurs. A gram's slot is its first hash displaced by the entry of its second.
    struct HeadSlot {
        uint32_t key;
        unsigned char head;
        unsigned char tail;
        unsigned char back;
        unsigned char forward;
    };
    std::vector<HeadSlot> mHeadSlots;
    std::vector<uint32_t> mHeadDisplacements;
    unsigned mHeadSlotShift = 0;
    unsigned mHeadGroupShift = 0;
    uint32_t mHeadMultiplier = 0;
    uint32_t headHash(uint32_t gram) const { return (gram * mHeadMultiplier) >> mHeadSlotShift; }
    uint32_t headGroup(uint32_t gram) const { return (gram * 0x9E3779B1u) >> mHeadGroupShift; }
};

template <typename F>
void KeywordMatcher::match(const char* text, F&& emit) const {
    // Nearly every record matches nothing: settle that without touching the heap.
    if (!mHasEmpty && !scan(text, nullptr)) {
        return;
    }
    std::vector<unsigned char> found(mPatterns.size(), 0);
    scan(text, found.data());
    std::vector<unsigned char> sent(mNames.size(), 0);
    for (const CompiledEntry& entry : mEntries) {
        if (sent[entry.name]) {
            continue;
        }
        for (uint32_t k = entry.first; k < entry.first + entry.count; ++k) {
            if (found[mEntryPatterns[k]]) {
                sent[entry.name] = 1;
                emit(mNames[entry.name]);
                break;
            }
        }
    }
}

template <typename F>
void KeywordMatcher::matchReference(const std::vector<Entry>& entries, const char* text, F&& emit) {
    std::vector<const std::string*> sent;
    for (const Entry& entry : entries) {
        bool already = false;
        for (const std::string* name : sent) {
            if (*name == entry.name) {
                already = true;
                break;
            }
        }
        if (already) {
            continue;
        }
        for (const std::string& keyword : entry.keywords) {
            if (strstr(text, keyword.c_str()) != nullptr) {
                emit(entry.name);
                sent.push_back(&entry.name);
                break;
            }
        }
    }
}

}  // namespace android::tarnd
