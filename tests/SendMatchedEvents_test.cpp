#include "detectors/SendMatchedEvents.h"

#include <gtest/gtest.h>
#include <log/log.h>
#include <sys/socket.h>
#include <tarnd_host/LogStore.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "detectors/KeywordMatcher.h"

namespace {

using android::String8;
using android::TarnDebugService;
using Strings = std::vector<std::string>;

struct MonitorRow {
    bool enabled;
    std::vector<android::KeywordMatcher::Entry> events;
};

struct Case {
    std::vector<MonitorRow> monitors;
    std::string text;
    Strings expected;
};

const Case kCases[] = {
        // Event order, not text order; then monitor order.
        {{{true, {{"alpha", {"a1"}}, {"beta", {"b1"}}}}}, "b1 then a1", {"alpha", "beta"}},
        {{{true, {{"beta", {"b1"}}}}, {true, {{"alpha", {"a1"}}}}}, "a1 b1", {"beta", "alpha"}},
        {{{true, {{"gpu_hang", {"gpu", "hang"}}}}}, "gpu hang, gpu reset", {"gpu_hang"}},
        {{{true, {{"gpu", {"hang"}}}}, {true, {{"gpu", {"hang"}}}}}, "hang", {"gpu"}},
        {{{true, {{"gpu_hang", {"one"}}}}, {true, {{"gpu_hang", {"two"}}}}}, "two", {"gpu_hang"}},
        {{{false, {{"gpu_hang", {"hang"}}}}}, "hang", {}},
        {{{false, {{"gpu_hang", {"a1"}}}}, {true, {{"gpu_hang", {"b1"}}}}}, "a1", {}},
        {{{true, {}}, {true, {{"quiet", {}}}}}, "anything", {}},
        {{{true, {{"seq_ev", {"4242"}}}}}, "6,4242,9876543,-;unrelated message", {"seq_ev"}},
        {{{true, {{"gpu_ev", {"GPU"}}}}}, "gpu fault", {}},
        {{{true, {{"hang", {"stall"}}}}}, "ring stall", {"hang"}},  // 4 characters: 5 bytes
        {{{true, {{"bin", {"key"}}, {"hi", {"\xfe\xff"}}}}}, "\x01\xfe\xff key\x80", {"bin", "hi"}},
};

TEST(SendMatchedEventsTest, SendsExactBytesAndLinesForEveryText) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        tarnd_test::TempDir dir;
        android::sp<TarnDebugService> service =
                tarnd_test::makeService(dir.file("missing.conf"), dir.path());
        ASSERT_TRUE(tarnd_test::openChannel(*service));
        for (const MonitorRow& row : c.monitors) {
            TarnDebugService::Monitor monitor(service.get(), String8("monitor"));
            monitor.mEnabled = row.enabled;
            for (const auto& e : row.events) {
                TarnDebugService::Event event(service.get(), String8(e.name.c_str()));
                for (const std::string& k : e.keywords) event.mKeyWords.add(String8(k.c_str()));
                monitor.mEvents.add(event);
            }
            service->mMonitors.add(monitor);
        }
        service->mKeywordMatcher.reset(new android::KeywordMatcher());
        service->mKeywordMatcher->build(android::keywordEntries(*service));

        tarnd_host::LogCapture log;
        android::sendMatchedEvents(service.get(), c.text.c_str());
        std::string bytes;
        Strings lines;
        for (const std::string& name : c.expected) {
            bytes += name + "\n";
            lines.push_back("Send msg from channel 1: " + name);
        }
        EXPECT_EQ(tarnd_test::readChannel(*service), bytes);
        EXPECT_EQ(log.messages(), lines);
        for (const tarnd_host::LogLine& line : log.lines()) EXPECT_EQ(line.prio, ANDROID_LOG_DEBUG);
    }
}

}  // namespace
