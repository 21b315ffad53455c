// What the stand-in must share with the real libutils strings: both builds run these.
#include <gtest/gtest.h>
#include <utils/String16.h>
#include <utils/String8.h>

#include <string>

using android::String16;
using android::String8;

TEST(StringsTest, ConversionsKeepNulsDropLoneSurrogatesAndCompareByStrzcmp16) {
    const struct {
        std::u16string in;
        std::string utf8;
        bool equalsAb;  // String16 == "ab": a trailing NUL unit does not tell them apart
    } cases[] = {
            {u"ab", "ab", true},
            {std::u16string(u"ab\0", 3), std::string("ab\0", 3), true},
            {std::u16string(u"a\xD800", 2), "a", false},
            {u"\xE9\xD83D\xDE00", "\xC3\xA9\xF0\x9F\x98\x80", false},
    };
    for (const auto& c : cases) {
        String16 s(c.in.data(), c.in.size());
        String8 utf8(s);
        EXPECT_EQ(std::string(utf8.string(), utf8.size()), c.utf8) << c.utf8;
        EXPECT_EQ(s == String16("ab"), c.equalsAb) << c.utf8;
    }
    EXPECT_EQ(String16("a\xE2\x82").size(), 0u);  // a cut sequence converts to nothing
    EXPECT_DEATH(String8 s(static_cast<const char*>(nullptr)), "");
}
