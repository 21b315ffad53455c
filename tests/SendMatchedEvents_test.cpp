#include "detectors/SendMatchedEvents.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <log/log.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <tarnd_host/LogStore.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "detectors/KeywordMatcher.h"

// Counts heap allocations, so that a text without key words is shown to cost none. Out of line:
// inlined, their malloc and free look mismatched to gcc.
namespace {
std::atomic<size_t> gAllocations{0};
}  // namespace

__attribute__((noinline)) void* operator new(size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    void* p = malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
__attribute__((noinline)) void* operator new[](size_t size) { return operator new(size); }
__attribute__((noinline)) void operator delete(void* p) noexcept { free(p); }
__attribute__((noinline)) void operator delete[](void* p) noexcept { free(p); }
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept { free(p); }
__attribute__((noinline)) void operator delete[](void* p, size_t) noexcept { free(p); }

namespace {

using android::sp;
using android::String8;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;

struct EventRow {
    std::string name;
    std::vector<std::string> keyWords;
};

struct MonitorRow {
    bool enabled;
    std::vector<EventRow> events;
    int32_t level = 100;
};

// An idle service (no configuration file) given monitors, the internal channel and the compiled
// key words, as start-up leaves them.
class ChannelService {
  public:
    explicit ChannelService(const std::vector<MonitorRow>& monitors) {
        mService = tarnd_test::makeService(mDir.file("missing.conf"), mDir.path());
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, mService->mSockets), 0);
        std::vector<android::KeywordMatcher::Entry> entries;
        for (size_t m = 0; m < monitors.size(); ++m) {
            TarnDebugService::Monitor monitor(mService.get(), String8::format("monitor%zu", m));
            monitor.mEnabled = monitors[m].enabled;
            monitor.mLevel = monitors[m].level;
            for (const EventRow& row : monitors[m].events) {
                TarnDebugService::Event event(mService.get(), String8(row.name.c_str()));
                for (const std::string& k : row.keyWords) event.mKeyWords.add(String8(k.c_str()));
                monitor.mEvents.add(event);
                if (monitor.mEnabled) entries.push_back({row.name, row.keyWords});
            }
            mService->mMonitors.add(monitor);
        }
        mService->mKeywordMatcher.reset(new android::KeywordMatcher());
        mService->mKeywordMatcher->build(entries);
    }

    TarnDebugService* get() const { return mService.get(); }

    // Everything written into the channel so far.
    std::string drain() const {
        std::string bytes;
        char buf[4096];
        for (;;) {
            ssize_t n = recv(mService->mSockets[1], buf, sizeof(buf), MSG_DONTWAIT);
            if (n <= 0) break;
            bytes.append(buf, static_cast<size_t>(n));
        }
        return bytes;
    }

  private:
    TempDir mDir;
    sp<TarnDebugService> mService;
};

std::string channelBytes(const std::vector<std::string>& names) {
    std::string bytes;
    for (const std::string& name : names) bytes += name + "\n";
    return bytes;
}

std::vector<std::string> sendLines(const std::vector<std::string>& names) {
    std::vector<std::string> lines;
    for (const std::string& name : names) lines.push_back("Send msg from channel 1: " + name);
    return lines;
}

struct Case {
    const char* title;
    std::vector<MonitorRow> monitors;
    std::string text;
    std::vector<std::string> expected;
};

// Enough key words that the matcher leaves its small-set path.
std::vector<std::string> manyKeyWords(const std::string& stem, int count) {
    std::vector<std::string> words;
    for (int i = 0; i < count; ++i) words.push_back(stem + std::to_string(i) + "x");
    return words;
}

