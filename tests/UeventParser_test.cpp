#include "events/UeventParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

// '|' stands for a zero byte. The bytes are copied to the heap, exactly as many as received, so
// that the address sanitizer sees a read past them. Reads past every cut of a datagram are the
// uevent fuzzer's part.
static std::vector<char> datagram(std::string bytes) {
    std::replace(bytes.begin(), bytes.end(), '|', '\0');
    return std::vector<char>(bytes.begin(), bytes.end());
}

TEST(UeventParserTest, EventValue) {
    const std::pair<std::string, std::string> rows[] = {
            {"change@/x|ACTION=change|TARND_EVENT=gpu_hang|", "gpu_hang"},
            {"change@/x|XTARND_EVENTX=foo|", "foo"},
            {"change@/x|TARND_EVENT=a=b|", "a=b"},
            {"change@/x|TARND_EVENT|", ""},
            {"TARND_EVENT=header|ACTION=change|", ""},
            {"change@/x|TARND_EVENT=" + std::string(127, 'v') + "wxyz|", std::string(127, 'v')},
            {"change@/x|TARND_EVENT=a|B=1|TARND_EVENT=b|", "b"},
            {"change@/x|TARND_EVENT=a|TARND_EVENT=|", ""},
            {"change@/x|ACTION=change||TARND_EVENT=hidden|", ""},
            {"change@/x|TARND_EVENT=tail", "tail"},
            {"change@/x|A=" + std::string(3000, 'a') + "|TARND_EVENT=late|", "late"},
            {"", ""},
    };
    for (const auto& [bytes, value] : rows) {
        const std::vector<char> heap = datagram(bytes);
        EXPECT_EQ(android::tarnd::parseUeventValue(heap.data(), heap.size()), value) << bytes;
    }
}

// The environment is ','-separated, without its TARND_UEVENT_ prefixes.
TEST(UeventParserTest, MatchesAndEnvironment) {
    const std::tuple<std::string, std::vector<const char*>, bool, std::string> rows[] = {
            {"c@/c|S=drm|E=1|", {"S=drm", "E=1"}, true, "S=drm,E=1,ACTION=c,DEVPATH=/c"},
            {"c@/c|S=drm|", {"S=drm", "E=1"}, false, "S=drm,ACTION=c,DEVPATH=/c"},
            {"a@/x|ACTION=b|DEVPATH=/d|", {"ACTION=b", "DEVPATH=/d"}, true, "ACTION=b,DEVPATH=/d"},
            {"a@/d|NAME=gpu0|", {"NAME=gpu*"}, true, "NAME=gpu0,ACTION=a,DEVPATH=/d"},
            {"a@/d|NAMES=gpu0|", {"NAME=*"}, false, "NAMES=gpu0,ACTION=a,DEVPATH=/d"},
            {"a@/d|NAME=gp|", {"NAME=gpu*"}, false, "NAME=gp,ACTION=a,DEVPATH=/d"},
            {"a@/d|NAME=gpu0|", {"NAME=gpu"}, false, "NAME=gpu0,ACTION=a,DEVPATH=/d"},
            {"a@/d|X=1|X=2|lower=3|A-B=4|noequals|", {"X=2"}, true, "X=2,ACTION=a,DEVPATH=/d"},
            {"a@/d|V=$(x)\n|", {"V=$(x)\n"}, true, "V=$(x)\n,ACTION=a,DEVPATH=/d"},
            {"a@/d|E=", {"E="}, true, "E=,ACTION=a,DEVPATH=/d"},
            {"no header", {"ACTION=a"}, false, ""},
            {"a@/d|", {}, false, "ACTION=a,DEVPATH=/d"},
    };
    for (const auto& [bytes, matchList, raised, expected] : rows) {
        const std::vector<char> heap = datagram(bytes);
        android::tarnd::Uevent uevent;
        android::tarnd::parseUevent(heap.data(), heap.size(), &uevent);
        android::Vector<android::String8> matches;
        for (const char* match : matchList) matches.add(android::String8(match));
        EXPECT_EQ(android::tarnd::ueventMatches(uevent, matches), raised) << bytes;
        std::string environment;
        for (const std::string& v : android::tarnd::ueventEnvironment(uevent)) {
            environment += (environment.empty() ? "" : ",") +
                           (v.rfind("TARND_UEVENT_", 0) == 0 ? v.substr(13) : "unprefixed " + v);
        }
        EXPECT_EQ(environment, expected) << bytes;
    }
}
