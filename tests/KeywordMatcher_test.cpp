#include "detectors/KeywordMatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench/LogCorpus.h"

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

// Device-like key word sets on log records: one matcher shared by two threads, as the two
// detectors share it.
TEST(KeywordMatcherTest, LogRecordsOnTwoThreadsAgreeWithReference) {
    for (size_t count : {1, 64, 256}) {
        SCOPED_TRACE(count);
        const Names keywords = logcorpus::keywords(count);
        Entries entries = {{"rare", {"\x02", "\x02\x03"}}};  // one- and two-byte key words
        for (size_t k = 0; k < count; ++k)
            entries.push_back({"e" + std::to_string(k % 24), {keywords[k]}});
        KeywordMatcher matcher;
        matcher.build(entries);
        const Names records = logcorpus::records(2000, keywords, count, 20);
        std::atomic<size_t> matched{0}, wrong{0};
        auto check = [&] {
            for (const string& record : records) {
                const Names expected = referenceAll(entries, record);
                matched += !expected.empty();
                wrong += matchAll(matcher, record) != expected;
            }
        };
        std::thread other(check);
        check();
        other.join();
        EXPECT_GT(matched.load(), 100u);
        EXPECT_EQ(wrong.load(), 0u);
    }
}

}  // namespace
}  // namespace android
