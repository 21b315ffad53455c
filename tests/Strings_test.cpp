// What the daemon relies on from libutils' strings, checked on the stand-in and on the real
// library alike, so that the two cannot drift apart.
#include <gtest/gtest.h>
#include <utils/String16.h>
#include <utils/String8.h>
#include <utils/Unicode.h>
#include <utils/Vector.h>

#include <string>

using android::String16;
using android::String8;

namespace {

std::string bytes(const String8& s) { return std::string(s.string(), s.size()); }

}  // namespace

TEST(StringsTest, Utf16ToUtf8KeepsNulsAndDropsLoneSurrogates) {
    const struct {
        std::u16string in;
        std::string out;
    } cases[] = {
            {u"gpu_hang", "gpu_hang"},
            {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
            {std::u16string(u"a\xD800z", 3), "az"},
            {u"\xE9\x20AC\xD83D\xDE00", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bytes(String8(String16(c.in.data(), c.in.size()))), c.out) << c.out;
    }
}

TEST(StringsTest, Utf8ToUtf16GivesNothingForACutSequence) {
    const struct {
        const char* in;
        std::u16string out;
    } cases[] = {
            {"gpu", u"gpu"},
            {"\xC3\xA9", u"\xE9"},
            {"a\xE2\x82", u""},
            {"a\xFF", u""},
    };
    for (const auto& c : cases) {
        String16 s(c.in);
        EXPECT_EQ(std::u16string(s.string(), s.size()), c.out) << c.in;
    }
}

TEST(StringsTest, LengthSettersKeepNulsAndComparisonsStopThere) {
    String8 s("xy");
    s.append("a\0b", 3);
    EXPECT_EQ(bytes(s), std::string("xya\0b", 5));
    EXPECT_TRUE(s == String8("xya"));
    s.setTo("a\0b", 3);
    EXPECT_EQ(s.size(), 3u);
    s.setTo(static_cast<const char*>(nullptr), 0);
    EXPECT_TRUE(s.isEmpty());
}

TEST(StringsTest, Strzcmp16PastTheShorterStringLooksAtOneUnit) {
    const struct {
        std::u16string a, b;
        int sign;
    } cases[] = {
            {u"ab", u"ab", 0},  {u"ab", u"abc", -1},
            {u"abc", u"ab", 1}, {std::u16string(u"ab\0", 3), u"ab", 0},
            {u"ab", u"ac", -1},
    };
    for (const auto& c : cases) {
        int r = strzcmp16(c.a.data(), c.a.size(), c.b.data(), c.b.size());
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a.size() << " " << c.b.size();
        EXPECT_EQ(String16(c.a.data(), c.a.size()) == String16(c.b.data(), c.b.size()),
                  c.sign == 0);
    }
}

TEST(StringsTest, VectorRefusesAnInsertOrRemovePastTheEnd) {
    android::Vector<int> v;
    v.add(1);
    EXPECT_EQ(v.insertAt(7, 5), android::BAD_INDEX);
    EXPECT_EQ(v.removeAt(3), android::BAD_VALUE);
    EXPECT_EQ(v.size(), 1u);
}

TEST(StringsTest, NullCStringIsFatal) {
    EXPECT_DEATH(String8 s(static_cast<const char*>(nullptr)), "");
}
