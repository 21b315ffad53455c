// What the stand-in must share with the real libutils strings: both builds run these.
#include <gtest/gtest.h>
#include <utils/String16.h>
#include <utils/String8.h>

#include <string>
#include <tuple>

using android::String16;

TEST(StringsTest, ConversionsKeepNulsDropLoneSurrogatesAndCompareByStrzcmp16) {
    // String16 == "ab": a trailing NUL unit does not tell them apart.
    const std::tuple<std::u16string, std::string, bool> cases[] = {
            {u"ab", "ab", true},
            {std::u16string(u"ab\0", 3), std::string("ab\0", 3), true},
            {std::u16string(u"a\xD800", 2), "a", false},
            {u"\xE9\xD83D\xDE00", "\xC3\xA9\xF0\x9F\x98\x80", false}};
    for (const auto& [in, utf8, equalsAb] : cases) {
        String16 s(in.data(), in.size());
        EXPECT_EQ(std::string(android::String8(s).string(), android::String8(s).size()), utf8);
        EXPECT_EQ(s == String16("ab"), equalsAb) << utf8;
    }
    EXPECT_EQ(String16("a\xE2\x82").size(), 0u);  // a cut sequence converts to nothing
    EXPECT_DEATH(android::String8 s(static_cast<const char*>(nullptr)), "");
}
