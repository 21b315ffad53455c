#include "events/ChannelReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using android::ChannelReader;

namespace {

// Feeds each chunk as one receive and returns the names, with how many were dropped.
std::vector<ChannelReader::Name> feedAll(ChannelReader& reader,
                                         const std::vector<std::string>& chunks,
                                         size_t* dropped = nullptr) {
    std::vector<ChannelReader::Name> names;
    size_t drops = 0;
    for (const std::string& chunk : chunks) {
        // Exactly the received bytes on the heap, so that a read past them is caught.
        std::vector<char> bytes(chunk.begin(), chunk.end());
        drops += reader.feed(bytes.data(), bytes.size(), &names);
    }
    if (dropped != nullptr) *dropped = drops;
    return names;
}

std::vector<std::string> nameTexts(const std::vector<ChannelReader::Name>& names) {
    std::vector<std::string> out;
    for (const ChannelReader::Name& n : names) out.push_back(n.name);
    return out;
}

TEST(ChannelReaderTest, EighteenBytesGiveTwoNames) {
    ChannelReader reader;
    std::vector<ChannelReader::Name> names = feedAll(reader, {"gpu_hang\nvpu_hang\n"});
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].name, "gpu_hang");
    EXPECT_TRUE(names[0].first);
    EXPECT_EQ(names[1].name, "vpu_hang");
    EXPECT_FALSE(names[1].first);
    EXPECT_EQ(names[1].curSize, 9);
    EXPECT_EQ(names[1].msgSize, 18);
    EXPECT_EQ(reader.pendingSize(), 0u);
}

struct SplitCase {
    const char* what;
    std::vector<std::string> chunks;
    std::vector<std::string> names;
    size_t pending;  // bytes carried after the last chunk
};

const std::vector<SplitCase>& splitCases() {
    static const std::vector<SplitCase> kCases = {
            {"one name", {"gpu_hang\n"}, {"gpu_hang"}, 0},
            {"bare name waits for its newline", {"gpu_hang"}, {}, 8},
            {"newline alone completes the carried name", {"gpu_hang", "\n"}, {"gpu_hang"}, 0},
            {"name cut in two", {"gpu_", "hang\n"}, {"gpu_hang"}, 0},
            {"name cut in three", {"gp", "u_ha", "ng\nvpu_hang\n"}, {"gpu_hang", "vpu_hang"}, 0},
            {"cut right before the newline",
             {"gpu_hang", "\nvpu_hang\n"},
             {"gpu_hang", "vpu_hang"},
             0},
            {"cut right after the newline",
             {"gpu_hang\n", "vpu_hang\n"},
             {"gpu_hang", "vpu_hang"},
             0},
            {"empty pieces skipped",
             {"\n\ngpu_hang\n\n\nvpu_hang\n\n"},
             {"gpu_hang", "vpu_hang"},
             0},
            {"empty receives", {"", "gpu_", "", "hang\n", ""}, {"gpu_hang"}, 0},
            {"names with blanks kept whole", {"gpu hang \n"}, {"gpu hang "}, 0},
            {"tail kept after names", {"a\nb\nc"}, {"a", "b"}, 1},
    };
    return kCases;
}

class ChannelReaderSplitTest : public ::testing::TestWithParam<size_t> {};

TEST_P(ChannelReaderSplitTest, Names) {
    const SplitCase& c = splitCases()[GetParam()];
    ChannelReader reader;
    EXPECT_EQ(nameTexts(feedAll(reader, c.chunks)), c.names) << c.what;
    EXPECT_EQ(reader.pendingSize(), c.pending) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Table, ChannelReaderSplitTest,
                         ::testing::Range<size_t>(0, splitCases().size()));

TEST(ChannelReaderTest, EverySplitPointGivesTheSameNames) {
    const std::string stream = "gpu_hang\nvpu_hang\n\nx\ndisplay_underrun\n";
    const std::vector<std::string> expected = {"gpu_hang", "vpu_hang", "x", "display_underrun"};
    for (size_t i = 0; i <= stream.size(); ++i) {
        for (size_t j = i; j <= stream.size(); ++j) {
            ChannelReader reader;
            std::vector<std::string> chunks = {stream.substr(0, i), stream.substr(i, j - i),
                                               stream.substr(j)};
            EXPECT_EQ(nameTexts(feedAll(reader, chunks)), expected) << i << "," << j;
            EXPECT_EQ(reader.pendingSize(), 0u);
        }
    }
}

