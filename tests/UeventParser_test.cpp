#include "events/UeventParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using android::parseUeventValue;

namespace {

// '|' stands for a zero byte. The bytes are copied to the heap, exactly as many as received, so
// that the address sanitizer sees a read past them.
std::string parse(std::string bytes) {
    std::replace(bytes.begin(), bytes.end(), '|', '\0');
    std::vector<char> heap(bytes.begin(), bytes.end());
    return parseUeventValue(heap.data(), heap.size());
}

TEST(UeventParserTest, Table) {
    std::string v200;
    for (int i = 0; i < 200; ++i) v200.push_back(static_cast<char>('a' + i % 26));
    const std::string v127 = v200.substr(0, 127);
    const struct {
        std::string bytes;
        std::string value;
    } cases[] = {
            {"change@/x|ACTION=change|TARND_EVENT=gpu_hang|", "gpu_hang"},
            {"change@/x|XTARND_EVENTX=foo|", "foo"},
            {"change@/x|TARND_EVENT=a=b|", "a=b"},
            {"change@/x|TARND_EVENT|", ""},
            {"TARND_EVENT=header|ACTION=change|", ""},
            {"change@/x|TARND_EVENT=" + v127 + "|", v127},
            {"change@/x|TARND_EVENT=" + v200 + "|", v127},
            {"change@/x|TARND_EVENT=a|B=1|TARND_EVENT=b|", "b"},
            {"change@/x|TARND_EVENT=a|TARND_EVENT=|", ""},
            {"change@/x|ACTION=change||TARND_EVENT=hidden|", ""},
            {"change@/x|TARND_EVENT=tail", "tail"},
            {"change@/x|A=" + std::string(3000, 'a') + "|TARND_EVENT=late|", "late"},
            {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(parse(c.bytes), c.value) << c.bytes;
}

TEST(UeventParserTest, NeverReadsPastTheCount) {
    const std::string full = "change@/x|TARND_EVENT=gpu_hang|";
    const size_t start = full.find('=') + 1;
    // Every cut a short receive could make.
    for (size_t n = 0; n <= full.size(); ++n) {
        std::string expected =
                n > start ? full.substr(start, std::min(n, full.size() - 1) - start) : "";
        EXPECT_EQ(parse(full.substr(0, n)), expected) << n;
    }
}

// Matching and the commands' environment: '|' stands for a zero byte, ',' separates matches.
TEST(UeventParserTest, MatchesAndEnvironment) {
    const struct {
        std::string bytes, matches;
        bool raised;
        std::vector<std::string> environment;
    } cases[] = {
            {"change@/card0|SUBSYSTEM=drm|ERROR=1|",
             "SUBSYSTEM=drm,ERROR=1",
             true,
             {"TARND_UEVENT_SUBSYSTEM=drm", "TARND_UEVENT_ERROR=1", "TARND_UEVENT_ACTION=change",
              "TARND_UEVENT_DEVPATH=/card0"}},
            {"change@/card0|SUBSYSTEM=drm|", "SUBSYSTEM=drm,ERROR=1", false, {}},
            {"add@/d|ACTION=add|DEVPATH=/d|",
             "ACTION=add,DEVPATH=/d",
             true,
             {"TARND_UEVENT_ACTION=add", "TARND_UEVENT_DEVPATH=/d"}},
            {"a@/d|NAME=gpu0|", "NAME=gpu*", true, {}},
            {"a@/d|NAMES=gpu0|", "NAME=*", false, {}},
            {"a@/d|NAME=gp|", "NAME=gpu*", false, {}},
            {"a@/d|NAME=gpu0|", "NAME=gpu", false, {}},
            {"a@/d|X=1|X=2|lower=3|A-B=4|noequals|",
             "X=2",
             true,
             {"TARND_UEVENT_X=2", "TARND_UEVENT_ACTION=a", "TARND_UEVENT_DEVPATH=/d"}},
            {"a@/d|V=$(touch x)\n|",
             "V=$(touch x)\n",
             true,
             {"TARND_UEVENT_V=$(touch x)\n", "TARND_UEVENT_ACTION=a", "TARND_UEVENT_DEVPATH=/d"}},
            {"a@/d|E=", "E=", true, {}},
            {"no header", "ACTION=a", false, {}},
            {"a@/d|", "", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        std::string bytes = c.bytes;
        std::replace(bytes.begin(), bytes.end(), '|', '\0');
        std::vector<char> heap(bytes.begin(), bytes.end());
        android::Uevent uevent;
        android::parseUevent(heap.data(), heap.size(), &uevent);
        android::Vector<android::String8> matches;
        for (size_t at = 0; at < c.matches.size();) {
            size_t comma = std::min(c.matches.find(',', at), c.matches.size());
            matches.add(android::String8(c.matches.substr(at, comma - at).c_str()));
            at = comma + 1;
        }
        EXPECT_EQ(android::ueventMatches(uevent, matches), c.raised);
        if (!c.environment.empty()) {
            EXPECT_EQ(android::ueventEnvironment(uevent), c.environment);
        }
    }
}

}  // namespace
