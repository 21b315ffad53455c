#include "detectors/KeywordMatcher.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bench/LogCorpus.h"

// Counts heap allocations so a test can check that a text without key words costs none. Weak, so
// that a sanitizer runtime's own operator new wins the link (the test then skips); out of line,
// because inlined their malloc and free look mismatched to gcc.
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

Names matchAll(const KeywordMatcher& matcher, const std::string& text) {
    Names sent;
    matcher.match(text.c_str(), [&sent](const std::string& name) { sent.push_back(name); });
    return sent;
}

Names referenceAll(const Entries& entries, const std::string& text) {
    Names sent;
    KeywordMatcher::matchReference(entries, text.c_str(),
                                   [&sent](const std::string& name) { sent.push_back(name); });
    return sent;
}

struct Case {
    const char* title;
    Entries entries;
    std::string text;  // may hold a NUL: everything after it is invisible, as for strstr
    Names expected;
};

// Many distinct key words force the filter path; a handful take the direct search path. Each case
// runs on both by padding the entries with events whose key words never occur.
Entries padded(Entries entries) {
    for (int k = 0; k < 12; ++k) {
        entries.push_back({"pad" + std::to_string(k), {"\x01pad~" + std::to_string(k)}});
    }
    return entries;
}

std::vector<Case> cases() {
    using std::string;
    return {
            {"no entries", {}, "GPU HANG on rcs0", {}},
            {"nothing matches", {{"gpu_hang", {"GPU HANG"}}}, "gpu hang on rcs0", {}},
            {"key word in message",
             {{"gpu_hang", {"GPU HANG"}}},
             "6,1,2,-;i915: GPU HANG: ecode",
             {"gpu_hang"}},
            {"key word in record header",
             {{"seq", {"1234"}}},
             "6,1234,5678901,-;usb 1-1: new",
             {"seq"}},
            {"case-sensitive", {{"hang", {"HANG"}}}, "gpu hang", {}},
            {"whole text is the key word", {{"a", {"ring timeout"}}}, "ring timeout", {"a"}},
            {"key word longer than text", {{"a", {"ring timeout!"}}}, "ring timeout", {}},
            {"at start and end",
             {{"s", {"6,1"}}, {"e", {"rcs0"}}},
             "6,1,2,-;hang on rcs0",
             {"s", "e"}},
            {"two events keep entry order",
             {{"first", {"zz"}}, {"second", {"aa"}}},
             "aa then zz",
             {"first", "second"}},
            {"two events, one key word each",
             {{"hang", {"GPU HANG"}}, {"fault", {"page fault at"}}},
             "page fault at 0x0 after GPU HANG",
             {"hang", "fault"}},
            {"two key words of one event send it once",
             {{"hang", {"GPU HANG", "ring timeout"}}},
             "GPU HANG after ring timeout",
             {"hang"}},
            {"same event in two entries sent once",
             {{"hang", {"GPU HANG"}}, {"other", {"nope"}}, {"hang", {"GPU HANG"}}},
             "GPU HANG",
             {"hang"}},
            {"same name, second entry's key words",
             {{"hang", {"GPU HANG"}}, {"fault", {"fault"}}, {"hang", {"ring timeout"}}},
             "fault, ring timeout",
             {"fault", "hang"}},
            {"same name, both entries' key words occur",
             {{"hang", {"GPU HANG"}}, {"fault", {"fault"}}, {"hang", {"ring timeout"}}},
             "ring timeout, GPU HANG, fault",
             {"hang", "fault"}},
            {"name order set by first matching entry",
             {{"b", {"never"}}, {"a", {"xy"}}, {"b", {"xy"}}},
             "xyz",
             {"a", "b"}},
            {"nested key words",
             {{"outer", {"ring timeout"}}, {"inner", {"timeo"}}},
             "ring timeout",
             {"outer", "inner"}},
            {"overlapping key words",
             {{"left", {"abcab"}}, {"right", {"cabc"}}},
             "xxabcabcxx",
             {"left", "right"}},
            {"self-overlapping key word", {{"a", {"aaaa"}}}, "baaab aaaa", {"a"}},
            {"self-overlap not enough", {{"a", {"aaaa"}}}, "baaab aaab", {}},
            {"empty key word matches everything",
             {{"x", {"nope"}}, {"all", {""}}},
             "anything",
             {"all"}},
            {"empty key word matches empty text", {{"all", {""}}}, "", {"all"}},
            {"empty key word after others", {{"all", {"zzz", ""}}}, "", {"all"}},
            {"one-byte key word", {{"colon", {":"}}}, "a:b", {"colon"}},
            {"one-byte key word absent", {{"colon", {":"}}}, "ab", {}},
            {"one-byte key word at end", {{"z", {"z"}}}, "aaz", {"z"}},
            {"two-byte key word", {{"two", {"GP"}}}, "xGP", {"two"}},
            {"three-byte key word", {{"three", {"GPU"}}}, "GPU", {"three"}},
            {"three-byte key word absent", {{"three", {"GPU"}}}, "GP U", {}},
            {"entry without key words never matches",
             {{"none", {}}, {"some", {"a"}}},
             "abc",
             {"some"}},
            {"entry without key words does not block its name",
             {{"n", {}}, {"m", {"b"}}, {"n", {"a"}}},
             "abc",
             {"m", "n"}},
            {"text stops at NUL", {{"hang", {"GPU HANG"}}}, string("ok\0GPU HANG", 11), {}},
            {"text before NUL still matches",
             {{"hang", {"GPU"}}},
             string("GPU\0HANG", 8),
             {"hang"}},
            {"key word cut at its NUL", {{"hang", {string("GPU\0xyz", 7)}}}, "GPU HANG", {"hang"}},
            {"key word starting with NUL is empty", {{"all", {string("\0abc", 4)}}}, "q", {"all"}},
            {"names compared as bytes",
             {{"ab", {"x"}}, {string("ab\0c", 4), {"x"}}},
             "x",
             {"ab", string("ab\0c", 4)}},
            {"high bytes",
             {{"utf8", {"\xc3\xa9t\xc3\xa9"}}},
             "r\xc3\xa9sum\xc3\xa9 \xc3\xa9t\xc3\xa9",
             {"utf8"}},
            {"key word across two lines", {{"a", {"x\ny"}}}, "ax\nyb", {"a"}},
    };
}