TEST(ChannelReaderTest, CursorCountsTheNamesOfTheSameReceive) {
    ChannelReader reader;
    std::vector<ChannelReader::Name> names = feedAll(reader, {"gpu_", "hang\n\nvpu_hang\nab\n"});
    ASSERT_EQ(names.size(), 3u);
    // The carried name counts whole; the empty piece counts nothing.
    EXPECT_EQ(names[0].name, "gpu_hang");
    EXPECT_TRUE(names[0].first);
    EXPECT_EQ(names[0].msgSize, 18);
    EXPECT_EQ(names[1].name, "vpu_hang");
    EXPECT_FALSE(names[1].first);
    EXPECT_EQ(names[1].curSize, 9);
    EXPECT_EQ(names[2].name, "ab");
    EXPECT_EQ(names[2].curSize, 18);
    EXPECT_EQ(names[2].msgSize, 18);
}

TEST(ChannelReaderTest, FirstNameOfEachReceive) {
    ChannelReader reader;
    std::vector<ChannelReader::Name> names = feedAll(reader, {"a\nb", "\nc\n"});
    ASSERT_EQ(names.size(), 3u);
    EXPECT_TRUE(names[0].first);
    EXPECT_TRUE(names[1].first);
    EXPECT_FALSE(names[2].first);
    EXPECT_EQ(names[2].curSize, 2);
    EXPECT_EQ(names[2].msgSize, 3);
}

struct LimitCase {
    const char* what;
    std::vector<std::string> chunks;
    std::vector<std::string> names;
    size_t dropped;
};

const std::vector<LimitCase>& limitCases() {
    // Limit 8 in every row.
    static const std::vector<LimitCase> kCases = {
            {"at the limit", {"12345678\n"}, {"12345678"}, 0},
            {"at the limit across receives", {"1234", "5678\n"}, {"12345678"}, 0},
            {"over the limit in one receive", {"123456789\nok\n"}, {"ok"}, 1},
            {"over the limit across receives", {"12345", "6789", "0123\nok\n"}, {"ok"}, 1},
            {"overlong tail, newline later",
             {"ok\n123456789", "abc", "\nnext\n"},
             {"ok", "next"},
             1},
            {"two overlong names", {"123456789\n", "abcdefghij\nok\n"}, {"ok"}, 2},
            {"overlong name never ended", {"123456789", "123456789", "123456789"}, {}, 1},
    };
    return kCases;
}

class ChannelReaderLimitTest : public ::testing::TestWithParam<size_t> {};

TEST_P(ChannelReaderLimitTest, DropsOverlongNames) {
    const LimitCase& c = limitCases()[GetParam()];
    ChannelReader reader(8);
    size_t dropped = 0;
    EXPECT_EQ(nameTexts(feedAll(reader, c.chunks, &dropped)), c.names) << c.what;
    EXPECT_EQ(dropped, c.dropped) << c.what;
    EXPECT_LE(reader.pendingSize(), 8u);
}

INSTANTIATE_TEST_SUITE_P(Table, ChannelReaderLimitTest,
                         ::testing::Range<size_t>(0, limitCases().size()));

TEST(ChannelReaderTest, CarryStaysBoundedForAWriterWithoutNewlines) {
    ChannelReader reader;
    std::string chunk(100, 'x');
    size_t dropped = 0;
    std::vector<ChannelReader::Name> names;
    for (int i = 0; i < 10000; ++i) {
        dropped += reader.feed(chunk.data(), chunk.size(), &names);
        ASSERT_LE(reader.pendingSize(), ChannelReader::kMaxNameLength);
    }
    EXPECT_EQ(dropped, 1u);
    EXPECT_TRUE(names.empty());
    // The next newline ends the dropped name; what follows is read again.
    std::string tail = "x\ngpu_hang\n";
    dropped = reader.feed(tail.data(), tail.size(), &names);
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(nameTexts(names), std::vector<std::string>{"gpu_hang"});
}

}  // namespace
