#include "detectors/KeywordMatcher.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using android::tarnd::KeywordMatcher;
using Entries = std::vector<KeywordMatcher::Entry>;
using Names = std::vector<std::string>;

// The names the matcher sends for the text, or without one those of the plain reference search.
Names sent(const KeywordMatcher* matcher, const Entries& entries, const std::string& text) {
    Names names;
    auto add = [&names](const std::string& name) { names.push_back(name); };
    matcher ? matcher->match(text.c_str(), add)
            : KeywordMatcher::matchReference(entries, text.c_str(), add);
    return names;
}

// Everything in a text after a NUL is invisible, as for strstr; a key word ends at its first NUL.
const std::tuple<Entries, std::string, Names> kCases[] = {
        {{{"hang", {"HANG"}}, {"colon", {":"}}}, "gpu hang a:b", {"colon"}},
        {{{"first", {"zz"}}, {"second", {"aa", "bb"}}}, "bb aa then zz", {"first", "second"}},
        {{{"h", {"GPU HANG"}}, {"x", {"nope"}}, {"h", {"GPU HANG"}}}, "GPU HANG", {"h"}},
        {{{"h", {"GPU HANG"}}, {"f", {"fault"}}, {"h", {"ring"}}}, "fault, ring", {"f", "h"}},
        {{{"b", {"never"}}, {"a", {"xy"}}, {"b", {"xy"}}}, "xyz", {"a", "b"}},
        {{{"outer", {"ring timeout"}}, {"inner", {"timeo"}}}, "ring timeout", {"outer", "inner"}},
        {{{"l", {"abcab"}}, {"r", {"cabc"}}, {"a", {"aaaa"}}}, "xabcabcx baaab aaab", {"l", "r"}},
        {{{"x", {"nope"}}, {"all", {"zzz", ""}}}, "", {"all"}},
        {{{"n", {}}, {"m", {"b"}}, {"n", {"a"}}}, "abc", {"m", "n"}},
        {{{"hang", {"GPU HANG"}}}, std::string("ok\0GPU HANG", 11), {}},
        {{{"c", {std::string("GPU\0x", 5)}}, {"a", {std::string("\0q", 2)}}}, "GPU", {"c", "a"}},
        {{{"u", {"\xc3\xa9t\xc3\xa9"}}}, "r\xc3\xa9sum\xc3\xa9 \xc3\xa9t\xc3\xa9", {"u"}},
        // A long key word whole, then its head without the rest and cut by the end of the text.
        {{{"l", {"abcdefghijklmnopqrstu"}}, {"s", {"xyz"}}}, "xx abcdefghijklmnopqrstu", {"l"}},
        {{{"l", {"abcdefghijklmnopqrstu"}}, {"s", {"xyz"}}},
         "abcdefghijklmnopqrsX xyz abcdefghijklmnopqrst",
         {"s"}},
        // A key word too long for its ends to be kept beside its anchor, and one inside another.
        {{{"w", {std::string(300, 'w') + "ide"}}, {"i", {"wwwi"}}, {"z", {"zq"}}},
         "wwwi " + std::string(299, 'w') + "ide " + std::string(300, 'w') + "ide",
         {"w", "i"}},
        // Across the scan's 256-byte chunks, and a 3-byte key word ending on the NUL at 512.
        {{{"h", {"GPU HANG"}}, {"a", {"ANR"}}},
         std::string(250, '.') + "GPU HANG" + std::string(251, '.') + "ANR",
         {"h", "a"}},
};

// Padding with key words that never occur (punctuation and all) moves a case from the small-set
// path to the filter, and to a large set; each runs every scan the processor has, those without
// the head filter, and the portable ones. Many pads, or short ones, take sets with short key words
// to the automaton. Each matcher serves two threads at once, as the two detectors share theirs.
TEST(KeywordMatcherTest, TableAgreesWithReferenceOnEveryPath) {
    using Scans = KeywordMatcher::Scans;
    for (const auto& [base, text, expected] : kCases) {
        for (auto [pads, scans] : {std::pair{0, Scans::kAll},
                                   {3, Scans::kAll},
                                   {8, Scans::kAll},
                                   {50, Scans::kAll},
                                   {300, Scans::kAll},
                                   {1300, Scans::kAll},
                                   {3, Scans::kNoHeads},
                                   {8, Scans::kNoHeads},
                                   {12, Scans::kNoHeads},
                                   {50, Scans::kNoHeads},
                                   {300, Scans::kNoHeads},
                                   {1300, Scans::kNoHeads},
                                   {12, Scans::kPortable},
                                   {50, Scans::kPortable},
                                   {300, Scans::kPortable},
                                   {1300, Scans::kPortable}}) {
            SCOPED_TRACE(text + " with " + std::to_string(pads) + " pads, scans " +
                         std::to_string(static_cast<int>(scans)));
            Entries entries = base;
            const bool shortPads = pads > 1000;
            for (int k = 0; k < pads % 1000; ++k)
                entries.push_back(
                        {"p" + std::to_string(k),
                         {(shortPads ? "\x01" : "\x01(_-,=[]/;:.)") + std::to_string(k)}});
            KeywordMatcher matcher;
            matcher.build(entries, scans);
            EXPECT_EQ(sent(nullptr, entries, text), expected);
            Names other;
            std::thread thread([&, t = text] { other = sent(&matcher, entries, t); });
            EXPECT_EQ(sent(&matcher, entries, text), expected);
            thread.join();
            EXPECT_EQ(other, expected);
        }
    }
}

}  // namespace
