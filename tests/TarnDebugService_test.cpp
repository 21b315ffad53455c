#include "service/TarnDebugService.h"

#include <gtest/gtest.h>
#include <log/log.h>
#include <tarnd_host/LogStore.h>

#include "TestSupport.h"

using android::sp;
using android::TarnDebugService;
using tarnd_host::LogCapture;
using tarnd_test::TempDir;

TEST(TarnDebugServiceTest, MissingConfigLeavesIdleService) {
    TempDir dir;
    LogCapture log;
    std::string config = dir.file("missing.conf");
    sp<TarnDebugService> service = tarnd_test::makeService(config, dir.path());
    EXPECT_EQ(service->mStopped, 1);
    std::vector<std::string> expected = {"Start parsing config",
                                         "Failed to open config file " + config,
                                         "Failed to parse config file"};
    EXPECT_EQ(log.messages(), expected);
    EXPECT_EQ(service->mMonitorThread, nullptr);
    EXPECT_EQ(service->mSockets[0], -1);
    EXPECT_EQ(service->sendEvent(android::String8("gpu_hang")), android::INVALID_OPERATION);
}

TEST(TarnDebugServiceTest, DestroyingNeverStartedServiceClosesNothingItDidNotOpen) {
    TempDir dir;
    std::vector<int> fdsBefore = tarnd_test::openFds();
    int threadsBefore = tarnd_test::threadCount();
    LogCapture log;
    { sp<TarnDebugService> service = tarnd_test::makeService(dir.file("none.conf"), dir.path()); }
    EXPECT_FALSE(log.contains("TARN debug service stopped"));
    EXPECT_EQ(tarnd_test::openFds(), fdsBefore);
    EXPECT_EQ(tarnd_test::threadCount(), threadsBefore);
}

TEST(TarnDebugServiceTest, SecondStartOnRunningServiceOnlyWarns) {
    TempDir dir;
    sp<TarnDebugService> service = tarnd_test::makeService(dir.file("none.conf"), dir.path());
    // Running as far as the flag goes; the second start must not parse again.
    service->mStopped = 0;
    LogCapture log;
    EXPECT_EQ(service->start(), android::NO_ERROR);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].prio, ANDROID_LOG_WARN);
    EXPECT_EQ(lines[0].msg, "TarnDebugService already started");
    service->mStopped = 1;
}

TEST(TarnDebugServiceTest, RecordCopiesShareNothing) {
    using Event = TarnDebugService::Event;
    using Handler = TarnDebugService::Handler;
    using Monitor = TarnDebugService::Monitor;
    Handler handler(nullptr, android::String8("dmesg"));
    handler.mDumpCmd = "dmesg";
    handler.mDumpParas.add(android::String8("-c"));
    Event event(nullptr, android::String8("hang"));
    event.mHandlers.add(handler);
    event.mKeyWords.add(android::String8("GPU HANG"));
    Monitor monitor(nullptr, android::String8("main"));
    monitor.mEvents.add(event);

    Monitor copy = monitor;
    Event& copiedEvent = copy.mEvents.editItemAt(0);
    copiedEvent.mHandlers.editItemAt(0).mLevel = 0;
    copiedEvent.mHandlers.editItemAt(0).mDumpParas.editItemAt(0) = "-w";
    copiedEvent.mKeyWords.add(android::String8("ring timeout"));
    copiedEvent.mDumpCount = 3;

    const Event& original = monitor.mEvents[0];
    EXPECT_EQ(original.mHandlers[0].mLevel, 100);
    EXPECT_STREQ(original.mHandlers[0].mDumpParas[0].string(), "-c");
    EXPECT_EQ(original.mKeyWords.size(), 1u);
    EXPECT_EQ(original.mDumpCount, 0);
    EXPECT_EQ(handler.mLevel, 100);
}

TEST(TarnDebugServiceTest, RecordDefaults) {
    TarnDebugService::Handler h;
    TarnDebugService::Event e;
    TarnDebugService::Monitor m;
    EXPECT_EQ(h.mLevel, 100);
    EXPECT_FALSE(h.mEnabled);
    EXPECT_EQ(e.mPolicy, 1);
    EXPECT_EQ(e.mDumpCount, 0);
    EXPECT_EQ(m.mLevel, 100);
    EXPECT_FALSE(m.mEnabled);
}

TEST(TarnDebugServiceTest, FindByNameIsExactAndFirst) {
    android::Vector<TarnDebugService::Event> events;
    events.add(TarnDebugService::Event(nullptr, android::String8("gpu_hang")));
    events.add(TarnDebugService::Event(nullptr, android::String8("gpu")));
    EXPECT_EQ(TarnDebugService::findByName(events, "gpu"), 1);
    EXPECT_EQ(TarnDebugService::findByName(events, "gpu_hang"), 0);
    EXPECT_EQ(TarnDebugService::findByName(events, "GPU"), -1);
    EXPECT_EQ(TarnDebugService::findByName(events, "gpu_han"), -1);
}