class KeywordMatcherCaseTest : public ::testing::TestWithParam<bool> {};

TEST_P(KeywordMatcherCaseTest, Table) {
    const bool pad = GetParam();
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.title);
        const Entries entries = pad ? padded(c.entries) : c.entries;
        KeywordMatcher matcher;
        matcher.build(entries);
        EXPECT_EQ(referenceAll(entries, c.text), c.expected);
        EXPECT_EQ(matchAll(matcher, c.text), c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(FewAndManyKeyWords, KeywordMatcherCaseTest, ::testing::Bool());

TEST(KeywordMatcherTest, UnbuiltMatcherMatchesNothing) {
    KeywordMatcher matcher;
    EXPECT_EQ(matchAll(matcher, "GPU HANG"), Names());
}

TEST(KeywordMatcherTest, BuildReplacesEarlierEntries) {
    KeywordMatcher matcher;
    matcher.build(padded({{"old", {"GPU HANG"}}}));
    matcher.build({{"new", {"ring timeout"}}});
    EXPECT_EQ(matchAll(matcher, "GPU HANG"), Names());
    EXPECT_EQ(matchAll(matcher, "ring timeout"), Names({"new"}));
}

bool allocationsCounted() {
    const size_t before = gAllocations.load();
    std::string* volatile probe = new std::string(100, 'x');
    delete probe;
    return gAllocations.load() != before;
}

TEST(KeywordMatcherTest, NoHeapAllocationWithoutMatch) {
    if (!allocationsCounted()) {
        GTEST_SKIP() << "operator new is not this test's (sanitizer build): allocations uncounted";
    }
    for (size_t count : {1, 2, 8, 64, 256}) {
        SCOPED_TRACE(count);
        Entries entries;
        const Names keywords = logcorpus::keywords(count);
        for (size_t k = 0; k < keywords.size(); ++k) {
            entries.push_back({"event" + std::to_string(k % 40), {keywords[k], "one-byte\x01"}});
        }
        if (count > 2) {
            entries.push_back({"single", {"\x02"}});
            entries.push_back({"pair", {"\x02\x03"}});
        }
        KeywordMatcher matcher;
        matcher.build(entries);
        const std::string text(
                "6,1234,5678901,-;i915 0000:00:02.0: [drm] GuC firmware i915/kbl_guc_33.0.0.bin "
                "version 33.0 pipe A vblank rcs0 timeout");
        size_t emitted = 0;
        const size_t before = gAllocations.load();
        matcher.match(text.c_str(), [&emitted](const std::string&) { ++emitted; });
        EXPECT_EQ(gAllocations.load() - before, 0u);
        EXPECT_EQ(emitted, 0u);
    }
}

// Random entries and texts over tiny alphabets, so key words occur often, overlap and repeat.
TEST(KeywordMatcherTest, AgreesWithReferenceOnRandomInput) {
    logcorpus::Rng rng(20240607);
    size_t matchedTexts = 0;
    size_t texts = 0;
    for (int trial = 0; trial < 5000; ++trial) {
        static const char kAlphabet[] = "abcd\xe9:";
        const uint32_t letters = 2 + rng.below(rng.below(4) == 0 ? 5 : 3);
        auto randomString = [&](size_t length) {
            std::string s;
            for (size_t k = 0; k < length; ++k) s.push_back(kAlphabet[rng.below(letters)]);
            if (length > 0 && rng.below(20) == 0)
                s[rng.below(static_cast<uint32_t>(length))] = '\0';
            return s;
        };
        const std::string source = randomString(40);

        Entries entries;
        const uint32_t entryCount = rng.below(10);
        const uint32_t maxKeywords = rng.below(3) == 0 ? 12 : 4;
        // Sets of only long key words let the filter probe sparsely; mixed sets keep it dense.
        const uint32_t minLength = rng.below(3) == 0 ? 4 + rng.below(6) : 1;
        for (uint32_t e = 0; e < entryCount; ++e) {
            KeywordMatcher::Entry entry;
            entry.name = "e" + std::to_string(rng.below(5));
            const uint32_t keywordCount = rng.below(maxKeywords + 1);
            for (uint32_t k = 0; k < keywordCount; ++k) {
                const uint32_t length = minLength + rng.below(rng.below(3) == 0 ? 12 : 6);
                if (rng.below(40) == 0) {
                    entry.keywords.push_back("");
                } else if (rng.below(2) == 0) {
                    entry.keywords.push_back(source.substr(rng.below(40 - minLength), length));
                } else if (minLength == 1 && rng.below(8) == 0) {
                    entry.keywords.push_back(randomString(1));
                } else {
                    entry.keywords.push_back(randomString(length));
                }
            }
            entries.push_back(entry);
        }
        KeywordMatcher matcher;
        matcher.build(entries);

        for (int t = 0; t < 20; ++t) {
            const uint32_t length = rng.below(rng.below(10) == 0 ? 400 : rng.below(2) ? 50 : 12);
            const std::string text =
                    rng.below(4) == 0 ? source.substr(rng.below(40)) : randomString(length);
            const Names expected = referenceAll(entries, text);
            ++texts;
            matchedTexts += expected.empty() ? 0 : 1;
            ASSERT_EQ(matchAll(matcher, text), expected)
                    << "trial " << trial << " text \"" << text.c_str() << "\"";
        }
    }
    // The generator must keep both outcomes common, or the comparison proves little.
    EXPECT_GT(matchedTexts, texts / 10);
    EXPECT_LT(matchedTexts, texts * 9 / 10);
}

Entries corpusEntries(size_t count) {
    Entries entries;
    const Names keywords = logcorpus::keywords(count);
    // Several events per name and several key words per event, as a device configuration has.
    for (size_t k = 0; k < keywords.size(); k += 2) {
        KeywordMatcher::Entry entry{"event" + std::to_string(k % 24), {keywords[k]}};
        if (k + 1 < keywords.size()) entry.keywords.push_back(keywords[k + 1]);
        entries.push_back(entry);
    }
    return entries;
}

TEST(KeywordMatcherTest, AgreesWithReferenceOnLogRecords) {
    for (size_t count : {1, 8, 64, 256}) {
        SCOPED_TRACE(count);
        const Entries entries = corpusEntries(count);
        KeywordMatcher matcher;
        matcher.build(entries);
        size_t matched = 0;
        for (const std::string& record :
             logcorpus::records(3000, logcorpus::keywords(count), count, 20)) {
            const Names expected = referenceAll(entries, record);
            matched += expected.empty() ? 0 : 1;
            ASSERT_EQ(matchAll(matcher, record), expected) << record;
        }
        EXPECT_GT(matched, 50u);
    }
}

TEST(KeywordMatcherTest, SharedAcrossThreads) {
    const Entries entries = corpusEntries(64);
    KeywordMatcher matcher;
    matcher.build(entries);
    const std::vector<std::string> records =
            logcorpus::records(2000, logcorpus::keywords(64), 7, 10);
    std::vector<Names> expected;
    for (const std::string& record : records) expected.push_back(referenceAll(entries, record));

    std::vector<std::vector<Names>> results(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&matcher, &records, &results, t] {
            for (const std::string& record : records) {
                results[t].push_back(matchAll(matcher, record));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const std::vector<Names>& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
}  // namespace android
