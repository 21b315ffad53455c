// What the stand-in must share with the real libutils strings: both builds run these.
#include <gtest/gtest.h>
#include <utils/String16.h>
#include <utils/String8.h>

#include <string>

#include "TestSupport.h"

using android::String16;

namespace {

// UTF-16 text, its UTF-8 conversion, and whether it equals String16("ab"): the comparison is
// strzcmp16's, to which a trailing NUL unit makes no difference.
using Utf16Row = std::tuple<const char*, std::u16string, std::string, bool>;
const Utf16Row kUtf16Rows[] = {
        {"Plain", u"ab", "ab", true},
        {"NulKept", std::u16string(u"ab\0", 3), std::string("ab\0", 3), true},
        {"LoneSurrogateDropped", std::u16string(u"a\xD800", 2), "a", false},
        {"PairConverted", u"\xE9\xD83D\xDE00", "\xC3\xA9\xF0\x9F\x98\x80", false}};

class String16Test : public ::testing::TestWithParam<Utf16Row> {};

TEST_P(String16Test, ToUtf8) {
    const auto& [name, utf16, utf8, equalsAb] = GetParam();
    const String16 s(utf16.data(), utf16.size());
    EXPECT_EQ(std::string(android::String8(s).string(), android::String8(s).size()), utf8);
    EXPECT_EQ(s == String16("ab"), equalsAb);
}
TARND_NAMED_ROWS(String16Test, kUtf16Rows);

TEST(StringsTest, CutUtf8SequenceConvertsToNothing) { EXPECT_EQ(String16("a\xE2\x82").size(), 0u); }

TEST(StringsTest, NullString8Aborts) {
    EXPECT_DEATH(android::String8 s(static_cast<const char*>(nullptr)), "");
}

}  // namespace
