#include "events/ChannelReader.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

// Receives are separated by '|', each fed as a heap copy of exactly its bytes so that a read past
// them is caught. Names after the first of their receive show their log line's cursor as
// "name curSize/msgSize"; carried bytes and drops close the list. That any cut of a stream gives
// the names of the whole is the channel fuzzer's part.
TEST(ChannelReaderTest, NamesCursorsCarryAndDrops) {
    std::string noNewline;  // a writer that never ends its name: the carry stays bounded
    for (int i = 0; i < 10000; ++i) noNewline += std::string(100, 'x') + "|";
    const std::tuple<size_t, std::string, std::string> rows[] = {
            {1024, "gpu_hang\nvpu_hang\n", "gpu_hang,vpu_hang 9/18"},
            {1024, "gpu_hang", "; carried 8"},
            {1024, "gp|u_ha|ng\nvpu_hang\n", "gpu_hang,vpu_hang 9/12"},
            // The carried name counts whole in the cursor; an empty piece counts nothing.
            {1024, "gpu_|hang\n\nvpu_hang\nab\n", "gpu_hang,vpu_hang 9/18,ab 18/18"},
            {1024, "a\nb|\nc\n", "a,b,c 2/3"},
            {1024, "|\n\ngpu_||hang\n\n", "gpu_hang"},
            {8, "1234|5678\n", "12345678"},
            {8, "12345|6789|0123\nok\n", "ok; dropped 1"},
            {8, "ok\n123456789|abc|\nnext\n", "ok,next; dropped 1"},
            {8, "123456789\n|abcdefghij\nok\n", "ok; dropped 2"},
            {1024, noNewline + "x\ngpu_hang\n", "gpu_hang; dropped 1"},
    };
    for (const auto& [limit, receives, expected] : rows) {
        android::tarnd::ChannelReader reader(limit);
        std::vector<android::tarnd::ChannelReader::Name> names;
        size_t dropped = 0;
        for (size_t at = 0, bar; at <= receives.size(); at = bar + 1) {
            bar = std::min(receives.find('|', at), receives.size());
            std::vector<char> bytes(receives.begin() + at, receives.begin() + bar);
            dropped += reader.feed(bytes.data(), bytes.size(), &names);
        }
        std::string out;
        for (const auto& n : names) {
            out += (out.empty() ? "" : ",") + n.name;
            if (!n.first) out += " " + std::to_string(n.curSize) + "/" + std::to_string(n.msgSize);
        }
        if (reader.pendingSize() > 0) out += "; carried " + std::to_string(reader.pendingSize());
        if (dropped > 0) out += "; dropped " + std::to_string(dropped);
        EXPECT_EQ(out, expected) << receives.substr(0, 40);
    }
}
