#include "events/UeventParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using android::parseUeventValue;

namespace {

struct Case {
    const char* what;
    std::string bytes;  // the datagram, zero bytes included
    std::string value;
};

std::string longValue(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + i % 26));
    return s;
}

// Strings joined with their zero bytes, as the kernel sends them.
std::string uevent(std::initializer_list<std::string> strings) {
    std::string out;
    for (const std::string& s : strings) {
        out += s;
        out.push_back('\0');
    }
    return out;
}

const std::vector<Case>& cases() {
    static const std::vector<Case> kCases = {
            {"header only", uevent({"change@/devices/gpu"}), ""},
            {"no bytes", "", ""},
            {"plain", uevent({"change@/devices/gpu", "ACTION=change", "TARND_EVENT=gpu_hang"}),
             "gpu_hang"},
            {"substring key", uevent({"change@/x", "XTARND_EVENTX=foo"}), "foo"},
            {"key in the value", uevent({"change@/x", "FOO=bar_TARND_EVENT"}), "bar_TARND_EVENT"},
            {"first equals sign", uevent({"change@/x", "TARND_EVENT=a=b"}), "a=b"},
            {"no key", uevent({"change@/x", "ACTION=change", "DEVPATH=/devices/gpu"}), ""},
            {"key without equals sign", uevent({"change@/x", "TARND_EVENT"}), ""},
            {"empty value", uevent({"change@/x", "TARND_EVENT="}), ""},
            {"later match replaces earlier",
             uevent({"change@/x", "TARND_EVENT=first", "A=1", "TARND_EVENT=second"}), "second"},
            {"later empty value replaces earlier",
             uevent({"change@/x", "TARND_EVENT=a", "TARND_EVENT="}), ""},
            {"stops at the first empty string",
             uevent({"change@/x", "ACTION=change", "", "TARND_EVENT=hidden"}), ""},
            {"match before the empty string",
             uevent({"change@/x", "TARND_EVENT=seen", "", "TARND_EVENT=no"}), "seen"},
            {"header is never scanned", uevent({"TARND_EVENT=header", "ACTION=change"}), ""},
            {"header without zero byte", "change@/x TARND_EVENT=gpu_hang", ""},
            {"last string not terminated", std::string("change@/x\0TARND_EVENT=tail", 26), "tail"},
            {"value of 127", uevent({"change@/x", "TARND_EVENT=" + longValue(127)}),
             longValue(127)},
            {"value of 200 is cut", uevent({"change@/x", "TARND_EVENT=" + longValue(200)}),
             longValue(127)},
            {"cut value without zero byte",
             "change@/x" + std::string(1, '\0') + "TARND_EVENT=" + longValue(300), longValue(127)},
            {"late in a long uevent",
             uevent({"change@/devices/" + std::string(300, 'd'), "A=" + std::string(1500, 'a'),
                     "B=" + std::string(1500, 'b'), "TARND_EVENT=late"}),
             "late"},
    };
    return kCases;
}

class UeventParserTest : public ::testing::TestWithParam<size_t> {};

TEST_P(UeventParserTest, ExtractsValue) {
    const Case& c = cases()[GetParam()];
    // A heap copy of exactly the received bytes: a read past them is an overflow that the
    // address sanitizer reports.
    std::vector<char> bytes(c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(parseUeventValue(bytes.data(), bytes.size()), c.value) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Table, UeventParserTest, ::testing::Range<size_t>(0, cases().size()));

TEST(UeventParserTest, NeverReadsPastTheCount) {
    std::string full = uevent({"change@/x", "ACTION=change", "TARND_EVENT=gpu_hang"});
    // Every prefix of the datagram, as a receive cut at that length would leave it.
    for (size_t count = 0; count <= full.size(); ++count) {
        std::vector<char> bytes(full.begin(), full.begin() + count);
        std::string value = parseUeventValue(bytes.data(), count);
        size_t valueStart = full.find("TARND_EVENT=") + 12;
        std::string expected =
                count > valueStart
                        ? full.substr(valueStart, std::min(count, full.size() - 1) - valueStart)
                        : "";
        EXPECT_EQ(value, expected) << "count " << count;
    }
}

}  // namespace
