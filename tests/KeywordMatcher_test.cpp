#include "detectors/KeywordMatcher.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <iterator>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bench/LogCorpus.h"

// Counts allocations. Weak, so that a sanitizer runtime's operator new wins the link (nothing is
// counted then); out of line, because inlined their malloc and free look mismatched to gcc.
namespace {
std::atomic<size_t> gAllocations{0};
}  // namespace

__attribute__((weak, noinline)) void* operator new(size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    void* p = malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
__attribute__((weak, noinline)) void* operator new[](size_t size) { return operator new(size); }
__attribute__((weak, noinline)) void operator delete(void* p) noexcept { free(p); }
__attribute__((weak, noinline)) void operator delete[](void* p) noexcept { free(p); }
__attribute__((weak, noinline)) void operator delete(void* p, size_t) noexcept { free(p); }
__attribute__((weak, noinline)) void operator delete[](void* p, size_t) noexcept { free(p); }

namespace android {
namespace {

using Entries = std::vector<KeywordMatcher::Entry>;
using Names = std::vector<std::string>;
using std::string;

Names matchAll(const KeywordMatcher& matcher, const string& text) {
    Names sent;
    matcher.match(text.c_str(), [&sent](const string& name) { sent.push_back(name); });
    return sent;
}

Names referenceAll(const Entries& entries, const string& text) {
    Names sent;
    KeywordMatcher::matchReference(entries, text.c_str(),
                                   [&sent](const string& name) { sent.push_back(name); });
    return sent;
}

struct Case {
    Entries entries;
    string text;  // everything after a NUL is invisible, as for strstr
    Names expected;
};

const Case kCases[] = {
        {{{"hang", {"HANG"}}}, "gpu hang", {}},
        {{{"first", {"zz"}}, {"second", {"aa"}}}, "aa then zz", {"first", "second"}},
        {{{"hang", {"GPU HANG", "ring timeout"}}}, "GPU HANG after ring timeout", {"hang"}},
        {{{"h", {"GPU HANG"}}, {"x", {"nope"}}, {"h", {"GPU HANG"}}}, "GPU HANG", {"h"}},
        {{{"h", {"GPU HANG"}}, {"f", {"fault"}}, {"h", {"ring"}}}, "fault, ring", {"f", "h"}},
        {{{"b", {"never"}}, {"a", {"xy"}}, {"b", {"xy"}}}, "xyz", {"a", "b"}},
        {{{"outer", {"ring timeout"}}, {"inner", {"timeo"}}}, "ring timeout", {"outer", "inner"}},
        {{{"left", {"abcab"}}, {"right", {"cabc"}}}, "xxabcabcxx", {"left", "right"}},
        {{{"a", {"aaaa"}}}, "baaab aaab", {}},
        {{{"x", {"nope"}}, {"all", {"zzz", ""}}}, "", {"all"}},
        {{{"colon", {":"}}}, "a:b", {"colon"}},
        {{{"n", {}}, {"m", {"b"}}, {"n", {"a"}}}, "abc", {"m", "n"}},
        {{{"hang", {"GPU HANG"}}}, string("ok\0GPU HANG", 11), {}},
        {{{"hang", {string("GPU\0xyz", 7)}}}, "GPU HANG", {"hang"}},
        {{{"all", {string("\0abc", 4)}}}, "q", {"all"}},
        {{{"u", {"\xc3\xa9t\xc3\xa9"}}}, "r\xc3\xa9sum\xc3\xa9 \xc3\xa9t\xc3\xa9", {"u"}},
};

// Padding with key words that never occur moves a case from the small-set path to the filter.
TEST(KeywordMatcherTest, TableAgreesWithReference) {
    for (int i = 0; i < 2 * int(std::size(kCases)); ++i) {
        const Case& c = kCases[i / 2];
        SCOPED_TRACE(c.text);
        Entries entries = c.entries;
        for (int k = 0; i % 2 == 1 && k < 12; ++k) {
            entries.push_back({"pad" + std::to_string(k), {"\x01pad~" + std::to_string(k)}});
        }
        KeywordMatcher matcher;
        matcher.build(entries);
        EXPECT_EQ(referenceAll(entries, c.text), c.expected);
        EXPECT_EQ(matchAll(matcher, c.text), c.expected);
    }
}

// Tiny alphabets, so that key words occur often, overlap and repeat.
TEST(KeywordMatcherTest, AgreesWithReferenceOnRandomInput) {
    logcorpus::Rng rng(20240607);
    const int kTrials = 5000, kTexts = 20;
    int matched = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        const uint32_t letters = 2 + rng.below(rng.below(4) == 0 ? 5 : 3);
        auto random = [&](size_t length) {
            string s;
            while (s.size() < length) s.push_back("abcd\xe9:"[rng.below(letters)]);
            if (length > 0 && rng.below(20) == 0) s[rng.below(uint32_t(length))] = '\0';
            return s;
        };
        const string source = random(40);
        // Only long key words let the filter probe sparsely; mixed sets keep it dense.
        const uint32_t minLength = rng.below(3) == 0 ? 4 + rng.below(6) : 1;
        const uint32_t maxKeywords = rng.below(3) == 0 ? 12 : 4;
        Entries entries(rng.below(10));
        for (KeywordMatcher::Entry& entry : entries) {
            entry.name = "e" + std::to_string(rng.below(5));
            for (uint32_t k = rng.below(maxKeywords + 1); k > 0; --k) {
                const uint32_t length = minLength + rng.below(rng.below(3) == 0 ? 12 : 6);
                entry.keywords.push_back(rng.below(40) == 0 ? ""
                                         : rng.below(2) == 0
                                                 ? source.substr(rng.below(40 - minLength), length)
                                                 : random(length));
            }
        }
        KeywordMatcher matcher;
        matcher.build(entries);
        for (int t = 0; t < kTexts; ++t) {
            const uint32_t length = rng.below(rng.below(10) == 0 ? 400 : rng.below(2) ? 50 : 12);
            const string text = rng.below(4) == 0 ? source.substr(rng.below(40)) : random(length);
            const Names expected = referenceAll(entries, text);
            matched += expected.empty() ? 0 : 1;
            ASSERT_EQ(matchAll(matcher, text), expected) << "trial " << trial;
        }
    }
    // Both outcomes must stay common, or the comparison proves little.
    EXPECT_GT(matched, kTrials * kTexts / 10);
    EXPECT_LT(matched, kTrials * kTexts * 9 / 10);
}

// Device-like key word sets on log records: one matcher shared by two threads, as the two
// detectors share it, and no allocation for a record without key words.
TEST(KeywordMatcherTest, LogRecordsOnTwoThreadsWithoutAllocation) {
    const size_t probe = gAllocations.load();
    string* volatile counterProbe = new string(100, 'x');
    delete counterProbe;
    const bool counted = gAllocations.load() != probe;  // not under a sanitizer's operator new
    for (size_t count : {1, 8, 64, 256}) {
        SCOPED_TRACE(count);
        const Names keywords = logcorpus::keywords(count);
        Entries entries = {{"rare", {"\x02", "\x02\x03"}}};  // one- and two-byte key words
        for (size_t k = 0; k < count; ++k)
            entries.push_back({"e" + std::to_string(k % 24), {keywords[k]}});
        KeywordMatcher matcher;
        matcher.build(entries);
        const Names records = logcorpus::records(2000, keywords, count, 20);
        std::vector<Names> expected;
        size_t allocations = 0, matched = 0;
        for (const string& record : records) {
            expected.push_back(referenceAll(entries, record));
            matched += expected.back().empty() ? 0 : 1;
            const size_t before = gAllocations.load();
            if (expected.back().empty()) matcher.match(record.c_str(), [](const string&) {});
            allocations += gAllocations.load() - before;
        }
        EXPECT_GT(matched, 50u);
        EXPECT_TRUE(!counted || allocations == 0) << allocations << " allocations";
        std::atomic<size_t> wrong{0};
        auto check = [&] {
            for (size_t i = 0; i < records.size(); ++i) {
                if (matchAll(matcher, records[i]) != expected[i]) ++wrong;
            }
        };
        std::thread other(check);
        check();
        other.join();
        EXPECT_EQ(wrong.load(), 0u);
    }
}

}  // namespace
}  // namespace android
