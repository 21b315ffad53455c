#include "service/TarnDebugService.h"

#include <gtest/gtest.h>
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
