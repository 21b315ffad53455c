#include "detectors/SendMatchedEvents.h"

#include <gtest/gtest.h>
#include <log/log.h>

#include <regex>
#include <string>

#include "TestSupport.h"

namespace {

using android::String8;

// Names go out in monitor and then event order, not text order, each once per text, as one line
// and one DEBUG message each; a disabled monitor's key words raise nothing, not even under a name
// an enabled monitor holds.
TEST(SendMatchedEventsTest, SendsEachEnabledNameOnceInMonitorThenEventOrder) {
    tarnd_test::ChannelService s({});
    const std::pair<bool, std::vector<android::tarnd::KeywordMatcher::Entry>> monitors[] = {
            {true, {{"b", {"b1", "b2"}}, {"a", {"a1"}}}},
            {false, {{"a", {"d1"}}, {"o", {"o1"}}}},
            {true, {{"g", {"g1"}}, {"q", {}}}}};
    for (const auto& [enabled, events] : monitors) {
        android::tarnd::TarnDebugService::Monitor monitor(s.service.get(), String8("monitor"));
        monitor.mEnabled = enabled;
        for (const auto& e : events) {
            android::tarnd::TarnDebugService::Event event(s.service.get(), String8(e.name.c_str()));
            for (const std::string& k : e.keywords) event.mKeyWords.add(String8(k.c_str()));
            monitor.mEvents.add(event);
        }
        s.service->mMonitors.add(monitor);
    }
    s.service->mKeywordMatcher->build(android::tarnd::keywordEntries(*s.service));
    for (const auto& [text, bytes] : {std::pair{"g1 a1 b2 b1", "b\na\ng\n"}, {"d1 o1", ""}}) {
        SCOPED_TRACE(text);
        tarnd_host::LogCapture log;
        android::tarnd::sendMatchedEvents(s.service.get(), text,
                                          android::tarnd::TriggerSource::kLogcat);
        std::string got;  // DEBUG messages only
        for (const tarnd_host::LogLine& line : log.lines())
            got += line.prio == ANDROID_LOG_DEBUG ? line.msg + "\n" : "not DEBUG: " + line.msg;
        EXPECT_EQ(got,
                  std::regex_replace(bytes, std::regex(".+\n"), "Send msg from channel 1: $&"));
        EXPECT_EQ(s.drain(), bytes);
    }
}

}  // namespace