std::vector<Case> cases() {
    return {
            {"events in event order, not text order",
             {{true, {{"alpha_ev", {"alpha"}}, {"beta_ev", {"beta"}}}}},
             "beta comes before alpha",
             {"alpha_ev", "beta_ev"}},
            {"monitor order before event order",
             {{true, {{"beta_ev", {"beta"}}}}, {true, {{"alpha_ev", {"alpha"}}}}},
             "alpha beta",
             {"beta_ev", "alpha_ev"}},
            {"two key words of one event send it once",
             {{true, {{"gpu_hang", {"gpu", "hang"}}}}},
             "gpu hang detected, gpu reset",
             {"gpu_hang"}},
            {"event held by two enabled monitors is sent once",
             {{true, {{"gpu_hang", {"hang"}}}}, {true, {{"gpu_hang", {"hang"}}}}},
             "hang",
             {"gpu_hang"}},
            {"the second copy's own key words count",
             {{true, {{"gpu_hang", {"one"}}}}, {true, {{"gpu_hang", {"two"}}}}},
             "only two here",
             {"gpu_hang"}},
            {"disabled monitor sends nothing", {{false, {{"gpu_hang", {"hang"}}}}}, "hang", {}},
            {"key words of a disabled monitor's copy do not count",
             {{false, {{"gpu_hang", {"alpha"}}}}, {true, {{"gpu_hang", {"beta"}}}}},
             "alpha",
             {}},
            {"enabled monitor without events", {{true, {}}}, "anything", {}},
            {"event without key words", {{true, {{"quiet", {}}}}}, "anything", {}},
            {"key word in a kernel record header",
             {{true, {{"seq_ev", {"4242"}}}}},
             "6,4242,9876543,-;unrelated message",
             {"seq_ev"}},
            {"key words are case-sensitive", {{true, {{"gpu_ev", {"GPU"}}}}}, "gpu fault", {}},
            {"four-character name", {{true, {{"hang", {"stall"}}}}}, "ring stall", {"hang"}},
            {"overlapping key words",
             {{true, {{"first", {"abcab"}}, {"second", {"cabca"}}}}},
             "xxabcabcayy",
             {"first", "second"}},
            {"key word inside another, both present",
             {{true, {{"fault", {"fault"}}, {"page_fault", {"page fault"}}}}},
             "page fault at 0x0",
             {"fault", "page_fault"}},
            {"key word inside another, only the short one",
             {{true, {{"fault", {"fault"}}, {"page_fault", {"page fault"}}}}},
             "bus fault",
             {"fault"}},
            {"binary bytes around a key word",
             {{true, {{"bin_ev", {"key"}}, {"high_ev", {"\xfe\xff"}}}}},
             "\x01\x02\xfe\xff key\x80\x7f",
             {"bin_ev", "high_ev"}},
            {"key word at the very start and end",
             {{true, {{"start_ev", {"head"}}, {"end_ev", {"tail"}}}}},
             "head middle tail",
             {"start_ev", "end_ev"}},
            {"empty text", {{true, {{"gpu_hang", {"hang"}}}}}, "", {}},
            {"monitor level does not filter",
             {{true, {{"gpu_hang", {"hang"}}}, -1000}},
             "hang",
             {"gpu_hang"}},
            {"many key words, the last one matches",
             {{true, {{"many_ev", manyKeyWords("kw", 40)}, {"other", manyKeyWords("zz", 40)}}}},
             "... kw39x ...",
             {"many_ev"}},
            {"many key words, none matches",
             {{true, {{"many_ev", manyKeyWords("kw", 40)}}}},
             "kw39 kw40x",
             {}},
    };
}

TEST(SendMatchedEventsTest, SendsExactBytesAndLines) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.title);
        ChannelService service(c.monitors);
        LogCapture log;
        android::sendMatchedEvents(service.get(), c.text.c_str());
        EXPECT_EQ(service.drain(), channelBytes(c.expected));
        EXPECT_EQ(log.messages(), sendLines(c.expected));
        for (const tarnd_host::LogLine& line : log.lines()) {
            EXPECT_EQ(line.prio, ANDROID_LOG_DEBUG);
        }
    }
}

TEST(SendMatchedEventsTest, FourCharacterNameIsFiveBytes) {
    ChannelService service({{true, {{"hang", {"stall"}}}}});
    android::sendMatchedEvents(service.get(), "stall");
    std::string bytes = service.drain();
    ASSERT_EQ(bytes.size(), 5u);
    EXPECT_EQ(bytes, std::string("hang\n"));
}

TEST(SendMatchedEventsTest, EveryTextSendsAgain) {
    ChannelService service({{true, {{"gpu_hang", {"hang"}}}}});
    LogCapture log;
    for (int i = 0; i < 3; ++i) android::sendMatchedEvents(service.get(), "hang");
    android::sendMatchedEvents(service.get(), "nothing");
    EXPECT_EQ(service.drain(), channelBytes({"gpu_hang", "gpu_hang", "gpu_hang"}));
    EXPECT_EQ(log.count("Send msg from channel 1: gpu_hang"), 3u);
}

TEST(SendMatchedEventsTest, TextEndsAtItsNul) {
    ChannelService service({{true, {{"gpu_hang", {"hang"}}}}});
    const char text[] = "no match\0hang";
    android::sendMatchedEvents(service.get(), text);
    EXPECT_EQ(service.drain(), "");
}

TEST(SendMatchedEventsTest, NothingWithoutCompiledKeyWords) {
    ChannelService service({{true, {{"gpu_hang", {"hang"}}}}});
    service.get()->mKeywordMatcher.reset();
    LogCapture log;
    android::sendMatchedEvents(service.get(), "hang");
    EXPECT_EQ(service.drain(), "");
    EXPECT_TRUE(log.messages().empty());
}

TEST(SendMatchedEventsTest, TextWithoutKeyWordsAllocatesNothing) {
    for (int count : {1, 8, 64}) {
        SCOPED_TRACE(count);
        ChannelService service({{true, {{"many_ev", manyKeyWords("kw", count)}}}});
        const std::string text =
                "<6>[12345.678] msm_kgsl: ringbuffer submitted ts=1234 ctx=5 flags=0x0";
        size_t before = gAllocations.load();
        android::sendMatchedEvents(service.get(), text.c_str());
        EXPECT_EQ(gAllocations.load(), before);
        EXPECT_EQ(service.drain(), "");
    }
}

}  // namespace
